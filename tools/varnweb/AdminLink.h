#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "adminclient/AdminConnection.h"
#include "net/LoopTasks.h"
#include "protocol/AdminProtocol.h"
#include "platform/DatagramSocket.h"

namespace varnweb {

using varnadmin::Bytes;
using varnadmin::Datagram;

// One administrator session with the server on the console's loop: a UDP socket of its own (the
// server knows an administrator by address and port), the server's pings answered, and requests
// whose answers are awaited without waiting: each answer, or its absence at the deadline, is handed
// to the request's callback. Everything else the server sends goes to the receiver.
class AdminLink {
public:
    using Milliseconds = varn::LoopTasks::Milliseconds;
    using Matcher = std::function<bool(const Bytes&)>;
    using Answer = std::function<void(std::optional<Bytes>)>;

    // The server's address and port in network byte order.
    AdminLink(varn::LoopTasks& loop, std::uint32_t serverAddress, std::uint16_t serverPort);
    ~AdminLink();
    AdminLink(const AdminLink&) = delete;
    AdminLink& operator=(const AdminLink&) = delete;

    // False when no socket can be had.
    bool open();
    void send(const Bytes& datagram);
    // Ends the administrator session on the server.
    void quit() { send({varn::admin::kQuit}); }
    // Sends the request and hands the first admin-port datagram that matches to onAnswer, or nothing
    // once the deadline has passed (expire() tells).
    void ask(const Bytes& request, Matcher matches, Milliseconds deadline, Answer onAnswer);
    void setReceiver(std::function<void(const Datagram&)> receiver) { receiver_ = std::move(receiver); }
    // Answers every request whose deadline has passed with nothing.
    void expire(Milliseconds now);
    // The last time anything came from the server (the pings come every second).
    Milliseconds lastHeard() const { return lastHeard_; }

    // A matcher for the answers whose first bytes are prefix.
    static Matcher startsWith(Bytes prefix);

private:
    struct Waiting {
        Matcher matches;
        Milliseconds deadline;
        Answer onAnswer;
    };

    void receive(Milliseconds now);
    void handle(const Datagram& datagram);

    varn::LoopTasks& loop_;
    std::uint32_t serverAddress_;
    std::uint16_t serverPort_;
    std::unique_ptr<varn::platform::DatagramSocket> socket_;
    varn::LoopTasks::TaskId task_ = 0;
    std::vector<Waiting> waiting_;
    std::function<void(const Datagram&)> receiver_;
    Milliseconds lastHeard_ = 0;
};

}  // namespace varnweb
