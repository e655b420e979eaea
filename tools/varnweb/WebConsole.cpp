#include "varnweb/WebConsole.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "net/PeerAddress.h"
#include "protocol/AdminProtocol.h"
#include "protocol/GameProtocol.h"
#include "protocol/Packet.h"
#include "varnweb/Assets.h"
#include "varnweb/Forms.h"

namespace varnweb {

namespace admin = varn::admin;
namespace command = varn::command;
using varn::HttpRequest;
using varn::HttpResponse;
using Request = varn::PacketWriter<varn::kMaxDatagramSize>;

namespace {

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
constexpr std::size_t kTokenBytes = 32;
constexpr varn::LoopTasks::Milliseconds kSweepMilliseconds = 250;
// Two answered attempts normally stop the server; a too-late answer re-arms and costs one more.
constexpr int kMaxShutdownAttempts = 3;
constexpr std::uint8_t kSayChatKind = 0;
// Room for the NUL in the 129 bytes the server reads of a say datagram.
constexpr std::size_t kMaxSayText = admin::kMaxSayDatagram - 3;

Bytes bytesOf(const Request& request) { return Bytes(request.data(), request.data() + request.size()); }

template <std::size_t Size>
Bytes bytesOf(const std::array<std::uint8_t, Size>& datagram) {
    return Bytes(datagram.begin(), datagram.end());
}

std::optional<long> wholeNumber(std::string_view text, long lowest, long highest) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < lowest || value > highest) {
        return std::nullopt;
    }
    return value;
}

std::string field(const std::map<std::string, std::string, std::less<>>& form, std::string_view name) {
    const auto found = form.find(name);
    return found == form.end() ? std::string() : found->second;
}

bool answeredDone(const std::optional<Bytes>& reply, std::uint8_t requestId) {
    return reply && admin::decodeAnswer(varn::PacketReader(reply->data(), reply->size()), requestId) == admin::kDone;
}

Notice done(std::string text) { return Notice{Notice::Kind::done, std::move(text)}; }
Notice refused(std::string text) { return Notice{Notice::Kind::refused, std::move(text)}; }

std::string noAnswerText(const ConsoleSettings& settings) {
    return "The server did not answer within " + std::to_string(settings.answerMilliseconds / 1000) +
           " s; nothing is known to be done.";
}

std::string loginRefusalText(int reason, const std::string& name) {
    switch (reason) {
        case admin::kRefusedNameInUse:
            return "The server refused the login: an administrator named '" + name + "' is already logged in. Choose another name.";
        case admin::kRefusedBanned: return "The server refused the login: the console's address is on its ban list.";
        case admin::kRefusedWrongPassword: return "The server refused the login: wrong password.";
        case admin::kRefusedWrongVersion:
            return "The server refused the login: it speaks another admin protocol version.";
        default: return "The server refused the login (reason " + std::to_string(reason) + ").";
    }
}

std::string banRefusalText(std::uint8_t reason) {
    switch (reason) {
        case admin::kBanRefusedMalformed: return "the server could not read the request";
        case admin::kBanRefusedDuration: return "the server refused the time limit";
        case admin::kBanRefusedEntry: return "the server does not take the entry as a ban entry";
        case admin::kBanRefusedReasonTooLong: return "the reason is too long for the server";
        case admin::kBanRefusedNoPlayer: return "no player has that ID";
        default: return "reason " + std::to_string(reason);
    }
}

std::string durationText(long minutes) {
    if (minutes == 0) return "for ever";
    return "for " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

// Names that the server takes whole and that read well in its log: 1 to 13 bytes, no name end, no
// control character.
bool acceptableName(const std::string& name) {
    if (name.empty() || name.size() > admin::kMaxNameLength) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || byte == varn::kNameEnd;
    });
}

}  // namespace

struct WebConsole::Session {
    std::string token;
    std::string csrf;
    std::string name;
    std::unique_ptr<AdminLink> link;
    std::optional<varnadmin::GameEvents> events;
    int adminId = -1;
    std::deque<FeedLine> feed;
    std::uint64_t nextSequence = 1;
    std::optional<Notice> notice;
    Milliseconds lastSeen = 0;
    std::vector<std::uint64_t> streams;
    bool ended = false;
};

WebConsole::WebConsole(varn::LoopTasks& loop, const varn::platform::Clock& clock, ConsoleSettings settings,
                       std::size_t maxStreams)
    : loop_(loop), clock_(clock), settings_(std::move(settings)), maxStreams_(maxStreams) {
    if (settings_.queryPort == 0) return;
    status_ = std::make_unique<StatusWatch>(
        loop_, settings_.queryAddress, settings_.queryPort,
        StatusWatch::Timing{settings_.statusAnswerMilliseconds, settings_.statusRefreshMilliseconds},
        [this] { serverNameChanged(); });
    // Without a socket the console shows the address, as for a server that does not answer.
    if (!status_->open()) status_.reset();
}

WebConsole::~WebConsole() {
    closeAll();
    if (sweepTask_ != 0) loop_.removePeriodic(sweepTask_);
}

void WebConsole::attach(varn::HttpServer& http) {
    http_ = &http;
    http.setStreamClosed([this](varn::HttpServer::ConnectionId stream) {
        const auto found = streams_.find(stream);
        if (found == streams_.end()) return;
        std::vector<std::uint64_t>& open = found->second.session->streams;
        open.erase(std::remove(open.begin(), open.end(), stream), open.end());
        streams_.erase(found);
    });
}

void WebConsole::closeAll() {
    std::vector<Session*> open;
    for (auto& [_, session] : sessions_) open.push_back(session.get());
    for (Session* session : open) endSession(*session, true);
    for (auto& session : loggingIn_) session->link->quit();
    for (auto& session : retired_) session->link->expire(std::numeric_limits<Milliseconds>::max());
    retired_.clear();
}

// ---- answering ----

HttpResponse WebConsole::htmlPage(int status, std::string body) const {
    HttpResponse response = HttpResponse::text(status, std::move(body));
    response.contentType = "text/html; charset=utf-8";
    return response.with("Content-Security-Policy", kContentSecurityPolicy)
        .with("X-Content-Type-Options", "nosniff")
        .with("X-Frame-Options", "DENY")
        .with("Referrer-Policy", "no-referrer")
        .with("Cache-Control", "no-store");
}

HttpResponse WebConsole::redirect(const std::string& to) const {
    HttpResponse response = htmlPage(303, "<!DOCTYPE html><p><a href=\"" + escapeHtml(to) + "\">Continue</a></p>\n");
    return response.with("Location", to);
}

std::string WebConsole::sessionCookie(const std::string& token, bool clear) const {
    const std::int64_t seconds = clear ? 0 : settings_.idleMilliseconds / 1000;
    std::string cookie = std::string(kCookieName) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         std::to_string(seconds);
    if (settings_.behindTls) cookie += "; Secure";
    return cookie;
}

ConsoleView WebConsole::viewOf(Session& session) {
    ConsoleView view{serverShown(), session.name, session.csrf, session.notice};
    // A notice is shown once.
    session.notice.reset();
    return view;
}

WebConsole::Session* WebConsole::sessionOf(const HttpRequest& request) {
    const std::string token = cookieValue(request.header("Cookie"), kCookieName);
    if (token.empty()) return nullptr;
    const auto found = sessions_.find(token);
    if (found == sessions_.end() || found->second->ended) return nullptr;
    Session& session = *found->second;
    if (now() - session.lastSeen > settings_.idleMilliseconds && session.streams.empty()) {
        endSession(session, true);
        return nullptr;
    }
    session.lastSeen = now();
    return &session;
}

HttpResponse WebConsole::handle(const HttpRequest& request) {
    if (request.method == "GET" && request.path == "/console.js") {
        HttpResponse response = HttpResponse::text(200, std::string(consoleScript()));
        response.contentType = "text/javascript; charset=utf-8";
        return response.with("X-Content-Type-Options", "nosniff").with("Cache-Control", "no-cache");
    }
    if (request.method == "GET" && request.path == "/console.css") {
        HttpResponse response = HttpResponse::text(200, std::string(consoleStyle()));
        response.contentType = "text/css; charset=utf-8";
        return response.with("X-Content-Type-Options", "nosniff").with("Cache-Control", "no-cache");
    }
    Session* session = sessionOf(request);
    if (request.method == "GET") {
        if (request.path == "/") return page(request, session);
        if (request.path == "/events") {
            if (session == nullptr) return htmlPage(403, "<!DOCTYPE html><p>Not logged in.</p>\n");
            return events(request, *session);
        }
        if (request.path == "/bans") return session == nullptr ? redirect("/") : bans(request, *session);
        return htmlPage(404, "<!DOCTYPE html><p>Not found.</p>\n");
    }
    if (request.method != "POST") return htmlPage(405, "<!DOCTYPE html><p>Method not allowed.</p>\n").with("Allow", "GET, POST");
    if (request.path == "/login") return login(request);
    if (session == nullptr) return htmlPage(403, "<!DOCTYPE html><p>Not logged in: <a href=\"/\">log in</a>.</p>\n");
    const auto form = parseForm(request.body);
    // The token is compared in time that does not tell how much of it was right.
    if (!form || !sameText(field(*form, "csrf"), session->csrf)) {
        return htmlPage(403, "<!DOCTYPE html><p id=\"refused\">Refused: the form's CSRF token is missing or wrong. "
                             "<a href=\"/\">Back to the console</a></p>\n");
    }
    return act(request, *session, *form);
}

HttpResponse WebConsole::page(const HttpRequest&, Session* session) {
    if (session == nullptr) return htmlPage(200, loginPage(serverShown(), std::nullopt, ""));
    return htmlPage(200, consolePage(viewOf(*session), session->events->players(), session->feed));
}

// ---- logging in and out ----

HttpResponse WebConsole::login(const HttpRequest& request) {
    const auto form = parseForm(request.body);
    const std::string name = form ? field(*form, "name") : "";
    const std::string password = form ? field(*form, "password") : "";
    const auto refuse = [&](int status, std::string text) {
        return htmlPage(status, loginPage(serverShown(), refused(std::move(text)), name));
    };
    if (!acceptableName(name)) {
        return refuse(400, "The name must be 1 to " + std::to_string(admin::kMaxNameLength) +
                               " bytes, without '|' or control characters.");
    }
    Request join;
    admin::encodeJoin(join, name, password);
    if (password.empty() || join.overflowed()) return refuse(400, "The password is empty or too long.");
    if (sessions_.size() + loggingIn_.size() >= settings_.maxSessions) {
        return refuse(503, "The console holds as many sessions as it may (" + std::to_string(settings_.maxSessions) +
                               "); try again when someone has logged out.");
    }
    const std::uint32_t client = request.peerAddress;
    const std::int64_t seconds = now() / 1000;
    const LoginGuard::Verdict verdict = guard_.admit(client, seconds);
    if (verdict != LoginGuard::Verdict::forward) {
        const std::string wait = std::to_string(guard_.secondsUntilFree(client, seconds));
        return refuse(429, verdict == LoginGuard::Verdict::clientHeld
                               ? "Too many wrong passwords from your address: the console forwards no more of "
                                 "your logins for " + wait + " s, before the server would lock every "
                                 "administrator of the console out."
                               : "Too many wrong passwords through the console: it forwards no logins for " + wait +
                                     " s, before the server would lock it out.");
    }
    auto session = std::make_unique<Session>();
    session->name = name;
    session->link = std::make_unique<AdminLink>(loop_, settings_.serverAddress, settings_.serverPort);
    if (!session->link->open()) {
        guard_.finished(client, false, seconds);
        return refuse(500, "The console could not open a socket to the server.");
    }
    Session& pending = *session;
    loggingIn_.push_back(std::move(session));
    ensureSweep();
    // Asked with the login, so that the first page can already show the server's name.
    if (status_) status_->refresh(now());
    const std::uint64_t connection = request.connection;
    pending.link->ask(
        bytesOf(join), [](const Bytes& bytes) { return varnadmin::decodeLoginReply(bytes).has_value(); },
        now() + settings_.answerMilliseconds,
        [this, &pending, connection, client](std::optional<Bytes> answer) {
            finishLogin(pending, connection, client, answer);
        });
    return HttpResponse::later();
}

void WebConsole::finishLogin(Session& session, std::uint64_t connection, std::uint32_t client,
                             const std::optional<Bytes>& answer) {
    const auto found = std::find_if(loggingIn_.begin(), loggingIn_.end(),
                                    [&](const auto& waiting) { return waiting.get() == &session; });
    if (found == loggingIn_.end()) return;
    std::unique_ptr<Session> owned = std::move(*found);
    loggingIn_.erase(found);
    const std::int64_t seconds = now() / 1000;
    const auto result = answer ? varnadmin::decodeLoginReply(*answer) : std::nullopt;
    const auto refuse = [&](int status, std::string text) {
        http_->answer(connection, htmlPage(status, loginPage(serverShown(), refused(std::move(text)), session.name)));
        retire(std::move(owned));
    };
    if (!result) {
        // The server may have counted it: a locked-out address gets no answer at all.
        guard_.finished(client, true, seconds);
        return refuse(504, "The server did not answer. It may be down, or it has locked the console's address "
                           "out after wrong passwords; try again in a minute.");
    }
    if (result->outcome != varnadmin::LoginOutcome::accepted) {
        const bool wrongPassword = result->refusalReason == admin::kRefusedWrongPassword;
        guard_.finished(client, wrongPassword, seconds);
        return refuse(wrongPassword ? 403 : 409, loginRefusalText(result->refusalReason, session.name));
    }
    guard_.finished(client, false, seconds);
    owned->token = randomToken(kTokenBytes);
    owned->csrf = randomToken(kTokenBytes);
    if (owned->token.empty() || owned->csrf.empty()) {
        owned->link->quit();
        return refuse(500, "The console could not make a session key.");
    }
    owned->adminId = result->adminId;
    owned->events.emplace(result->players);
    owned->lastSeen = now();
    Session& kept = *owned;
    kept.link->setReceiver([this, &kept](const Datagram& datagram) { received(kept, datagram); });
    std::fprintf(stderr, "varnweb: '%s' logged in from %s as admin %d\n", kept.name.c_str(),
                 varn::ipTextOf(client).c_str(), kept.adminId);
    // A visitor who left before the answer never gets the cookie: the session would only hold a place.
    if (!http_->answer(connection, redirect("/").with("Set-Cookie", sessionCookie(kept.token, false)))) {
        kept.link->quit();
        retire(std::move(owned));
        return;
    }
    sessions_.emplace(kept.token, std::move(owned));
}

void WebConsole::endSession(Session& session, bool tellServer) {
    if (session.ended) return;
    session.ended = true;
    if (tellServer) session.link->quit();
    const std::vector<std::uint64_t> open = session.streams;
    for (const std::uint64_t stream : open) {
        http_->push(stream, "event: ended\ndata: {}\n\n");
        http_->endStream(stream);
        streams_.erase(stream);
    }
    session.streams.clear();
    const auto found = sessions_.find(session.token);
    if (found != sessions_.end()) {
        std::unique_ptr<Session> owned = std::move(found->second);
        sessions_.erase(found);
        retire(std::move(owned));
    }
}

void WebConsole::retire(std::unique_ptr<Session> session) {
    retired_.push_back(std::move(session));
    ensureSweep();
}

void WebConsole::ensureSweep() {
    if (sweepTask_ != 0) return;
    sweepTask_ = loop_.addPeriodic(kSweepMilliseconds, [this](Milliseconds when) { sweep(when); });
}

// Answers what is overdue, ends sessions left idle or no longer heard from, and frees ended ones. It
// runs only while there is a session, so a console nobody uses never wakes its loop.
void WebConsole::sweep(Milliseconds) {
    const Milliseconds time = now();
    if (status_) status_->refresh(time);
    for (auto& session : loggingIn_) session->link->expire(time);
    std::vector<Session*> gone;
    for (auto& [_, session] : sessions_) {
        session->link->expire(time);
        if (!session->streams.empty()) session->lastSeen = time;
        const bool idle = time - session->lastSeen > settings_.idleMilliseconds;
        // The welcome was heard at the login, and pings every second since.
        const bool silent = time - session->link->lastHeard() > settings_.silenceMilliseconds;
        if (idle || silent) gone.push_back(session.get());
    }
    for (Session* session : gone) endSession(*session, true);
    std::vector<std::unique_ptr<Session>> freed;
    freed.swap(retired_);
    for (auto& session : freed) session->link->expire(std::numeric_limits<Milliseconds>::max());
    freed.clear();
    if (sessions_.empty() && loggingIn_.empty() && retired_.empty() && sweepTask_ != 0) {
        loop_.removePeriodic(sweepTask_);
        sweepTask_ = 0;
    }
}

// ---- the live view ----

const std::string& WebConsole::serverShown() const {
    if (status_ && status_->serverName()) return *status_->serverName();
    return settings_.serverText;
}

// Every open live view gets the new name with its next state.
void WebConsole::serverNameChanged() {
    for (auto& [_, session] : sessions_) {
        if (!session->ended) pushState(*session);
    }
}

void WebConsole::received(Session& session, const Datagram& datagram) {
    if (!datagram.fromAdminPort || datagram.bytes.empty() || session.ended) return;
    const std::uint8_t id = datagram.bytes[0];
    const bool worthALine = id == command::kPlayerJoined || id == command::kPlayerLeft || id == command::kChat ||
                            id == command::kDeath;
    if (!worthALine && id != command::kScore) return;
    const std::optional<std::string> line = session.events->describe(datagram);
    if (worthALine && line) {
        session.feed.push_back(FeedLine{session.nextSequence++, *line});
        if (session.feed.size() > kFeedLines) session.feed.pop_front();
    }
    pushState(session);
}

std::string WebConsole::stateEvent(const Session& session, std::uint64_t after) const {
    nlohmann::json players = nlohmann::json::array();
    for (const auto& [_, player] : session.events->players()) {
        players.push_back({{"id", player.id}, {"name", player.name}, {"score", player.score}});
    }
    nlohmann::json lines = nlohmann::json::array();
    for (const FeedLine& line : session.feed) {
        if (line.sequence > after) lines.push_back({{"sequence", line.sequence}, {"text", line.text}});
    }
    const nlohmann::json state = {{"server", serverShown()}, {"players", players}, {"lines", lines}};
    // Game texts are bytes; what is no UTF-8 shows as the replacement character.
    return "event: state\ndata: " + state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

void WebConsole::pushState(Session& session) {
    const std::uint64_t newest = session.nextSequence - 1;
    const std::vector<std::uint64_t> open = session.streams;
    for (const std::uint64_t stream : open) {
        const auto found = streams_.find(stream);
        if (found == streams_.end()) continue;
        const std::uint64_t after = found->second.lastSequence;
        found->second.lastSequence = newest;
        // A client that takes nothing is cut off by the server at its backlog (the close is told back).
        http_->push(stream, stateEvent(session, after));
    }
}

HttpResponse WebConsole::events(const HttpRequest& request, Session& session) {
    if (session.streams.size() >= kMaxStreamsPerSession || streams_.size() >= maxStreams_) {
        return htmlPage(429, "<!DOCTYPE html><p>Too many live views open.</p>\n");
    }
    HttpResponse response = HttpResponse::text(200, "retry: 3000\n\n" + stateEvent(session, 0));
    response.contentType = "text/event-stream";
    response.stream = true;
    session.streams.push_back(request.connection);
    streams_[request.connection] = Stream{&session, session.nextSequence - 1};
    return response.with("Cache-Control", "no-store").with("X-Content-Type-Options", "nosniff");
}

// ---- the ban list ----

HttpResponse WebConsole::bans(const HttpRequest& request, Session& session) {
    const auto query = parseForm(request.query);
    const std::string search = query ? field(*query, "q") : "";
    const long page = query ? wholeNumber(field(*query, "page"), 1, 1'000'000).value_or(1) : 1;
    fetchBanPage(session, request.connection, std::make_shared<std::vector<std::string>>(), search,
                 static_cast<std::size_t>(page - 1));
    return HttpResponse::later();
}

// Asks for the ban list's lines page after page, from the first entry not yet seen, and shows them
// once all have come.
void WebConsole::fetchBanPage(Session& session, std::uint64_t connection, BanLines lines, std::string query,
                              std::size_t page) {
    const auto first = static_cast<std::uint32_t>(lines->size());
    Request request;
    request.byte(admin::kListBanLines).uint32(first);
    const Bytes prefix = bytesOf(request);
    session.link->ask(prefix, AdminLink::startsWith(prefix), now() + settings_.answerMilliseconds,
                      [this, &session, connection, first, lines, query, page](std::optional<Bytes> reply) {
        if (!reply) {
            session.notice = refused(noAnswerText(settings_) + " (the ban list)");
            http_->answer(connection, redirect("/"));
            return;
        }
        const varn::PacketReader reader(reply->data(), reply->size());
        const std::uint32_t total = reader.uint32At(5).value_or(0);
        const std::string text(reply->begin() + static_cast<std::ptrdiff_t>(std::min(reply->size(), admin::kBanLinesHeader)),
                               reply->end());
        std::uint32_t next = first;
        std::size_t start = 0;
        for (std::size_t end = text.find(admin::kBanLineEnd); end != std::string::npos;
             end = text.find(admin::kBanLineEnd, start)) {
            lines->push_back(text.substr(start, end - start));
            start = end + 1;
            ++next;
        }
        if (next > first && next < total && !session.ended) {
            fetchBanPage(session, connection, lines, query, page);
            return;
        }
        http_->answer(connection, htmlPage(200, bansPage(viewOf(session), *lines, query, page)));
    });
}

// ---- actions ----

void WebConsole::askThen(Session& session, std::uint64_t connection, const Bytes& request, AdminLink::Matcher matches,
                         std::function<Notice(const std::optional<Bytes>&)> judge, std::string whereTo) {
    session.link->ask(request, std::move(matches), now() + settings_.answerMilliseconds,
                      [this, &session, connection, judge = std::move(judge), whereTo](std::optional<Bytes> reply) {
        session.notice = judge(reply);
        http_->answer(connection, redirect(whereTo));
    });
}

void WebConsole::shutdownAttempt(Session& session, std::uint64_t connection, int attempt) {
    session.link->ask({admin::kShutdown}, AdminLink::startsWith({admin::kShutdown}),
                      now() + settings_.answerMilliseconds,
                      [this, &session, connection, attempt](std::optional<Bytes> reply) {
        std::optional<std::uint8_t> answer;
        if (reply) answer = admin::decodeAnswer(varn::PacketReader(reply->data(), reply->size()), admin::kShutdown);
        // Armed, or re-armed after a late second attempt: the next attempt completes it.
        if ((answer == admin::kShutdownArmed || answer == admin::kShutdownTooLate) && attempt + 1 < kMaxShutdownAttempts) {
            shutdownAttempt(session, connection, attempt + 1);
            return;
        }
        if (answer == admin::kShutdownNow) {
            session.notice = done("The server is shutting down.");
        } else if (answer == admin::kShutdownDisabled) {
            session.notice = refused("The server refused: remote shut-down is disabled (AdminAllowShutdown is not 1).");
        } else if (!reply) {
            session.notice = refused(noAnswerText(settings_));
        } else {
            session.notice = refused("The server did not confirm the shut-down.");
        }
        http_->answer(connection, redirect("/"));
    });
}

HttpResponse WebConsole::act(const HttpRequest& request, Session& session, const Form& form) {
    const std::string& path = request.path;
    const std::uint64_t connection = request.connection;
    const auto bad = [&](std::string text) {
        session.notice = refused(std::move(text));
        return redirect(path == "/unban" || path == "/addban" ? "/bans" : "/");
    };
    if (path == "/logout") {
        std::fprintf(stderr, "varnweb: '%s' logged out\n", session.name.c_str());
        endSession(session, true);
        return redirect("/").with("Set-Cookie", sessionCookie("", true));
    }
    if (path == "/say") {
        const std::string text = field(form, "text");
        if (text.empty() || text.size() > kMaxSayText) return bad("The message must be 1 to " + std::to_string(kMaxSayText) + " bytes.");
        Request say;
        admin::encodeSay(say, kSayChatKind, text);
        const auto adminId = static_cast<std::uint8_t>(session.adminId);
        askThen(session, connection, bytesOf(say), AdminLink::startsWith({command::kChat, adminId, kSayChatKind}),
                [this, text](const std::optional<Bytes>& reply) {
                    return reply ? done("Said to all: " + text) : refused(noAnswerText(settings_));
                });
        return HttpResponse::later();
    }
    if (path == "/kick" || path == "/ban") {
        const auto id = wholeNumber(field(form, "id"), 0, 255);
        if (!id) return bad("No player ID given.");
        const auto idByte = static_cast<std::uint8_t>(*id);
        const auto& players = session.events->players();
        const auto known = players.find(static_cast<int>(*id));
        const std::string who = std::to_string(*id) + (known == players.end() ? "" : " '" + known->second.name + "'");
        if (path == "/kick") {
            askThen(session, connection, bytesOf(admin::encodePlayerRequest(admin::kKick, idByte)),
                    AdminLink::startsWith(bytesOf(varn::encodePlayerLeft(varn::leftReason::kKickedOrBanned, idByte))),
                    [who](const std::optional<Bytes>& reply) {
                        return reply ? done("Kicked player " + who + ".")
                                     : refused("The server removed nobody: no player " + who + " left.");
                    });
            return HttpResponse::later();
        }
        const auto minutes = wholeNumber(field(form, "minutes"), 0, admin::kMaxBanSeconds / 60);
        const std::string reason = field(form, "reason");
        if (!minutes) return bad("The time must be 0 (for ever) to " + std::to_string(admin::kMaxBanSeconds / 60) + " minutes.");
        if (reason.size() > admin::kMaxBanReason) return bad("The reason is longer than " + std::to_string(admin::kMaxBanReason) + " bytes.");
        Request ban;
        admin::encodeBanFor(ban, idByte, static_cast<std::uint32_t>(*minutes * 60), reason);
        const long banMinutes = *minutes;
        askThen(session, connection, bytesOf(ban), AdminLink::startsWith({admin::kBanFor}),
                [this, who, banMinutes, reason](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_));
                    if (answeredDone(reply, admin::kBanFor)) {
                        return done("Banned player " + who + " " + durationText(banMinutes) +
                                    (reason.empty() ? "" : " (" + reason + ")") + ".");
                    }
                    return refused("The server refused the ban: " +
                                   banRefusalText(admin::decodeBanRefusal(varn::PacketReader(reply->data(), reply->size()))) + ".");
                });
        return HttpResponse::later();
    }
    if (path == "/addban") {
        const std::string entry = field(form, "entry");
        const auto minutes = wholeNumber(field(form, "minutes").empty() ? "0" : field(form, "minutes"), 0,
                                         admin::kMaxBanSeconds / 60);
        const std::string reason = field(form, "reason");
        if (entry.empty() || entry.size() > admin::kMaxBanEntryText) return bad("No ban entry given, or one too long.");
        if (!minutes) return bad("The time must be 0 (for ever) to " + std::to_string(admin::kMaxBanSeconds / 60) + " minutes.");
        if (reason.size() > admin::kMaxBanReason) return bad("The reason is too long.");
        Request add;
        admin::encodeAddBanFor(add, static_cast<std::uint32_t>(*minutes * 60), entry, reason);
        const long banMinutes = *minutes;
        askThen(session, connection, bytesOf(add), AdminLink::startsWith({admin::kAddBanFor}),
                [this, entry, banMinutes](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_));
                    if (answeredDone(reply, admin::kAddBanFor)) return done("Added ban '" + entry + "' " + durationText(banMinutes) + ".");
                    return refused("The server refused the ban '" + entry + "': " +
                                   banRefusalText(admin::decodeBanRefusal(varn::PacketReader(reply->data(), reply->size()))) + ".");
                }, "/bans");
        return HttpResponse::later();
    }
    if (path == "/unban") {
        const std::string entry = field(form, "entry");
        if (entry.empty() || entry.size() > admin::kMaxUnbanText) return bad("No ban entry given, or one too long.");
        Request unban;
        admin::encodeTextRequest(unban, admin::kUnban, entry);
        askThen(session, connection, bytesOf(unban), AdminLink::startsWith({admin::kUnban}),
                [this, entry](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_));
                    return answeredDone(reply, admin::kUnban) ? done("Removed ban '" + entry + "'.")
                                                              : refused("The server removed nothing: no ban entry equals '" + entry + "'.");
                }, "/bans");
        return HttpResponse::later();
    }
    if (path == "/motd") {
        askThen(session, connection, {admin::kReloadMotd}, AdminLink::startsWith({admin::kReloadMotd}),
                [this](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_));
                    return answeredDone(reply, admin::kReloadMotd)
                               ? done("The message of the day was reloaded.")
                               : refused("The server could not open its motd.txt; the old message stays.");
                });
        return HttpResponse::later();
    }
    if (path == "/password") {
        const std::string password = field(form, "password");
        if (password.empty() || password.size() > admin::kMaxServerPassword) {
            return bad("The server password must be 1 to " + std::to_string(admin::kMaxServerPassword) + " bytes.");
        }
        Request change;
        admin::encodeTextRequest(change, admin::kSetServerPassword, password);
        askThen(session, connection, bytesOf(change), AdminLink::startsWith({admin::kSetServerPassword}),
                [this](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_));
                    return answeredDone(reply, admin::kSetServerPassword)
                               ? done("The server password was changed until the server restarts.")
                               : refused("The server did not change its password (its configuration has no ServerPassword).");
                });
        return HttpResponse::later();
    }
    if (path == "/scripts") {
        askThen(session, connection, {admin::kReloadScripts}, AdminLink::startsWith({admin::kReloadScripts}),
                [this](const std::optional<Bytes>& reply) {
                    if (!reply) return refused(noAnswerText(settings_) + " A server without scripts does not answer this.");
                    return answeredDone(reply, admin::kReloadScripts)
                               ? done("The scripts were reloaded.")
                               : refused("A script could not be loaded; the running scripts stay (see the server's log).");
                });
        return HttpResponse::later();
    }
    if (path == "/shutdown") {
        if (field(form, "confirm") != "yes") return htmlPage(200, confirmShutdownPage(viewOf(session)));
        shutdownAttempt(session, connection, 0);
        return HttpResponse::later();
    }
    return htmlPage(404, "<!DOCTYPE html><p>Not found.</p>\n");
}

}  // namespace varnweb
