#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace varn::testing {

// A FIFO for tests of readers that must not wait on one. A reader that does wait in its open (no
// writer is there) is let go after a while: a writer opens the FIFO and closes it at once, so the
// reader sees an empty file and the test ends, slow and failing, instead of hanging.
class ReleasedFifo {
public:
    explicit ReleasedFifo(std::string path, std::chrono::milliseconds releaseAfter = std::chrono::seconds(2))
        : path_(std::move(path)), made_(::mkfifo(path_.c_str(), 0600) == 0) {
        if (made_) releaser_ = std::thread([this, releaseAfter] { releaseWaitingReaders(releaseAfter); });
    }
    ~ReleasedFifo() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (releaser_.joinable()) releaser_.join();
    }
    ReleasedFifo(const ReleasedFifo&) = delete;
    ReleasedFifo& operator=(const ReleasedFifo&) = delete;

    bool made() const { return made_; }
    const std::string& path() const { return path_; }

private:
    void releaseWaitingReaders(std::chrono::milliseconds releaseAfter) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, releaseAfter, [this] { return stopping_; })) return;
        // A non-blocking open for writing succeeds only while a reader has the FIFO open.
        while (!wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stopping_; })) {
            const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
    }

    std::string path_;
    bool made_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread releaser_;
};

// How long a call takes, in milliseconds.
template <typename Call>
long long millisecondsTaken(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace varn::testing
