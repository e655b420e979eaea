#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "net/LoopTasks.h"

namespace varn::testing {

// A loop for tests of what registers with LoopTasks: poll(2) on the registered sockets, periodic
// tasks run against a time the test sets. Registration and removal from inside callbacks are safe.
class PollLoopTasks final : public LoopTasks {
public:
    TaskId addSocket(platform::WaitHandle handle, Interest interest,
                     std::function<void(Readiness, Milliseconds)> onReady) override {
        sockets_[++lastId_] = Socket{handle, interest, std::move(onReady)};
        return lastId_;
    }
    void setInterest(TaskId socket, Interest interest) override {
        const auto found = sockets_.find(socket);
        if (found != sockets_.end()) found->second.interest = interest;
    }
    void removeSocket(TaskId socket) override { sockets_.erase(socket); }
    TaskId addPeriodic(Milliseconds interval, std::function<void(Milliseconds)> task) override {
        periodic_[++lastId_] = Periodic{interval, now_ + interval, std::move(task)};
        return lastId_;
    }
    void removePeriodic(TaskId task) override { periodic_.erase(task); }

    void setNow(Milliseconds now) { now_ = now; }
    Milliseconds now() const { return now_; }
    std::size_t registeredSockets() const { return sockets_.size(); }
    std::size_t registeredPeriodic() const { return periodic_.size(); }

    // One pass: the periodic tasks that are due, then one poll (at most timeout) and the callbacks
    // of the sockets it found ready.
    void runOnce(int timeoutMilliseconds) {
        std::vector<TaskId> due;
        for (const auto& [id, periodic] : periodic_) {
            if (periodic.due <= now_) due.push_back(id);
        }
        for (const TaskId id : due) {
            const auto found = periodic_.find(id);
            if (found == periodic_.end()) continue;
            found->second.due = now_ + found->second.interval;
            auto task = found->second.task;
            task(now_);
        }
        std::vector<pollfd> entries;
        std::vector<TaskId> ids;
        for (const auto& [id, socket] : sockets_) {
            const short events = socket.interest == Interest::ReadWrite ? POLLIN | POLLOUT : POLLIN;
            entries.push_back(pollfd{socket.handle, events, 0});
            ids.push_back(id);
        }
        if (::poll(entries.data(), entries.size(), timeoutMilliseconds) <= 0) return;
        for (std::size_t index = 0; index < entries.size(); ++index) {
            const short seen = entries[index].revents;
            if (seen == 0) continue;
            const auto found = sockets_.find(ids[index]);
            if (found == sockets_.end()) continue;
            const Readiness readiness{(seen & (POLLIN | POLLHUP | POLLERR)) != 0, (seen & POLLOUT) != 0};
            auto onReady = found->second.onReady;
            onReady(readiness, now_);
        }
    }

private:
    struct Socket {
        platform::WaitHandle handle;
        Interest interest;
        std::function<void(Readiness, Milliseconds)> onReady;
    };
    struct Periodic {
        Milliseconds interval;
        Milliseconds due;
        std::function<void(Milliseconds)> task;
    };

    std::map<TaskId, Socket> sockets_;
    std::map<TaskId, Periodic> periodic_;
    TaskId lastId_ = 0;
    Milliseconds now_ = 0;
};

}  // namespace varn::testing
