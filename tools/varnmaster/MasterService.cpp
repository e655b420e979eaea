#include "MasterService.h"

#include <unistd.h>

#include <array>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "ListRender.h"
#include "log/ServerLog.h"
#include "net/PeerAddress.h"
#include "platform/Files.h"
#include "protocol/BrowserProtocol.h"

namespace varn::master {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kDatagramCapacity = 2048;
constexpr std::int64_t kStateSaveMilliseconds = 5'000;
constexpr std::int64_t kSummaryMilliseconds = 60'000;
constexpr std::string_view kJsonType = "application/json";
constexpr std::string_view kHtmlType = "text/html; charset=utf-8";
constexpr std::string_view kListCache = "public, max-age=5";

std::string dotted(std::uint32_t hostOrder) {
    return std::to_string(hostOrder >> 24) + "." + std::to_string((hostOrder >> 16) & 0xFF) + "." +
           std::to_string((hostOrder >> 8) & 0xFF) + "." + std::to_string(hostOrder & 0xFF);
}

std::uint32_t hostOrderOf(std::uint32_t networkOrder) { return PeerAddress{networkOrder, 0}.hostAddress(); }

// "/servers/<a.b.c.d>:<port>.json" to its key.
std::optional<ServerKey> keyFromPath(std::string_view path) {
    constexpr std::string_view prefix = "/servers/";
    constexpr std::string_view suffix = ".json";
    if (path.size() <= prefix.size() + suffix.size() || path.substr(0, prefix.size()) != prefix ||
        path.substr(path.size() - suffix.size()) != suffix) {
        return std::nullopt;
    }
    const std::string_view middle = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    const std::size_t colon = middle.rfind(':');
    if (colon == std::string_view::npos || middle.size() - colon > 6 || colon > 15) return std::nullopt;
    const std::string address(middle.substr(0, colon));
    const std::uint32_t parsed = addressFromText(address.c_str());
    if (parsed == kNoAddress || address.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
    std::uint32_t port = 0;
    const std::string_view digits = middle.substr(colon + 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    for (const char digit : digits) port = port * 10 + static_cast<std::uint32_t>(digit - '0');
    if (port == 0 || port > 65535) return std::nullopt;
    return ServerKey{hostOrderOf(parsed), static_cast<std::uint16_t>(port)};
}

HttpResponse cachedReply(const std::string& body, std::string_view type, std::string_view cacheControl,
                         const HttpRequest& request) {
    HttpResponse response = HttpResponse::text(200, body);
    response.contentType = type;
    response.with("ETag", entityTag(body)).with("Cache-Control", std::string(cacheControl));
    answerNotModified(request, response);
    return response;
}

bool saveText(const std::string& path, const std::string& content, std::string& reason) {
    platform::FileSystem& files = platform::FileSystem::system();
    const platform::SavePlan plan = platform::planSaves(files, path);
    const std::error_code error = platform::saveFile(files, plan, content);
    if (error) reason = error.message();
    return !error;
}

}  // namespace

void systemRandom(std::span<std::uint8_t> bytes) {
    // A pool refilled from the kernel, so a challenge costs no system call of its own.
    static std::array<std::uint8_t, 256> pool{};
    static std::size_t used = pool.size();
    for (std::uint8_t& byte : bytes) {
        if (used == pool.size()) {
            if (::getentropy(pool.data(), pool.size()) != 0) {
                // Without the kernel's randomness no challenge may go out predictable.
                ServerLog::instance().diagnostic("varnmaster: the system's random source failed");
                std::abort();
            }
            used = 0;
        }
        byte = pool[used++];
    }
}

MasterService::MasterService(const MasterSettings& settings, LoopTasks& loop, const platform::Clock& clock)
    : settings_(settings), loop_(loop), clock_(clock), list_(settings, systemRandom, entryJson) {}

MasterService::~MasterService() {
    if (secondTask_ != 0) loop_.removePeriodic(secondTask_);
    if (socketTask_ != 0) loop_.removeSocket(socketTask_);
}

bool MasterService::start(std::string& reason) {
    socket_ = platform::createUdpSocket();
    const std::uint32_t listenAddress = addressFromText(settings_.listenAddress.c_str());
    const std::uint16_t port = PeerAddress::fromHostOrder(0, static_cast<std::uint16_t>(settings_.listenPort)).port;
    if (!socket_->create() || !socket_->bind(listenAddress, port)) {
        reason = "heartbeat socket " + settings_.listenAddress + ":" + std::to_string(settings_.listenPort) + ": " +
                 socket_->bindError().message();
        return false;
    }
    // Bound to all addresses, the answers must leave from the address each heartbeat came to.
    if (listenAddress == 0 && !socket_->reportLocalAddresses()) {
        ServerLog::instance().diagnostic("varnmaster: this system cannot answer from the address asked; set ListenAddress");
    }
    socket_->setReceiveBufferBytes(4 << 20);
    if (settings_.httpPort != 0) {
        std::unique_ptr<platform::StreamListener> listener =
            openHttpListener(settings_.httpAddress, settings_.httpPort, reason);
        if (!listener) {
            reason = "HTTP " + settings_.httpAddress + ":" + std::to_string(settings_.httpPort) + ": " + reason;
            return false;
        }
        HttpLimits limits;
        limits.maxConnections = 64;
        // The whole list of a full master is several megabytes: a client gets half a minute for it.
        limits.replyTimeoutMilliseconds = 30'000;
        http_ = std::make_unique<HttpServer>(loop_, std::move(listener), limits,
                                             [this](const HttpRequest& request) { return answer(request); });
    }
    receiveBuffers_.assign(kReceiveBatch * kDatagramCapacity, 0);
    loadState();
    socketTask_ = loop_.addSocket(socket_->waitHandle(), Interest::Read,
                                  [this](Readiness, LoopTasks::Milliseconds now) { receive(now); });
    secondTask_ = loop_.addPeriodic(1'000, [this](LoopTasks::Milliseconds now) { everySecond(now); });
    lastSummary_ = clock_.monotonicMilliseconds();
    // The restored servers are polled at once.
    list_.tick(clock_.monotonicMilliseconds());
    flushOutbox();
    return true;
}

void MasterService::receive(LoopTasks::Milliseconds) {
    std::array<platform::ReceiveSlot, kReceiveBatch> slots{};
    std::size_t taken = 0;
    while (taken < kReceivesPerPass) {
        for (std::size_t index = 0; index < slots.size(); ++index) {
            slots[index] = {receiveBuffers_.data() + index * kDatagramCapacity, kDatagramCapacity, {}};
        }
        const std::size_t filled = socket_->receiveBatch(slots);
        const std::int64_t nowMilliseconds = clock_.monotonicMilliseconds();
        const std::int64_t nowSeconds = clock_.calendarSeconds();
        bool dry = filled == 0;
        for (std::size_t index = 0; index < filled; ++index) {
            const platform::ReceiveResult& result = slots[index].result;
            if (result.status == platform::ReceiveStatus::nothingMore) {
                dry = true;
                break;
            }
            ++taken;
            if (result.status != platform::ReceiveStatus::datagram) {
                list_.malformed();
                continue;
            }
            dispatch(result, std::span(slots[index].buffer, result.length), nowMilliseconds, nowSeconds);
        }
        flushOutbox();
        if (dry) break;
    }
}

void MasterService::dispatch(const platform::ReceiveResult& result, std::span<const std::uint8_t> datagram,
                             std::int64_t nowMilliseconds, std::int64_t nowSeconds) {
    const ServerKey from{hostOrderOf(result.address), PeerAddress{0, result.port}.hostPort()};
    if (datagram.empty()) {
        list_.malformed();
    } else if (datagram[0] == '\\') {
        list_.heartbeat(from.address, result.localAddress, datagram, nowMilliseconds, nowSeconds);
    } else if (datagram[0] == browser::kChallengeReply) {
        list_.challengeAnswer(from, datagram, nowMilliseconds, nowSeconds);
    } else if (datagram.size() >= 4 && datagram[0] == 'E' && datagram[1] == 'Y' && datagram[2] == 'E') {
        list_.statusPiece(from, datagram, nowMilliseconds, nowSeconds);
    } else {
        list_.malformed();
    }
}

void MasterService::flushOutbox() {
    std::vector<Outgoing>& outbox = list_.outbox();
    if (outbox.empty()) return;
    std::vector<platform::SendSlot> slots;
    slots.reserve(outbox.size());
    for (const Outgoing& out : outbox) {
        const PeerAddress to = PeerAddress::fromHostOrder(out.to.address, out.to.port);
        platform::SendSlot slot;
        slot.address = to.address;
        slot.port = to.port;
        slot.data = out.bytes.data();
        slot.length = out.length;
        slot.source = out.source;
        slots.push_back(slot);
    }
    socket_->sendBatch(slots);
    outbox.clear();
}

void MasterService::everySecond(LoopTasks::Milliseconds) {
    const std::int64_t nowMilliseconds = clock_.monotonicMilliseconds();
    list_.tick(nowMilliseconds);
    flushOutbox();
    if (settings_.stateFile && list_.stateGeneration() != savedState_ &&
        nowMilliseconds - lastStateSave_ >= kStateSaveMilliseconds) {
        saveState();
        lastStateSave_ = nowMilliseconds;
    }
    if (settings_.listFolder && list_.generation() != writtenList_ &&
        nowMilliseconds - lastListWrite_ >= settings_.listSeconds * 1000LL) {
        writeListFiles();
        lastListWrite_ = nowMilliseconds;
    }
    if (nowMilliseconds - lastSummary_ >= kSummaryMilliseconds) {
        lastSummary_ = nowMilliseconds;
        const std::string summary = list_.takeDropSummary();
        if (!summary.empty()) ServerLog::instance().line(summary);
    }
}

void MasterService::saveState() {
    if (!settings_.stateFile) return;
    Json servers = Json::array();
    for (const auto& [packed, server] : list_.listed()) {
        servers.push_back({{"address", dotted(server.key.address)},
                           {"queryPort", server.key.port},
                           {"localAddress", dotted(hostOrderOf(server.localAddress))},
                           {"firstSeen", server.firstSeen},
                           {"lastHeartbeat", server.lastHeartbeat}});
    }
    const std::string content = Json{{"version", 1}, {"servers", std::move(servers)}}.dump(1) + "\n";
    std::string reason;
    if (saveText(*settings_.stateFile, content, reason)) {
        savedState_ = list_.stateGeneration();
    } else {
        ServerLog::instance().line("MASTER-WARNING: the state file ", *settings_.stateFile, " could not be saved: ", reason);
    }
}

void MasterService::loadState() {
    if (!settings_.stateFile) return;
    std::ifstream file(*settings_.stateFile, std::ios::binary);
    if (!file) return;
    std::ostringstream content;
    content << file.rdbuf();
    const Json state = Json::parse(content.str(), nullptr, false);
    if (state.is_discarded() || !state.is_object() || !state.contains("servers") || !state["servers"].is_array()) {
        ServerLog::instance().line("MASTER-WARNING: the state file ", *settings_.stateFile,
                                   " is not readable state; starting with an empty list");
        return;
    }
    std::size_t restored = 0;
    for (const Json& entry : state["servers"]) {
        if (!entry.is_object()) continue;
        const Json address = entry.value("address", Json());
        const Json local = entry.value("localAddress", Json("0.0.0.0"));
        const Json port = entry.value("queryPort", Json());
        if (!address.is_string() || !local.is_string() || !port.is_number_unsigned()) continue;
        const std::uint32_t parsed = addressFromText(address.get<std::string>().c_str());
        const std::uint32_t localParsed = addressFromText(local.get<std::string>().c_str());
        const auto portNumber = port.get<std::uint64_t>();
        if (parsed == kNoAddress || localParsed == kNoAddress || portNumber == 0 || portNumber > 65535) continue;
        const std::int64_t firstSeen = entry.value("firstSeen", std::int64_t{0});
        const std::int64_t lastHeartbeat = entry.value("lastHeartbeat", std::int64_t{0});
        list_.restore({hostOrderOf(parsed), static_cast<std::uint16_t>(portNumber)}, localParsed, firstSeen,
                      lastHeartbeat, clock_.monotonicMilliseconds(), clock_.calendarSeconds());
        ++restored;
    }
    savedState_ = list_.stateGeneration();
    ServerLog::instance().line("varnmaster: ", restored, " servers from ", *settings_.stateFile, ", polled again");
}

void MasterService::writeListFiles() {
    const std::string folder = *settings_.listFolder;
    std::string reason;
    bool written = saveText(folder + "/servers.json", cachedJson(), reason);
    written = written && saveText(folder + "/index.html", cachedHtml(), reason);
    if (!written) {
        ServerLog::instance().line("MASTER-WARNING: the list files in ", folder, " could not be written: ", reason);
        return;
    }
    writtenList_ = list_.generation();
}

// The list's JSON, built again only when the list changed, and then at most once a second.
const std::string& MasterService::cachedJson() {
    const std::int64_t now = clock_.monotonicMilliseconds();
    if (jsonGeneration_ != list_.generation() && (jsonBuilt_ < 0 || now - jsonBuilt_ >= 1'000 || json_.empty())) {
        json_ = serversJson(list_);
        jsonGeneration_ = list_.generation();
        jsonBuilt_ = now;
    }
    return json_;
}

const std::string& MasterService::cachedHtml() {
    const std::int64_t now = clock_.monotonicMilliseconds();
    if (htmlGeneration_ != list_.generation() && (htmlBuilt_ < 0 || now - htmlBuilt_ >= 1'000 || html_.empty())) {
        html_ = serversHtml(list_, PageView{}, settings_.title.value_or("Varn servers"));
        htmlGeneration_ = list_.generation();
        htmlBuilt_ = now;
    }
    return html_;
}

HttpResponse MasterService::answer(const HttpRequest& request) {
    ++httpRequests_;
    if (request.method != "GET") return HttpResponse::text(405, "method not allowed\n").with("Allow", "GET");
    if (request.path == "/servers.json") return cachedReply(cachedJson(), kJsonType, kListCache, request);
    if (request.path == "/") {
        if (request.query.empty()) return cachedReply(cachedHtml(), kHtmlType, kListCache, request);
        const std::string page =
            serversHtml(list_, pageViewFromQuery(request.query), settings_.title.value_or("Varn servers"));
        return cachedReply(page, kHtmlType, kListCache, request);
    }
    if (request.path == "/metrics") {
        HttpResponse response = HttpResponse::text(200, masterMetrics(list_, httpRequests_));
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        return response.with("Cache-Control", "no-store");
    }
    if (request.path == "/healthz") return HttpResponse::text(200, "ok\n").with("Cache-Control", "no-store");
    if (const std::optional<ServerKey> key = keyFromPath(request.path)) {
        bool found = false;
        const std::string body = serverJson(list_, *key, found);
        if (found) return cachedReply(body, kJsonType, kListCache, request);
    }
    return HttpResponse::text(404, "not found\n");
}

}  // namespace varn::master
