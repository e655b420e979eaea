#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adminclient/GameEvents.h"
#include "http/HttpServer.h"
#include "net/LoopTasks.h"
#include "platform/Clock.h"
#include "varnweb/AdminLink.h"
#include "varnweb/LoginGuard.h"
#include "varnweb/Pages.h"
#include "varnweb/StatusWatch.h"

namespace varnweb {

struct ConsoleSettings {
    // The server's admin address and port (network byte order), and how they are shown.
    std::uint32_t serverAddress = 0;
    std::uint16_t serverPort = 0;
    std::string serverText;
    // The server's query port for the browser status query (network byte order), whose answer names
    // the server; 0 asks nothing and shows serverText.
    std::uint32_t queryAddress = 0;
    std::uint16_t queryPort = 0;
    // How long the status query is given to answer, and how often it is asked while someone is
    // logged in.
    std::int64_t statusAnswerMilliseconds = 3000;
    std::int64_t statusRefreshMilliseconds = 30'000;
    // The cookie gets Secure only behind a TLS proxy: over plain HTTP a browser would not send it back.
    bool behindTls = false;
    std::int64_t idleMilliseconds = 30 * 60 * 1000;
    std::size_t maxSessions = 16;
    // How long the server is given to answer a request.
    std::int64_t answerMilliseconds = 3000;
    // The server pings an administrator every second; this long without a datagram means the session
    // is gone (the server stopped, or dropped it).
    std::int64_t silenceMilliseconds = 20'000;
};

// The web console: one administrator session on the server for each person logged in, the pages,
// the live view as Server-Sent Events, and the actions, each answered with the server's own answer.
class WebConsole {
public:
    using Milliseconds = varn::LoopTasks::Milliseconds;

    // Lines of the live view kept for each session, and event streams open at once in all.
    static constexpr std::size_t kFeedLines = 200;
    static constexpr std::size_t kMaxStreamsPerSession = 2;
    static constexpr const char* kCookieName = "varnweb_session";

    WebConsole(varn::LoopTasks& loop, const varn::platform::Clock& clock, ConsoleSettings settings,
               std::size_t maxStreams);
    ~WebConsole();
    WebConsole(const WebConsole&) = delete;
    WebConsole& operator=(const WebConsole&) = delete;

    // The HTTP server the replies go through; set once, before the first request.
    void attach(varn::HttpServer& http);
    varn::HttpResponse handle(const varn::HttpRequest& request);
    // Closes every administrator session (the server is told each one quits).
    void closeAll();
    std::size_t sessions() const { return sessions_.size(); }

private:
    struct Session;
    using Form = std::map<std::string, std::string, std::less<>>;

    Session* sessionOf(const varn::HttpRequest& request);
    varn::HttpResponse page(const varn::HttpRequest& request, Session* session);
    varn::HttpResponse login(const varn::HttpRequest& request);
    void finishLogin(Session& session, std::uint64_t connection, std::uint32_t client,
                     const std::optional<Bytes>& answer);
    varn::HttpResponse act(const varn::HttpRequest& request, Session& session, const Form& form);
    varn::HttpResponse events(const varn::HttpRequest& request, Session& session);
    varn::HttpResponse bans(const varn::HttpRequest& request, Session& session);
    using BanLines = std::shared_ptr<std::vector<std::string>>;
    void fetchBanPage(Session& session, std::uint64_t connection, BanLines lines, std::string query,
                      std::size_t page);

    // Sends a request and, on its answer (or none), sets the session's notice and redirects.
    void askThen(Session& session, std::uint64_t connection, const Bytes& request, AdminLink::Matcher matches,
                 std::function<Notice(const std::optional<Bytes>&)> judge, std::string whereTo = "/");
    void shutdownAttempt(Session& session, std::uint64_t connection, int attempt);
    void received(Session& session, const Datagram& datagram);
    void pushState(Session& session);
    std::string stateEvent(const Session& session, std::uint64_t after) const;
    void sweep(Milliseconds now);
    void endSession(Session& session, bool tellServer);
    void retire(std::unique_ptr<Session> session);
    void ensureSweep();
    ConsoleView viewOf(Session& session);
    varn::HttpResponse htmlPage(int status, std::string body) const;
    varn::HttpResponse redirect(const std::string& to) const;
    std::string sessionCookie(const std::string& token, bool clear) const;
    Milliseconds now() const { return clock_.monotonicMilliseconds(); }
    // The server's name from the status query, or its address and port without one.
    const std::string& serverShown() const;
    void serverNameChanged();

    struct Stream {
        Session* session = nullptr;
        std::uint64_t lastSequence = 0;
    };

    varn::LoopTasks& loop_;
    const varn::platform::Clock& clock_;
    ConsoleSettings settings_;
    std::size_t maxStreams_;
    varn::HttpServer* http_ = nullptr;
    LoginGuard guard_;
    // By their cookie's token; a session still logging in has no token yet and is kept apart.
    std::map<std::string, std::unique_ptr<Session>, std::less<>> sessions_;
    std::vector<std::unique_ptr<Session>> loggingIn_;
    // Ended sessions wait here for the next sweep: they may end inside their own link's callback.
    std::vector<std::unique_ptr<Session>> retired_;
    std::map<std::uint64_t, Stream> streams_;
    varn::LoopTasks::TaskId sweepTask_ = 0;
    std::unique_ptr<StatusWatch> status_;
};

}  // namespace varnweb
