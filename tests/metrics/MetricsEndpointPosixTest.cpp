#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "metrics/MetricsEndpoint.h"
#include "platform/StreamSocket.h"
#include "support/LoopbackStreamClient.h"
#include "support/PollLoopTasks.h"

namespace varn {
namespace {

using testing::PollLoopTasks;

using Client = testing::LoopbackStreamClient;

class MetricsEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto listener = platform::createTcpListener();
        ASSERT_TRUE(listener);
        ASSERT_FALSE(listener->listen(htonl(INADDR_LOOPBACK), 0, 64));
        port_ = listener->localPort();
        endpoint_ = std::make_unique<MetricsEndpoint>(loop_, std::move(listener), [this] { return body_; }, 0);
    }

    // Drives the loop until the server closes the connection (or 200 passes); what the client got.
    std::string answer(Client& client) {
        std::string reply;
        for (int pass = 0; pass < 200; ++pass) {
            loop_.runOnce(5);
            if (client.readSome(reply)) break;
        }
        return reply;
    }

    std::string exchange(const std::string& request) {
        Client client(port_);
        EXPECT_TRUE(client.connected());
        client.send(request);
        return answer(client);
    }

    PollLoopTasks loop_;
    std::string body_ = "# HELP varn_x X.\n# TYPE varn_x gauge\nvarn_x 1\n";
    std::uint16_t port_ = 0;
    std::unique_ptr<MetricsEndpoint> endpoint_;
};

TEST_F(MetricsEndpointTest, AnswersPathsAndMethods) {
    struct Case {
        std::string request;
        std::string statusLine;
        std::string bodyOrHeader;
    };
    const Case cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK",
         "Content-Type: text/plain; version=0.0.4; charset=utf-8"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK", "\r\n\r\n# HELP varn_x X.\n"},
        {"GET /healthz HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "\r\n\r\nok\n"},
        {"GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "not found"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "not found"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Allow: GET"},
        {"HEAD /healthz HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "Allow: GET"},
        {"\x01\x02garbage\xff\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request"},
        {"GET /metrics SMTP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad request"},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(5000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "request too large"},
    };
    for (const Case& testCase : cases) {
        const std::string reply = exchange(testCase.request);
        EXPECT_EQ(reply.substr(0, reply.find("\r\n")), testCase.statusLine) << testCase.request.substr(0, 40);
        EXPECT_NE(reply.find(testCase.bodyOrHeader), std::string::npos) << reply;
        EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    }
    // The length given is the body's.
    const std::string reply = exchange("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), body_);
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(body_.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(endpoint_->openConnections(), 0u);
}

TEST_F(MetricsEndpointTest, RefusesBeyondItsConnectionsAndCutsSilentClientsOff) {
    // Nothing to time out, so nothing wakes the loop.
    EXPECT_EQ(loop_.registeredPeriodic(), 0u);
    std::vector<std::unique_ptr<Client>> idle;
    for (std::size_t index = 0; index < MetricsEndpoint::kMaxConnections; ++index) {
        idle.push_back(std::make_unique<Client>(port_));
        idle.back()->send("GET /metr");  // half a request, never finished
    }
    for (int pass = 0; pass < 20; ++pass) loop_.runOnce(5);
    EXPECT_EQ(endpoint_->openConnections(), MetricsEndpoint::kMaxConnections);
    EXPECT_EQ(loop_.registeredPeriodic(), 1u);

    // One more is closed on arrival, without an answer.
    Client extra(port_);
    extra.send("GET /healthz HTTP/1.1\r\n\r\n");
    EXPECT_EQ(answer(extra), "");
    EXPECT_EQ(endpoint_->refusedConnections(), 1u);

    // Before the request time-out the idle ones stay; after it they are cut off.
    loop_.setNow(MetricsEndpoint::kRequestTimeoutMilliseconds - 1);
    for (int pass = 0; pass < 5; ++pass) loop_.runOnce(1);
    EXPECT_EQ(endpoint_->openConnections(), MetricsEndpoint::kMaxConnections);
    loop_.setNow(MetricsEndpoint::kRequestTimeoutMilliseconds + MetricsEndpoint::kSweepIntervalMilliseconds);
    for (int pass = 0; pass < 5; ++pass) loop_.runOnce(1);
    EXPECT_EQ(endpoint_->openConnections(), 0u);
    EXPECT_EQ(loop_.registeredPeriodic(), 0u);
    for (const auto& client : idle) {
        std::string ignored;
        EXPECT_TRUE(client->readSome(ignored));
    }
    // And the endpoint serves again.
    const std::string reply = exchange("GET /healthz HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(MetricsEndpointTest, AReaderThatNeverReadsIsCutOffAndNeverWaitedFor) {
    body_ = std::string(16 * 1024 * 1024, 'x');
    Client reader(port_);
    reader.shrinkReceiveBuffer();
    reader.send("GET /metrics HTTP/1.1\r\n\r\n");
    // The reply fills the socket buffers; each pass returns at once however much is left.
    for (int pass = 0; pass < 20; ++pass) loop_.runOnce(5);
    EXPECT_EQ(endpoint_->openConnections(), 1u);
    loop_.setNow(MetricsEndpoint::kReplyTimeoutMilliseconds + MetricsEndpoint::kSweepIntervalMilliseconds);
    for (int pass = 0; pass < 5; ++pass) loop_.runOnce(1);
    EXPECT_EQ(endpoint_->openConnections(), 0u);
    EXPECT_EQ(loop_.registeredSockets(), 1u);  // the listener alone
    EXPECT_EQ(loop_.registeredPeriodic(), 0u);
}

}  // namespace
}  // namespace varn
