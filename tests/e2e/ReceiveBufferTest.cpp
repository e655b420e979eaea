#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "e2e/ServerProcess.h"

namespace varn::e2e {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The most a process without privileges may ask for, as the kernel's limit has it.
long receiveBufferLimit() {
    std::ifstream file("/proc/sys/net/core/rmem_max");
    long limit = -1;
    file >> limit;
    return limit;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A started server answers a ping and ends on SIGTERM with status 0.
void pingThenStop(ServerProcess& server, std::uint16_t port) {
    ASSERT_TRUE(server.waitForOutput("SERVER: press 'q'"));
    UdpClient client("127.0.0.7");
    client.sendTo(port, Bytes{4});
    EXPECT_EQ(client.receive(), std::optional<Bytes>(Bytes{5}));
    server.signal(SIGTERM);
    ASSERT_EQ(server.waitForExit(), std::optional<int>(0));
}

// A request above the kernel's limit is cut to it, and standard error says so once; one within it
// is granted without a word. The server serves in both cases.
TEST(ReceiveBufferTest, ARequestTheLimitCutsIsSaidOnceOnStandardError) {
    const long limit = receiveBufferLimit();
    ASSERT_GT(limit, 0);
    ASSERT_LT(limit, 2147483647L / 2);
    struct Case {
        long asked;
        bool cut;
    };
    for (const Case& each : {Case{2147483647L, true}, Case{65536, false}}) {
        SCOPED_TRACE(each.asked);
        ScratchDirectory directory;
        const std::uint16_t port = freeUdpPort();
        directory.write("varnserver.conf",
                        baseConfiguration(port) + "ReceiveBufferBytes " + std::to_string(each.asked) + "\n");
        ServerProcess server(directory.path(), {}, false, ServerProcess::ErrorOutput::apart);
        ASSERT_NO_FATAL_FAILURE(pingThenStop(server, port));
        const std::string expected = "varnserver: the receive buffer of the game socket is " + std::to_string(limit) +
                                     " bytes, not the " + std::to_string(each.asked) +
                                     " of ReceiveBufferBytes: the system's limit (net.core.rmem_max on Linux) cut it\n";
        const std::string errors = server.errorOutput();
        EXPECT_EQ(occurrences(errors, expected), each.cut ? 1u : 0u) << errors;
        EXPECT_EQ(occurrences(errors, "receive buffer"), each.cut ? 1u : 0u) << errors;
    }
}

// With VARN_SYSCALL_COUNTS naming a file, the server appends its system-call counts there when it
// ends: a ping answered means at least a wait, a receive and a send.
TEST(ReceiveBufferTest, SystemCallCountsAreWrittenAtTheEndWhenAskedFor) {
    ScratchDirectory directory;
    const std::uint16_t port = freeUdpPort();
    directory.write("varnserver.conf", baseConfiguration(port));
    const std::string countsFile = (directory.path() / "counts.txt").string();
    ::setenv("VARN_SYSCALL_COUNTS", countsFile.c_str(), 1);
    ServerProcess server(directory.path(), {}, false);
    ::unsetenv("VARN_SYSCALL_COUNTS");
    ASSERT_NO_FATAL_FAILURE(pingThenStop(server, port));
    std::istringstream line(directory.read("counts.txt"));
    std::map<std::string, long> counts;
    for (std::string field; line >> field;) {
        const std::size_t equals = field.find('=');
        ASSERT_NE(equals, std::string::npos) << field;
        counts[field.substr(0, equals)] = std::stol(field.substr(equals + 1));
    }
    EXPECT_EQ(counts.size(), 9u);
    EXPECT_GE(counts["waits"], 1);
    EXPECT_GE(counts["receives"], 1);
    EXPECT_GE(counts["datagrams_received"], 1);
    EXPECT_GE(counts["sends"], 1);
    EXPECT_GE(counts["datagrams_sent"], 1);
    EXPECT_EQ(counts["empty_receives"], 0) << "only what the wait reported is read";
}

}  // namespace
}  // namespace varn::e2e
