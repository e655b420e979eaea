#include "app/MainLoop.h"

#include <algorithm>
#include <limits>

#include "platform/Clock.h"

namespace varn {

namespace {

// The longest a wait lasts when no periodic task runs: a server at rest wakes once a minute.
constexpr int kLongestWaitMilliseconds = 60'000;

}  // namespace

MainLoop::MainLoop(const platform::Clock& clock, std::unique_ptr<platform::WaitSet> waitSet)
    : clock_(clock), waitSet_(std::move(waitSet)) {}

MainLoop::~MainLoop() = default;

LoopTasks::TaskId MainLoop::addSocket(platform::WaitHandle handle, Interest interest,
                                      std::function<void(Readiness, Milliseconds)> onReady) {
    auto task = std::make_unique<SocketTask>(SocketTask{nextId_++, handle, interest, std::move(onReady), {}});
    watch(*task);
    sockets_.push_back(std::move(task));
    return sockets_.back()->id;
}

void MainLoop::watch(SocketTask& task) {
    if (task.handle == platform::kNoWaitHandle) return;
    waitReport_.report(waitSet_->add(task.handle, task.id, task.interest == Interest::ReadWrite));
}

void MainLoop::setInterest(TaskId socket, Interest interest) {
    SocketTask* task = findSocket(socket);
    if (task == nullptr || task->interest == interest) return;
    task->interest = interest;
    if (task->handle == platform::kNoWaitHandle) return;
    waitReport_.report(waitSet_->change(task->handle, task->id, interest == Interest::ReadWrite));
}

void MainLoop::removeSocket(TaskId socket) {
    SocketTask* task = findSocket(socket);
    if (task == nullptr) return;
    // Out of the wait at once: the owner may close the handle as soon as this returns.
    if (task->handle != platform::kNoWaitHandle) waitSet_->remove(task->handle);
    task->removed = true;
    anyRemoved_ = true;
    if (running_ == 0) dropRemoved();
}

void MainLoop::setHandle(TaskId socket, platform::WaitHandle handle) {
    SocketTask* task = findSocket(socket);
    if (task == nullptr || task->handle == handle) return;
    if (task->handle != platform::kNoWaitHandle) waitSet_->remove(task->handle);
    task->handle = handle;
    watch(*task);
}

LoopTasks::TaskId MainLoop::addPeriodic(Milliseconds intervalMilliseconds, std::function<void(Milliseconds)> task) {
    const Milliseconds interval = std::max<Milliseconds>(intervalMilliseconds, 1);
    periodic_.push_back(std::make_unique<PeriodicTask>(PeriodicTask{nextId_++, interval, now() + interval, std::move(task)}));
    return periodic_.back()->id;
}

void MainLoop::removePeriodic(TaskId task) {
    for (const auto& entry : periodic_) {
        if (entry->id != task) continue;
        entry->removed = true;
        anyRemoved_ = true;
    }
    if (running_ == 0) dropRemoved();
}

void MainLoop::pausePeriodic(TaskId task) {
    if (PeriodicTask* entry = findPeriodic(task)) entry->paused = true;
}

std::int64_t MainLoop::resumePeriodic(TaskId task) {
    PeriodicTask* entry = findPeriodic(task);
    if (entry == nullptr || !entry->paused) return 0;
    entry->paused = false;
    const Milliseconds current = now();
    if (entry->due > current) return 0;
    const std::int64_t missed = (current - entry->due) / entry->interval + 1;
    entry->due += missed * entry->interval;
    return missed;
}

MainLoop::Milliseconds MainLoop::now() {
    if (!passTime_) passTime_ = clock_.monotonicMilliseconds();
    return *passTime_;
}

void MainLoop::runDueTimers() {
    const Milliseconds current = now();
    ++running_;
    // By index: a task may register another, which is first due one interval later.
    for (std::size_t index = 0; index < periodic_.size(); ++index) {
        PeriodicTask& task = *periodic_[index];
        if (task.removed || task.paused || task.due > current) continue;
        task.due += task.interval;
        if (task.due <= current) task.due = current + task.interval;
        task.run(current);
    }
    --running_;
    if (anyRemoved_ && running_ == 0) dropRemoved();
}

void MainLoop::runDueTimers(Milliseconds now) {
    passTime_ = now;
    runDueTimers();
}

void MainLoop::runReadySockets() {
    ++running_;
    for (std::size_t index = 0; index < sockets_.size(); ++index) {
        SocketTask* task = sockets_[index].get();
        if (task->removed || !task->due) continue;
        const Readiness ready = task->ready;
        task->due = false;
        task->ready = {};
        task->onReady(ready, now());
    }
    --running_;
    if (anyRemoved_ && running_ == 0) dropRemoved();
}

void MainLoop::wake(TaskId socket) {
    if (SocketTask* task = findSocket(socket)) task->due = true;
}

int MainLoop::millisecondsToNextTask() {
    std::optional<Milliseconds> next;
    for (const auto& task : periodic_) {
        if (!task->removed && !task->paused && (!next || task->due < *next)) next = task->due;
    }
    if (!next) return -1;
    const Milliseconds left = *next - now();
    if (left <= 0) return 0;
    return static_cast<int>(std::min<Milliseconds>(left, std::numeric_limits<int>::max()));
}

void MainLoop::wait(int longestMilliseconds) {
    int timeout = millisecondsToNextTask();
    if (timeout < 0) timeout = kLongestWaitMilliseconds;
    if (longestMilliseconds >= 0) timeout = std::min(timeout, longestMilliseconds);
    const Milliseconds deadline = now() + timeout;
    const platform::WaitResult result = waitSet_->wait(timeout);
    waitReport_.report(result);
    passTime_.reset();
    if (result.timedOut) passTime_ = deadline;
    for (const platform::WaitEvent& event : waitSet_->events()) {
        SocketTask* task = findSocket(event.key);
        if (task == nullptr || task->removed) continue;
        task->ready.readable = task->ready.readable || event.readable;
        task->ready.writable = task->ready.writable || event.writable;
        task->due = true;
    }
}

MainLoop::SocketTask* MainLoop::findSocket(TaskId id) {
    // Ids grow with each registration and the list keeps that order.
    const auto found = std::lower_bound(sockets_.begin(), sockets_.end(), id,
                                        [](const std::unique_ptr<SocketTask>& task, TaskId wanted) {
                                            return task->id < wanted;
                                        });
    return found != sockets_.end() && (*found)->id == id && !(*found)->removed ? found->get() : nullptr;
}

MainLoop::PeriodicTask* MainLoop::findPeriodic(TaskId id) {
    for (const auto& task : periodic_) {
        if (task->id == id && !task->removed) return task.get();
    }
    return nullptr;
}

void MainLoop::dropRemoved() {
    std::erase_if(sockets_, [](const std::unique_ptr<SocketTask>& task) { return task->removed; });
    std::erase_if(periodic_, [](const std::unique_ptr<PeriodicTask>& task) { return task->removed; });
    anyRemoved_ = false;
}

}  // namespace varn
