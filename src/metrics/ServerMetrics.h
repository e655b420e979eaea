#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "metrics/GameCounters.h"
#include "metrics/PassDurations.h"
#include "net/TrafficCounters.h"

namespace varn {


// Where a scrape reads what the game's events do not carry. Functions and pointers may be empty for
// parts the server does not run (they show as zero).
struct MetricsSources {
    std::string serverName;
    std::int32_t maxPlayers = 0;
    // The calendar time read at start-up, in seconds since 1970.
    std::int64_t startCalendarSeconds = 0;
    std::function<TrafficCounters()> gameTraffic;
    std::function<TrafficCounters()> adminTraffic;
    std::function<TrafficCounters()> browserTraffic;
    // Browser queries the flood guard left unanswered.
    const std::uint64_t* queryRepliesDropped = nullptr;
    // Entries in the ban list.
    std::function<std::size_t()> banEntries;
    // Failed or short writes of the log file; not shown when empty.
    std::function<std::uint64_t()> logWriteFailures;
    // Where scripts run (ScriptFiles): the errors they raised, by script file, and the time spent in
    // them; not shown when empty.
    std::function<std::map<std::string, std::uint64_t>()> scriptErrors;
    std::function<std::int64_t()> scriptNanoseconds;
    // Saves of the ban file that failed (or were refused) since start-up.
    std::function<std::uint64_t()> banFileSaveFailures;
};

// Everything the endpoint shows: the game's counters (an observer), the loop's pass durations, and
// what the sockets, the ban list and the process say when scraped.
class ServerMetrics {
public:
    explicit ServerMetrics(MetricsSources sources) : sources_(std::move(sources)) {}

    GameCounters& gameCounters() { return gameCounters_; }
    PassDurations& passDurations() { return passDurations_; }

    // The whole exposition, in the text format 0.0.4.
    std::string render() const;

private:
    MetricsSources sources_;
    GameCounters gameCounters_;
    PassDurations passDurations_;
};

}  // namespace varn
