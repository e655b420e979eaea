#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/LoopTasks.h"
#include "platform/DatagramSocket.h"
#include "protocol/BrowserStatusReader.h"

namespace varnweb {

// The server's name as its browser status query gives it, asked on the console's loop without ever
// waiting: a status query goes out from a non-blocking socket of its own, the reply (in pieces or
// whole) is read when the loop says it is there, and a query not answered by its deadline counts as
// no answer. The owner calls refresh() now and then; a new query goes out once the last one is
// older than the refresh interval.
class StatusWatch {
public:
    using Milliseconds = varn::LoopTasks::Milliseconds;

    struct Timing {
        Milliseconds answer = 3000;
        Milliseconds refresh = 30'000;
    };

    // The query address and port in network byte order; onChange is told whenever the name changes
    // (an answer with another name, or no answer where there was one).
    StatusWatch(varn::LoopTasks& loop, std::uint32_t address, std::uint16_t port, Timing timing,
                std::function<void()> onChange);
    ~StatusWatch();
    StatusWatch(const StatusWatch&) = delete;
    StatusWatch& operator=(const StatusWatch&) = delete;

    // False when no socket can be had.
    bool open();
    // Sends a query when none was sent yet or the last is older than the refresh interval, and takes
    // a query past its deadline as unanswered.
    void refresh(Milliseconds now);
    // The name of the last answer; nothing before one, or when the last query went unanswered.
    const std::optional<std::string>& serverName() const { return name_; }

private:
    void receive();
    void setName(std::optional<std::string> name);

    varn::LoopTasks& loop_;
    std::uint32_t address_;
    std::uint16_t port_;
    Timing timing_;
    std::function<void()> onChange_;
    std::unique_ptr<varn::platform::DatagramSocket> socket_;
    varn::LoopTasks::TaskId task_ = 0;
    varn::browser::StatusPieces pieces_;
    std::optional<Milliseconds> lastAsked_;
    std::optional<Milliseconds> deadline_;
    std::optional<std::string> name_;
};

}  // namespace varnweb
