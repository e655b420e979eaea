#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/MetricsSupport.h"
#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;

// One server with its metrics port, in a folder of its own.
struct Instance {
    ScratchDirectory directory;
    std::uint16_t port = freeUdpPort();
    std::uint16_t metricsPort = freeTcpPort();

    explicit Instance(const std::string& name) {
        std::string configuration = baseConfiguration(port);
        const std::size_t nameLine = configuration.find("ServerName ");
        if (nameLine != std::string::npos) {
            configuration.replace(nameLine, configuration.find('\n', nameLine) - nameLine, "ServerName " + name);
        }
        directory.write("varnserver.conf", configuration + "MetricsPort " + std::to_string(metricsPort) + "\n");
        directory.write("banned.txt", "127.0.0.9\n");
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(metricsPort); }
};

// The value Prometheus's query API gives for an instant query that selects one series; none while it
// has no such series (or no answer at all).
std::optional<double> queryOne(std::uint16_t prometheusPort, const std::string& query) {
    const CommandResult result = runCommand("curl -s --max-time 5 -G 'http://127.0.0.1:" +
                                            std::to_string(prometheusPort) + "/api/v1/query' --data-urlencode '" +
                                            "query=" + query + "'");
    if (result.status != 0) return std::nullopt;
    // {"status":"success","data":{"resultType":"vector","result":[{"metric":{...},"value":[<time>,"<v>"]}]}}:
    // exactly one sample, whose value is the quoted text after the time.
    const std::string& answer = result.output;
    const std::string valueKey = "\"value\":[";
    const std::size_t value = answer.find(valueKey);
    if (answer.find("\"status\":\"success\"") == std::string::npos || value == std::string::npos ||
        answer.find(valueKey, value + 1) != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t open = answer.find(",\"", value);
    const std::size_t close = open == std::string::npos ? open : answer.find('"', open + 2);
    if (close == std::string::npos) return std::nullopt;
    return std::stod(answer.substr(open + 2, close - open - 2));
}

// Polls until the query gives the value, or the deadline passes; the last value seen otherwise.
std::optional<double> awaitValue(std::uint16_t prometheusPort, const std::string& query, double wanted,
                                 std::chrono::steady_clock::time_point deadline) {
    std::optional<double> last;
    while (std::chrono::steady_clock::now() < deadline) {
        last = queryOne(prometheusPort, query);
        if (last == wanted) return last;
        std::this_thread::sleep_for(250ms);
    }
    return last;
}

bool joined(UdpClient& client, std::uint16_t port, const std::string& name) {
    client.sendTo(port, joinDatagram(name));
    for (int attempt = 0; attempt < 10; ++attempt) {
        const auto datagram = client.receive(500ms);
        if (datagram && !datagram->empty() && datagram->front() == 1) return true;
    }
    return false;
}

// A real Prometheus scrapes two servers every second; its query API gives what was played on each.
TEST(PrometheusE2ETest, ScrapesTwoInstancesAndGivesWhatWasPlayed) {
    if (!programExists("prometheus") || !programExists("curl")) {
        GTEST_SKIP() << "prometheus or curl is not installed (scripts/setup-deps.sh installs them)";
    }
    Instance first("First"), second("Second");
    ServerProcess firstServer(first.directory.path(), {}, false);
    ServerProcess secondServer(second.directory.path(), {}, false);
    ASSERT_TRUE(firstServer.waitForOutput("SERVER: press 'q'"));
    ASSERT_TRUE(secondServer.waitForOutput("SERVER: press 'q'"));

    ScratchDirectory prometheusFolder;
    prometheusFolder.write("prometheus.yml", "global:\n"
                                             "  scrape_interval: 1s\n"
                                             "  scrape_timeout: 1s\n"
                                             "scrape_configs:\n"
                                             "  - job_name: varnserver\n"
                                             "    static_configs:\n"
                                             "      - targets: ['" +
                                                 first.target() + "', '" + second.target() + "']\n");
    const std::uint16_t prometheusPort = freeTcpPort();
    const std::filesystem::path folder = prometheusFolder.path();
    ChildProcess prometheus({"prometheus", "--config.file=" + (folder / "prometheus.yml").string(),
                             "--storage.tsdb.path=" + (folder / "data").string(),
                             "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                            folder / "prometheus.out");

    // Two players on the first server; one on the second, and one refused there (a banned address).
    UdpClient alice("127.0.0.2"), bob("127.0.0.3"), carol("127.0.0.4"), banned("127.0.0.9");
    ASSERT_TRUE(joined(alice, first.port, "alice"));
    ASSERT_TRUE(joined(bob, first.port, "bob"));
    ASSERT_TRUE(joined(carol, second.port, "carol"));
    banned.sendTo(second.port, joinDatagram("eve"));
    EXPECT_EQ(banned.receive(), std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{6, 1}));

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    const auto players = [](const Instance& instance) {
        return "varn_players{instance=\"" + instance.target() + "\"}";
    };
    EXPECT_EQ(awaitValue(prometheusPort, players(first), 2, deadline), std::optional<double>(2));
    EXPECT_EQ(awaitValue(prometheusPort, players(second), 1, deadline), std::optional<double>(1));
    EXPECT_EQ(awaitValue(prometheusPort,
                         "varn_joins_refused_total{reason=\"banned\",instance=\"" + second.target() + "\"}", 1,
                         deadline),
              std::optional<double>(1));
    EXPECT_EQ(awaitValue(prometheusPort,
                         "varn_joins_refused_total{reason=\"banned\",instance=\"" + first.target() + "\"}", 0,
                         deadline),
              std::optional<double>(0));
    EXPECT_EQ(awaitValue(prometheusPort, "varn_server_info{name=\"Second\"}", 1, deadline),
              std::optional<double>(1));
    // Both targets are up, and a leave reaches the query too.
    EXPECT_EQ(awaitValue(prometheusPort, "sum(up{job=\"varnserver\"})", 2, deadline), std::optional<double>(2));
    bob.sendTo(first.port, {2});
    EXPECT_EQ(awaitValue(prometheusPort, players(first), 1, deadline), std::optional<double>(1));

    EXPECT_TRUE(prometheus.running()) << "Prometheus ended early; see " << (folder / "prometheus.out").string();
    prometheus.stop();
    firstServer.signal(SIGTERM);
    secondServer.signal(SIGTERM);
    EXPECT_EQ(firstServer.waitForExit(), std::optional<int>(0));
    EXPECT_EQ(secondServer.waitForExit(), std::optional<int>(0));
}

}  // namespace
}  // namespace varn::e2e
