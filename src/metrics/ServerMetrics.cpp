#include "metrics/ServerMetrics.h"

#include <array>

#include "metrics/MetricsText.h"
#include "net/TrafficCounters.h"
#include "platform/ProcessStats.h"
#include "protocol/ServerVersion.h"

namespace varn {

namespace {

using Type = MetricsText::Type;

struct SocketTraffic {
    std::string_view label;
    TrafficCounters counters;
};

std::array<SocketTraffic, 3> trafficOf(const MetricsSources& sources) {
    return {{
        {"game", sources.gameTraffic ? sources.gameTraffic() : TrafficCounters{}},
        {"admin", sources.adminTraffic ? sources.adminTraffic() : TrafficCounters{}},
        {"browser", sources.browserTraffic ? sources.browserTraffic() : TrafficCounters{}},
    }};
}

template <typename Field>
void perSocket(MetricsText& text, const std::array<SocketTraffic, 3>& sockets, std::string_view name,
               std::string_view help, Field field) {
    text.family(name, Type::Counter, help);
    for (const SocketTraffic& socket : sockets) text.sample({"socket", socket.label}, socket.counters.*field);
}

void writeTraffic(MetricsText& text, const MetricsSources& sources) {
    const std::array<SocketTraffic, 3> sockets = trafficOf(sources);
    perSocket(text, sockets, "varn_datagrams_received_total", "Datagrams received, per socket.",
              &TrafficCounters::datagramsReceived);
    perSocket(text, sockets, "varn_bytes_received_total", "Bytes received in datagrams, per socket.",
              &TrafficCounters::bytesReceived);
    perSocket(text, sockets, "varn_datagrams_sent_total", "Datagrams sent, per socket.",
              &TrafficCounters::datagramsSent);
    perSocket(text, sockets, "varn_bytes_sent_total", "Bytes sent in datagrams, per socket.",
              &TrafficCounters::bytesSent);
    perSocket(text, sockets, "varn_datagrams_send_limit_dropped_total",
              "Datagrams dropped by the send limit, per socket.", &TrafficCounters::datagramsDropped);
    perSocket(text, sockets, "varn_datagrams_oversized_total",
              "Datagrams refused unread for being longer than the receive buffer, per socket.",
              &TrafficCounters::oversizedReceived);
    perSocket(text, sockets, "varn_datagrams_malformed_total", "Datagrams without a command byte, per socket.",
              &TrafficCounters::emptyReceived);
    text.family("varn_query_replies_sent_total", Type::Counter,
                "Browser query reply datagrams sent (a reply in pieces counts each piece).");
    text.sample(sockets[2].counters.datagramsSent);
    text.family("varn_query_replies_dropped_total", Type::Counter,
                "Browser queries left unanswered by the query flood guard.");
    text.sample(sources.queryRepliesDropped ? *sources.queryRepliesDropped : 0);
}

// A counter family with one sample for each value of an enumeration, labelled by labelOf.
template <typename Kind, typename Count>
void perKind(MetricsText& text, std::string_view name, std::string_view help, std::string_view label,
             std::size_t kinds, Count count) {
    text.family(name, Type::Counter, help);
    for (std::size_t index = 0; index < kinds; ++index) {
        const auto kind = static_cast<Kind>(index);
        text.sample({label, labelOf(kind)}, count(kind));
    }
}

void writePlayers(MetricsText& text, const MetricsSources& sources, const GameCounters& game) {
    text.family("varn_players", Type::Gauge, "Players connected.");
    text.sample(static_cast<std::uint64_t>(game.playersConnected()));
    text.family("varn_players_max", Type::Gauge, "Players the server takes at most (MaxPlayers).");
    text.sample(static_cast<std::uint64_t>(sources.maxPlayers > 0 ? sources.maxPlayers : 0));
    text.family("varn_joins_total", Type::Counter, "Joins accepted.");
    text.sample(game.joinsAccepted());
    perKind<JoinRefusal>(text, "varn_joins_refused_total", "Joins refused, by reason.", "reason",
                         GameCounters::kJoinRefusals,
                         [&game](JoinRefusal reason) { return game.joinsRefused(reason); });
    perKind<LeaveReason>(text, "varn_leaves_total", "Players who left, by reason.", "reason",
                         GameCounters::kLeaveReasons, [&game](LeaveReason reason) { return game.leaves(reason); });
    text.family("varn_chat_messages_total", Type::Counter, "Chat texts received from players.");
    text.sample(game.chatMessages());
}

void writeAccess(MetricsText& text, const MetricsSources& sources, const GameCounters& game) {
    perKind<PasswordKind>(text, "varn_wrong_passwords_total", "Wrong passwords given, by kind (join, admin).",
                          "kind", GameCounters::kPasswordKinds,
                          [&game](PasswordKind kind) { return game.wrongPasswords(kind); });
    perKind<PasswordKind>(text, "varn_lockouts_total", "Addresses locked out after wrong passwords, by kind.",
                          "kind", GameCounters::kPasswordKinds,
                          [&game](PasswordKind kind) { return game.lockOuts(kind); });
    text.family("varn_bans", Type::Gauge, "Entries in the ban list.");
    text.sample(static_cast<std::uint64_t>(sources.banEntries ? sources.banEntries() : 0));
    text.family("varn_bans_added_total", Type::Counter, "Bans added (by administrators or the flood guards).");
    text.sample(game.bansAdded());
    text.family("varn_bans_removed_total", Type::Counter, "Bans removed by administrators.");
    text.sample(game.bansRemoved());
    text.family("varn_bans_expired_total", Type::Counter, "Timed bans that expired.");
    text.sample(game.bansExpired());
    text.family("varn_ban_file_save_failures_total", Type::Counter,
                "Saves of the ban file that failed or were refused (the file lacks changes the list has).");
    text.sample(sources.banFileSaveFailures ? sources.banFileSaveFailures() : 0);
    text.family("varn_administrators", Type::Gauge, "Administrators logged in.");
    text.sample(static_cast<std::uint64_t>(game.administratorsConnected()));
    text.family("varn_administrator_logins_total", Type::Counter, "Administrator logins accepted.");
    text.sample(game.administratorLogins());
}

void writeLoop(MetricsText& text, const MetricsSources& sources, const PassDurations& passes) {
    if (sources.logWriteFailures) {
        text.family("varn_log_write_failures_total", Type::Counter, "Failed or short writes of the log file.");
        text.sample(sources.logWriteFailures());
    }
    std::array<double, PassDurations::kUpperBoundsMicroseconds.size()> bounds{};
    for (std::size_t index = 0; index < bounds.size(); ++index) {
        bounds[index] = static_cast<double>(PassDurations::kUpperBoundsMicroseconds[index]) / 1e6;
    }
    text.family("varn_loop_pass_duration_seconds", Type::Histogram,
                "Time the main loop spent in one pass, from its start to its wait.");
    text.histogram(bounds, passes.counts(), static_cast<double>(passes.sumMicroseconds()) / 1e6);
}

void writeScripts(MetricsText& text, const MetricsSources& sources) {
    if (sources.scriptErrors) {
        text.family("varn_script_errors_total", Type::Counter, "Errors raised by the operator's scripts, by script.");
        for (const auto& [script, errors] : sources.scriptErrors()) {
            text.sample({"script", MetricsText::printable(script)}, errors);
        }
    }
    if (sources.scriptNanoseconds) {
        text.family("varn_script_seconds_total", Type::Counter, "Time spent running the operator's scripts.");
        text.sample(static_cast<double>(sources.scriptNanoseconds()) / 1e9);
    }
}

void writeProcess(MetricsText& text, const MetricsSources& sources) {
    const platform::ProcessStats stats = platform::readProcessStats();
    text.family("process_cpu_seconds_total", Type::Counter, "User and system CPU time spent, in seconds.");
    text.sample(stats.cpuSeconds);
    if (stats.residentBytes) {
        text.family("process_resident_memory_bytes", Type::Gauge, "Resident memory size, in bytes.");
        text.sample(*stats.residentBytes);
    }
    text.family("process_start_time_seconds", Type::Gauge, "Start time of the process since 1970, in seconds.");
    text.sample(static_cast<double>(sources.startCalendarSeconds));
}

}  // namespace

std::string ServerMetrics::render() const {
    MetricsText text;
    text.family("varn_server_info", Type::Gauge, "The server's name (ServerName), as a label; always 1.");
    const std::string name = MetricsText::printable(sources_.serverName);
    text.sample({"name", name}, std::uint64_t{1});
    text.family("varn_build_info", Type::Gauge, "The server's version, as a label; always 1.");
    text.sample({"version", kServerVersion}, std::uint64_t{1});
    writePlayers(text, sources_, gameCounters_);
    writeTraffic(text, sources_);
    writeAccess(text, sources_, gameCounters_);
    writeLoop(text, sources_, passDurations_);
    writeScripts(text, sources_);
    writeProcess(text, sources_);
    return text.text();
}

}  // namespace varn
