#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "browser/StatusReply.h"
#include "http/HttpServer.h"
#include "platform/Clock.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"
#include "support/LoopbackStreamClient.h"
#include "support/PollLoopTasks.h"
#include "varnweb/WebConsole.h"

namespace varnweb {
namespace {

using varn::testing::LoopbackStreamClient;
using varn::testing::PollLoopTasks;

// The server's admin port, played on loopback: a join with the right password is welcomed, any other
// refused as a wrong password; what else arrives is kept.
class FakeAdminPort {
public:
    FakeAdminPort() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = local.sin_port;
    }
    ~FakeAdminPort() { ::close(fd_); }

    std::uint16_t port() const { return port_; }
    const std::vector<Bytes>& received() const { return received_; }

    void serve() {
        std::uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        for (;;) {
            const ssize_t got = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 0) return;
            const Bytes datagram(buffer, buffer + got);
            received_.push_back(datagram);
            if (datagram[0] != varn::admin::kJoin) continue;
            const std::string text(datagram.begin() + 2, datagram.end());
            const bool right = text.find("|secret") != std::string::npos;
            Bytes answer;
            if (right) {
                varn::PacketWriter<varn::kMaxDatagramSize> welcome;
                varn::encodeWelcomeHeader(welcome, varn::WelcomeHeader{2, 1, nextId_++, 16});
                varn::encodeWelcomeEntry(welcome, 4, 7, "<b>Ana</b>");
                answer.assign(welcome.data(), welcome.data() + welcome.size());
            } else {
                answer = {varn::command::kNotice, varn::admin::kRefusedWrongPassword};
            }
            ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::uint8_t nextId_ = 0;
    std::vector<Bytes> received_;
};

// The server's query port, played on loopback: a status query is answered with a status reply that
// names the server, while answering is on.
class FakeQueryPort {
public:
    FakeQueryPort() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = local.sin_port;
    }
    ~FakeQueryPort() { ::close(fd_); }

    std::uint16_t port() const { return port_; }
    std::size_t queries() const { return queries_; }
    // The name the next answers give; nothing answers no more.
    void answerWith(std::optional<std::string> name) { name_ = std::move(name); }

    void serve() {
        std::uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        for (;;) {
            const ssize_t got = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 0) return;
            if (got != 1 || buffer[0] != 's') continue;
            ++queries_;
            if (!name_) continue;
            varn::StatusReply reply;
            reply.begin("varn", 5192);
            reply.addStatus(*name_, "deathmatch", "city", "1.0", 0, 1, 16);
            reply.endRules();
            const auto bytes = reply.bytes();
            ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::size_t queries_ = 0;
    std::optional<std::string> name_;
};

class WebConsoleTest : public ::testing::Test {
protected:
    // What a test's console differs in.
    virtual void adjust(ConsoleSettings&) {}

    void SetUp() override {
        auto listener = varn::platform::createTcpListener();
        ASSERT_TRUE(listener);
        ASSERT_FALSE(listener->listen(htonl(INADDR_LOOPBACK), 0, 64));
        port_ = listener->localPort();
        ConsoleSettings settings;
        settings.serverAddress = htonl(INADDR_LOOPBACK);
        settings.serverPort = admin_.port();
        settings.serverText = "test";
        settings.maxSessions = 2;
        settings.idleMilliseconds = 60'000;
        // The fake admin port sends no pings.
        settings.silenceMilliseconds = 3'600'000;
        adjust(settings);
        console_ = std::make_unique<WebConsole>(loop_, clock_, settings, 4);
        varn::HttpLimits limits;
        limits.maxConnections = 16;
        limits.maxBodyBytes = 4096;
        http_ = std::make_unique<varn::HttpServer>(
            loop_, std::move(listener), limits, [this](const varn::HttpRequest& request) { return console_->handle(request); });
        console_->attach(*http_);
    }

    // One request and its whole reply, the fake admin port answering meanwhile.
    std::string exchange(const std::string& request) {
        LoopbackStreamClient client(port_);
        EXPECT_TRUE(client.connected());
        client.send(request);
        std::string reply;
        for (int pass = 0; pass < 400; ++pass) {
            loop_.setNow(clock_.monotonicMilliseconds());
            loop_.runOnce(5);
            admin_.serve();
            query_.serve();
            if (client.readSome(reply)) break;
        }
        return reply;
    }

    std::string post(const std::string& path, const std::string& body, const std::string& cookie = "") {
        return exchange("POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                        (cookie.empty() ? "" : "\r\nCookie: varnweb_session=" + cookie) + "\r\n\r\n" + body);
    }

    static std::string statusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

    static std::string cookieOf(const std::string& reply) {
        const std::size_t at = reply.find("Set-Cookie: varnweb_session=");
        if (at == std::string::npos) return "";
        const std::size_t start = at + 28;
        return reply.substr(start, reply.find(';', start) - start);
    }

    static std::string csrfOf(const std::string& page) {
        const std::string marker = "name=\"csrf\" value=\"";
        const std::size_t at = page.find(marker);
        return at == std::string::npos ? "" : page.substr(at + marker.size(), 64);
    }

    varn::platform::ManualClock clock_;
    PollLoopTasks loop_;
    FakeAdminPort admin_;
    FakeQueryPort query_;
    std::uint16_t port_ = 0;
    std::unique_ptr<WebConsole> console_;
    std::unique_ptr<varn::HttpServer> http_;
};

TEST_F(WebConsoleTest, KeepsAtMostItsSessionsAndFreesOneAtLogout) {
    const std::string first = post("/login", "name=one&password=secret");
    const std::string second = post("/login", "name=two&password=secret");
    EXPECT_EQ(statusLine(first), "HTTP/1.1 303 See Other");
    EXPECT_EQ(statusLine(second), "HTTP/1.1 303 See Other");
    ASSERT_EQ(cookieOf(first).size(), 64u);
    EXPECT_NE(first.find("HttpOnly; SameSite=Strict; Max-Age=60"), std::string::npos);
    EXPECT_EQ(first.find("Secure"), std::string::npos);

    const std::string third = post("/login", "name=three&password=secret");
    EXPECT_EQ(statusLine(third), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(cookieOf(third), "");
    EXPECT_EQ(console_->sessions(), 2u);

    // The page after the login shows the welcome's player as text; its forms carry the token.
    const std::string page = exchange("GET / HTTP/1.1\r\nCookie: varnweb_session=" + cookieOf(first) + "\r\n\r\n");
    EXPECT_NE(page.find("&lt;b&gt;Ana&lt;/b&gt;"), std::string::npos);
    EXPECT_EQ(page.find("<b>Ana"), std::string::npos);
    const std::string csrf = csrfOf(page);
    ASSERT_EQ(csrf.size(), 64u);

    // Logging out with another session's token does nothing; with its own it ends the session.
    EXPECT_EQ(statusLine(post("/logout", "csrf=" + csrfOf(exchange("GET / HTTP/1.1\r\nCookie: varnweb_session=" +
                                                                     cookieOf(second) + "\r\n\r\n")),
                              cookieOf(first))),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(console_->sessions(), 2u);
    EXPECT_EQ(statusLine(post("/logout", "csrf=" + csrf, cookieOf(first))), "HTTP/1.1 303 See Other");
    EXPECT_EQ(console_->sessions(), 1u);
    EXPECT_EQ(admin_.received().back(), Bytes{varn::admin::kQuit});
    EXPECT_EQ(statusLine(post("/login", "name=three&password=secret")), "HTTP/1.1 303 See Other");
    // The old cookie no longer opens anything.
    EXPECT_NE(exchange("GET / HTTP/1.1\r\nCookie: varnweb_session=" + cookieOf(first) + "\r\n\r\n").find("id=\"login\""),
              std::string::npos);
}

TEST_F(WebConsoleTest, AnIdleSessionEndsAndItsCookieLeadsToTheLoginForm) {
    const std::string login = post("/login", "name=one&password=secret");
    const std::string cookie = cookieOf(login);
    ASSERT_FALSE(cookie.empty());
    const std::string request = "GET / HTTP/1.1\r\nCookie: varnweb_session=" + cookie + "\r\n\r\n";
    clock_.advanceMonotonicMilliseconds(59'000);
    EXPECT_NE(exchange(request).find("id=\"admin-name\""), std::string::npos);
    clock_.advanceMonotonicMilliseconds(61'000);
    EXPECT_NE(exchange(request).find("id=\"login\""), std::string::npos);
    EXPECT_EQ(console_->sessions(), 0u);
    EXPECT_EQ(admin_.received().back(), Bytes{varn::admin::kQuit});
}

TEST_F(WebConsoleTest, AWrongPasswordIsPassedOnAndNoCookieIsSet) {
    const std::string reply = post("/login", "name=one&password=guess");
    EXPECT_EQ(statusLine(reply), "HTTP/1.1 403 Forbidden");
    EXPECT_NE(reply.find("wrong password"), std::string::npos);
    EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
    EXPECT_NE(reply.find("Content-Security-Policy: default-src 'none'; script-src 'self'"), std::string::npos);
    EXPECT_EQ(console_->sessions(), 0u);
}

}  // namespace
}  // namespace varnweb

namespace varnweb {
namespace {

class WebConsoleStatusTest : public WebConsoleTest {
protected:
    void adjust(ConsoleSettings& settings) override {
        settings.queryAddress = htonl(INADDR_LOOPBACK);
        settings.queryPort = query_.port();
    }
    // The console goes before the HTTP server its open live view still pushes to at the end.
    void TearDown() override { console_.reset(); }

    // Runs the loop (the fakes answering) until what the client read holds text, or a bounded time.
    bool readUntil(LoopbackStreamClient& client, std::string& read, const std::string& text) {
        for (int pass = 0; pass < 400 && read.find(text) == std::string::npos; ++pass) {
            loop_.setNow(clock_.monotonicMilliseconds());
            loop_.runOnce(5);
            admin_.serve();
            query_.serve();
            client.readSome(read);
        }
        return read.find(text) != std::string::npos;
    }
};

// The name the status query gives heads the page as text and reaches an open live view; without an
// answer the console shows the admin address, and it asks again every 30 s while someone is in.
TEST_F(WebConsoleStatusTest, ShowsTheServersNameFromItsStatusQuery) {
    query_.answerWith("<i>Team</i> server");
    const std::string cookie = cookieOf(post("/login", "name=one&password=secret"));
    ASSERT_FALSE(cookie.empty());
    const std::string request = "GET / HTTP/1.1\r\nCookie: varnweb_session=" + cookie + "\r\n\r\n";
    const std::string page = exchange(request);
    EXPECT_NE(page.find("<span id=\"server\">&lt;i&gt;Team&lt;/i&gt; server</span>"), std::string::npos) << page;
    EXPECT_EQ(page.find("<i>Team"), std::string::npos);
    EXPECT_EQ(query_.queries(), 1u);

    LoopbackStreamClient live(port_);
    ASSERT_TRUE(live.connected());
    live.send("GET /events HTTP/1.1\r\nCookie: varnweb_session=" + cookie + "\r\n\r\n");
    std::string stream;
    EXPECT_TRUE(readUntil(live, stream, "\"server\":\"<i>Team</i> server\"")) << stream;

    // Unanswered past its deadline: the address again, on the page and in the live view.
    query_.answerWith(std::nullopt);
    clock_.advanceMonotonicMilliseconds(29'000);
    EXPECT_NE(exchange(request).find("&lt;i&gt;Team"), std::string::npos) << "no query before 30 s";
    EXPECT_EQ(query_.queries(), 1u);
    clock_.advanceMonotonicMilliseconds(1'000);
    exchange(request);
    EXPECT_EQ(query_.queries(), 2u);
    clock_.advanceMonotonicMilliseconds(3'000);
    EXPECT_NE(exchange(request).find("<span id=\"server\">test</span>"), std::string::npos);
    EXPECT_TRUE(readUntil(live, stream, "\"server\":\"test\"")) << stream;

    // Answered again at the next refresh: the new name.
    query_.answerWith("Second");
    clock_.advanceMonotonicMilliseconds(30'000);
    exchange(request);
    EXPECT_NE(exchange(request).find("<span id=\"server\">Second</span>"), std::string::npos);
    EXPECT_TRUE(readUntil(live, stream, "\"server\":\"Second\"")) << stream;
}

// Without a query port nothing is asked and the address heads the page.
TEST_F(WebConsoleTest, AsksNoStatusWithoutAQueryPort) {
    query_.answerWith("Named");
    const std::string cookie = cookieOf(post("/login", "name=one&password=secret"));
    ASSERT_FALSE(cookie.empty());
    EXPECT_NE(exchange("GET / HTTP/1.1\r\nCookie: varnweb_session=" + cookie + "\r\n\r\n")
                  .find("<span id=\"server\">test</span>"),
              std::string::npos);
    EXPECT_EQ(query_.queries(), 0u);
}

}  // namespace
}  // namespace varnweb
