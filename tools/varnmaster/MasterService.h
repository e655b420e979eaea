#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MasterSettings.h"
#include "ServerList.h"
#include "http/HttpServer.h"
#include "net/LoopTasks.h"
#include "platform/Clock.h"
#include "platform/DatagramSocket.h"

namespace varn::master {

// varnmaster on the loop: the heartbeat socket and what arrives on it, the list's timers, the HTTP
// endpoint, the state file and the list files.
class MasterService {
public:
    // Datagrams read in one pass of the loop, so a flood cannot hold it.
    static constexpr std::size_t kReceivesPerPass = 4'096;
    static constexpr std::size_t kReceiveBatch = 64;

    MasterService(const MasterSettings& settings, LoopTasks& loop, const platform::Clock& clock);
    ~MasterService();
    MasterService(const MasterService&) = delete;
    MasterService& operator=(const MasterService&) = delete;

    // Binds the heartbeat socket and the HTTP listener, reads the state file and registers with the
    // loop; false with the reason when a socket cannot be had.
    bool start(std::string& reason);
    // Writes the state file (when there is one) at once.
    void saveState();

    const ServerList& list() const { return list_; }
    std::uint16_t httpPort() const { return http_ ? http_->localPort() : 0; }

    // The reply to one HTTP request; public for tests.
    HttpResponse answer(const HttpRequest& request);

private:
    void receive(LoopTasks::Milliseconds now);
    void dispatch(const platform::ReceiveResult& result, std::span<const std::uint8_t> datagram,
                  std::int64_t nowMilliseconds, std::int64_t nowSeconds);
    void flushOutbox();
    void everySecond(LoopTasks::Milliseconds now);
    void loadState();
    void writeListFiles();
    const std::string& cachedJson();
    const std::string& cachedHtml();

    MasterSettings settings_;
    LoopTasks& loop_;
    const platform::Clock& clock_;
    ServerList list_;
    std::unique_ptr<platform::DatagramSocket> socket_;
    std::unique_ptr<HttpServer> http_;
    LoopTasks::TaskId socketTask_ = 0;
    LoopTasks::TaskId secondTask_ = 0;
    std::vector<std::uint8_t> receiveBuffers_;
    std::uint64_t httpRequests_ = 0;
    std::uint64_t savedState_ = 0;
    std::uint64_t writtenList_ = 0;
    std::int64_t lastListWrite_ = 0;
    std::int64_t lastSummary_ = 0;
    std::int64_t lastStateSave_ = 0;
    std::string json_;
    std::uint64_t jsonGeneration_ = static_cast<std::uint64_t>(-1);
    std::int64_t jsonBuilt_ = -1;
    std::string html_;
    std::uint64_t htmlGeneration_ = static_cast<std::uint64_t>(-1);
    std::int64_t htmlBuilt_ = -1;
};

// Fills bytes from the system's random source.
void systemRandom(std::span<std::uint8_t> bytes);

}  // namespace varn::master
