#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "http/HttpServer.h"
#include "support/LoopbackStreamClient.h"
#include "support/PollLoopTasks.h"

namespace varn {
namespace {

using testing::LoopbackStreamClient;
using testing::PollLoopTasks;

// A server with a form that takes a body, a page with a cookie and an event stream.
class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto listener = platform::createTcpListener();
        ASSERT_TRUE(listener);
        ASSERT_FALSE(listener->listen(htonl(INADDR_LOOPBACK), 0, 64));
        port_ = listener->localPort();
        HttpLimits limits;
        limits.maxBodyBytes = 64;
        limits.maxStreamBacklogBytes = 256 * 1024;
        server_ = std::make_unique<HttpServer>(loop_, std::move(listener), limits,
                                               [this](const HttpRequest& request) { return handle(request); });
        server_->setStreamClosed([this](HttpServer::ConnectionId id) { closedStreams_.push_back(id); });
    }

    HttpResponse handle(const HttpRequest& request) {
        if (request.method == "POST" && request.path == "/form") return HttpResponse::text(200, "got " + request.body);
        if (request.path == "/events") {
            streams_.push_back(request.connection);
            HttpResponse response = HttpResponse::text(200, "retry: 1000\n\n");
            response.contentType = "text/event-stream";
            response.stream = true;
            return response;
        }
        if (request.path == "/later") {
            waiting_.push_back(request.connection);
            peers_.push_back(request.peerAddress);
            return HttpResponse::later();
        }
        return HttpResponse::text(404, "not found\n").with("Set-Cookie", "seen=1; HttpOnly");
    }

    void pump(int passes) {
        for (int pass = 0; pass < passes; ++pass) loop_.runOnce(2);
    }

    std::string exchange(const std::string& request) {
        LoopbackStreamClient client(port_);
        EXPECT_TRUE(client.connected());
        client.send(request);
        std::string reply;
        for (int pass = 0; pass < 200; ++pass) {
            loop_.runOnce(5);
            if (client.readSome(reply)) break;
        }
        return reply;
    }

    PollLoopTasks loop_;
    std::uint16_t port_ = 0;
    std::unique_ptr<HttpServer> server_;
    std::vector<HttpServer::ConnectionId> streams_;
    std::vector<HttpServer::ConnectionId> closedStreams_;
    std::vector<HttpServer::ConnectionId> waiting_;
    std::vector<std::uint32_t> peers_;
};

TEST_F(HttpServerTest, ReadsBodiesWithinTheirBoundAndAnswersEachRequestOnce) {
    struct Case {
        std::string request;
        std::string statusLine;
        std::string tail;
    };
    const Case cases[] = {
        {"POST /form HTTP/1.1\r\nContent-Length: 11\r\n\r\nname=value!", "HTTP/1.1 200 OK", "got name=value!"},
        {"POST /form HTTP/1.1\r\nContent-Length: 65\r\n\r\n", "HTTP/1.1 413 Content Too Large", "body too large\n"},
        {"POST /form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 501 Not Implemented",
         "not implemented\n"},
        {"GET /x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "not found\n"},
    };
    for (const Case& testCase : cases) {
        const std::string reply = exchange(testCase.request);
        EXPECT_EQ(reply.substr(0, reply.find("\r\n")), testCase.statusLine) << testCase.request;
        EXPECT_EQ(reply.substr(reply.size() - std::min(reply.size(), testCase.tail.size())), testCase.tail);
    }
    EXPECT_NE(exchange("GET /x HTTP/1.1\r\n\r\n").find("\r\nSet-Cookie: seen=1; HttpOnly\r\n"), std::string::npos);
    EXPECT_EQ(server_->openConnections(), 0u);
}

TEST_F(HttpServerTest, StreamsStayOpenWithoutWakingTheLoopAndEndWhenTheirClientLeaves) {
    auto client = std::make_unique<LoopbackStreamClient>(port_);
    client->send("GET /events HTTP/1.1\r\n\r\n");
    pump(10);
    ASSERT_EQ(streams_.size(), 1u);
    EXPECT_EQ(server_->openStreams(), 1u);
    // A stream has no deadline: the sweep is gone and long after the reply time-out it is still there.
    EXPECT_EQ(loop_.registeredPeriodic(), 0u);
    loop_.setNow(60'000);
    pump(3);
    EXPECT_TRUE(server_->push(streams_[0], "data: one\n\n"));
    EXPECT_TRUE(server_->push(streams_[0], "data: two\n\n"));
    pump(3);
    std::string got;
    EXPECT_FALSE(client->readSome(got));
    EXPECT_NE(got.find("Content-Type: text/event-stream\r\n"), std::string::npos);
    EXPECT_EQ(got.find("Content-Length"), std::string::npos);
    EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), "retry: 1000\n\ndata: one\n\ndata: two\n\n");

    client.reset();
    pump(10);
    EXPECT_EQ(server_->openConnections(), 0u);
    EXPECT_EQ(closedStreams_, streams_);
    EXPECT_FALSE(server_->push(streams_[0], "data: late\n\n"));
}

TEST_F(HttpServerTest, AStreamWhoseClientTakesNothingIsCutOffAtItsBacklog) {
    LoopbackStreamClient client(port_);
    client.send("GET /events HTTP/1.1\r\n\r\n");
    pump(10);
    ASSERT_EQ(streams_.size(), 1u);
    const std::string event = "data: " + std::string(4000, 'x') + "\n\n";
    bool accepted = true;
    int pushes = 0;
    // The socket buffers take some; the backlog bound ends it well before this loop does.
    for (; pushes < 10'000 && accepted; ++pushes) accepted = server_->push(streams_[0], event);
    EXPECT_FALSE(accepted);
    EXPECT_LT(pushes, 10'000);
    EXPECT_EQ(server_->openConnections(), 0u);
    EXPECT_EQ(closedStreams_.size(), 1u);

    // A stream ended by its owner closes once what it holds is written.
    LoopbackStreamClient second(port_);
    second.send("GET /events HTTP/1.1\r\n\r\n");
    pump(10);
    ASSERT_EQ(streams_.size(), 2u);
    EXPECT_TRUE(server_->push(streams_[1], "data: bye\n\n"));
    server_->endStream(streams_[1]);
    pump(10);
    std::string got;
    EXPECT_TRUE(second.readSome(got));
    EXPECT_EQ(got.substr(got.size() - 11), "data: bye\n\n");
    EXPECT_EQ(server_->openConnections(), 0u);
}

TEST_F(HttpServerTest, ADeferredReplyGoesWhenAnsweredAndNotAfterItsDeadline) {
    LoopbackStreamClient answered(port_);
    LoopbackStreamClient forgotten(port_);
    answered.send("GET /later HTTP/1.1\r\n\r\n");
    forgotten.send("GET /later HTTP/1.1\r\n\r\n");
    pump(10);
    ASSERT_EQ(waiting_.size(), 2u);
    EXPECT_EQ(peers_[0], htonl(INADDR_LOOPBACK));
    std::string got;
    EXPECT_FALSE(answered.readSome(got));
    EXPECT_TRUE(got.empty());

    EXPECT_TRUE(server_->answer(waiting_[0], HttpResponse::text(200, "answered\n")));
    pump(5);
    EXPECT_TRUE(answered.readSome(got));
    EXPECT_EQ(got.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(got.substr(got.size() - 9), "answered\n");
    EXPECT_FALSE(server_->answer(waiting_[0], HttpResponse::text(200, "twice\n")));

    // The other is closed unanswered at its reply deadline; a late answer finds nothing.
    loop_.setNow(HttpLimits{}.replyTimeoutMilliseconds + 1);
    pump(5);
    std::string none;
    EXPECT_TRUE(forgotten.readSome(none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(server_->openConnections(), 0u);
    EXPECT_FALSE(server_->answer(waiting_[1], HttpResponse::text(200, "late\n")));
}

}  // namespace
}  // namespace varn
