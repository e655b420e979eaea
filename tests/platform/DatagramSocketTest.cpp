#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "net/PeerAddress.h"
#include "platform/BatchSend.h"
#include "platform/DatagramSocket.h"

namespace varn {
namespace {

using platform::ReceiveStatus;
using SteadyClock = std::chrono::steady_clock;

const std::uint32_t kLoopback = PeerAddress::fromHostOrder(0x7F000001, 0).address;
constexpr std::size_t kBufferBytes = 1024;

// What one slot of a batched receive held, with the datagram's bytes copied out.
struct Received {
    ReceiveStatus status;
    std::vector<std::uint8_t> bytes;
    std::uint16_t port;

    friend bool operator==(const Received&, const Received&) = default;
};

std::vector<std::uint8_t> datagramOf(std::size_t length, std::uint8_t tag) {
    return std::vector<std::uint8_t>(length, tag);
}

Received datagramFrom(const std::vector<std::uint8_t>& bytes, std::uint16_t port) {
    return {ReceiveStatus::datagram, bytes, port};
}

// Slots of 1024 bytes each over buffers of their own.
class Slots {
public:
    explicit Slots(std::size_t count) : buffers_(count * kBufferBytes), slots_(count) {
        for (std::size_t index = 0; index < count; ++index) {
            slots_[index].buffer = buffers_.data() + index * kBufferBytes;
            slots_[index].capacity = kBufferBytes;
        }
    }
    std::span<platform::ReceiveSlot> all() { return slots_; }

    // The first count slots' results, bytes copied out; the port is kept for datagrams only.
    std::vector<Received> results(std::size_t count) const {
        std::vector<Received> results;
        for (std::size_t index = 0; index < count; ++index) {
            const platform::ReceiveResult& result = slots_[index].result;
            const bool isDatagram = result.status == ReceiveStatus::datagram;
            results.push_back({result.status,
                               isDatagram ? std::vector<std::uint8_t>(slots_[index].buffer,
                                                                      slots_[index].buffer + result.length)
                                          : std::vector<std::uint8_t>{},
                               isDatagram ? result.port : std::uint16_t{0}});
        }
        return results;
    }

private:
    std::vector<std::uint8_t> buffers_;
    std::vector<platform::ReceiveSlot> slots_;
};

class DatagramSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver->create());
        ASSERT_TRUE(receiver->bind(kLoopback, 0));
        ASSERT_TRUE(sender->create());
        ASSERT_TRUE(sender->bind(kLoopback, 0));
    }

    void sendToReceiver(const std::vector<std::uint8_t>& datagram) {
        ASSERT_EQ(sender->sendTo(kLoopback, receiver->localPort(), datagram.data(), datagram.size()),
                  static_cast<int>(datagram.size()));
    }

    // Batched receives of at most slotCount slots until `expected` results other than "nothing
    // more" have come and a receive has said "nothing more", or two seconds have passed. Returns
    // every slot's result, and the size of each batch in batchSizes.
    static std::vector<Received> receiveBatches(platform::DatagramSocket& socket, std::size_t expected,
                                                std::size_t slotCount, std::vector<std::size_t>& batchSizes) {
        Slots slots(slotCount);
        std::vector<Received> all;
        std::size_t found = 0;
        const auto deadline = SteadyClock::now() + std::chrono::seconds(2);
        while (SteadyClock::now() < deadline) {
            if (found < expected) socket.waitReadable(100'000);
            const std::size_t count = socket.receiveBatch(slots.all());
            batchSizes.push_back(count);
            for (const Received& result : slots.results(count)) {
                all.push_back(result);
                if (result.status != ReceiveStatus::nothingMore) ++found;
            }
            const bool emptied = count > 0 && all.back().status == ReceiveStatus::nothingMore;
            if (found >= expected && emptied) break;
        }
        return all;
    }

    std::unique_ptr<platform::DatagramSocket> receiver = platform::createUdpSocket();
    std::unique_ptr<platform::DatagramSocket> sender = platform::createUdpSocket();
};

// Results other than "nothing more", in order.
std::vector<Received> withoutNothingMore(const std::vector<Received>& results) {
    std::vector<Received> kept;
    for (const Received& result : results) {
        if (result.status != ReceiveStatus::nothingMore) kept.push_back(result);
    }
    return kept;
}

const Received kFailed{ReceiveStatus::failed, {}, 0};
const Received kNothingMore{ReceiveStatus::nothingMore, {}, 0};

TEST_F(DatagramSocketTest, BatchedReceiveKeepsOrderAndSkipsOversizedDatagramsInTheMiddle) {
    const std::vector<std::vector<std::uint8_t>> datagrams = {
        datagramOf(1, 1), datagramOf(1024, 2), datagramOf(1025, 3), datagramOf(3000, 4), datagramOf(5, 5),
        datagramOf(0, 0)};
    for (const auto& datagram : datagrams) sendToReceiver(datagram);

    std::vector<std::size_t> batchSizes;
    const std::vector<Received> results = receiveBatches(*receiver, datagrams.size(), 16, batchSizes);
    const std::uint16_t from = sender->localPort();
    const std::vector<Received> expected = {datagramFrom(datagrams[0], from), datagramFrom(datagrams[1], from),
                                            kFailed,
                                            kFailed,
                                            datagramFrom(datagrams[4], from),
                                            datagramFrom(datagrams[5], from)};
    EXPECT_EQ(withoutNothingMore(results), expected);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.back(), kNothingMore);
#if defined(__linux__)
    // Loopback delivers before sendto returns: one recvmmsg takes all six and finds the socket dry.
    EXPECT_EQ(batchSizes, std::vector<std::size_t>{7});
#endif
}

// 100 datagrams through slots of 70, more than one system call's worth: the batch stops at its
// slots, the next one goes on where it stopped, and only the last says "nothing more".
TEST_F(DatagramSocketTest, BatchedReceiveStopsAtItsSlotsAndKeepsOrderAcrossBatches) {
    constexpr std::size_t kDatagrams = 100;
    for (std::size_t index = 0; index < kDatagrams; ++index) {
        sendToReceiver({static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index ^ 0x5A)});
    }
    std::vector<std::size_t> batchSizes;
    const std::vector<Received> results = receiveBatches(*receiver, kDatagrams, 70, batchSizes);
    std::vector<Received> expected;
    for (std::size_t index = 0; index < kDatagrams; ++index) {
        expected.push_back(datagramFrom({static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index ^ 0x5A)},
                                        sender->localPort()));
    }
    EXPECT_EQ(withoutNothingMore(results), expected);
    for (std::size_t size : batchSizes) EXPECT_LE(size, 70u);
#if defined(__linux__)
    EXPECT_EQ(batchSizes, (std::vector<std::size_t>{70, 31}));
#endif
}

// A receive on an empty socket answers "nothing more" at once; were the socket blocking, the reader
// would hang, so the test gives it two seconds and then frees it with datagrams of its own.
TEST_F(DatagramSocketTest, EmptySocketSaysNothingMoreWithoutWaiting) {
    std::atomic<bool> done{false};
    std::array<std::uint8_t, kBufferBytes> buffer{};
    platform::ReceiveResult single;
    std::vector<Received> batch;
    int plain = 0;
    std::thread reader([&] {
        single = receiver->receive(buffer.data(), buffer.size());
        Slots slots(4);
        batch = slots.results(receiver->receiveBatch(slots.all()));
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        plain = receiver->receiveFrom(buffer.data(), buffer.size(), address, port);
        done = true;
    });
    for (int wait = 0; wait < 200 && !done; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool answeredInTime = done;
    for (int release = 0; release < 3 && !answeredInTime; ++release) sendToReceiver({1});
    reader.join();

    ASSERT_TRUE(answeredInTime) << "a receive on an empty socket waited";
    EXPECT_EQ(single.status, ReceiveStatus::nothingMore);
    EXPECT_EQ(batch, std::vector<Received>{kNothingMore});
    EXPECT_EQ(plain, -1);
}

// Three receivers and, in the middle of the batch, a destination the system refuses (port 0): the
// refused datagram is reported, every other one arrives, each receiver's in the order given.
TEST_F(DatagramSocketTest, BatchedSendSkipsARefusedDestinationAndDeliversTheRest) {
    std::array<std::unique_ptr<platform::DatagramSocket>, 3> receivers;
    for (auto& socket : receivers) {
        socket = platform::createUdpSocket();
        ASSERT_TRUE(socket->create());
        ASSERT_TRUE(socket->bind(kLoopback, 0));
    }
    // Receiver of each datagram, -1 for the refused destination; 150 of them take several sendmmsg.
    std::vector<int> targets;
    for (int index = 0; index < 150; ++index) targets.push_back(index == 2 || index == 97 ? -1 : index % 3);
    std::vector<std::array<std::uint8_t, 2>> payloads(targets.size());
    std::vector<platform::SendSlot> slots;
    for (std::size_t index = 0; index < targets.size(); ++index) {
        payloads[index] = {static_cast<std::uint8_t>(targets[index]), static_cast<std::uint8_t>(index)};
        const std::uint16_t port = targets[index] < 0 ? 0 : receivers[static_cast<std::size_t>(targets[index])]->localPort();
        slots.push_back({kLoopback, port, payloads[index].data(), payloads[index].size(), -7});
    }
    sender->sendBatch(slots);

    std::array<std::vector<Received>, 3> expected;
    for (std::size_t index = 0; index < targets.size(); ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(slots[index].sent, targets[index] < 0 ? -1 : 2);
        if (targets[index] >= 0) {
            expected[static_cast<std::size_t>(targets[index])].push_back(
                datagramFrom({payloads[index][0], payloads[index][1]}, sender->localPort()));
        }
    }
    for (std::size_t target = 0; target < receivers.size(); ++target) {
        SCOPED_TRACE(target);
        std::vector<std::size_t> batchSizes;
        EXPECT_EQ(withoutNothingMore(receiveBatches(*receivers[target], expected[target].size(), 64, batchSizes)),
                  expected[target]);
    }
}

// The continuation of a batched send over a scripted system call that takes at most a few
// datagrams per call and refuses some destinations.
TEST(BatchSendTest, PartialSendsContinueAndRefusedDatagramsAreSkipped) {
    struct Case {
        const char* name;
        std::size_t datagrams;
        std::size_t mostPerCall;         // what one call takes at most
        std::vector<std::size_t> refused;  // datagrams whose destination the system refuses
        bool emptyAnswer;                // a call that takes nothing answers 0 instead of failing
        std::vector<std::size_t> expectedCallStarts;
    };
    const Case cases[] = {
        {"one call takes all", 5, 64, {}, false, {0}},
        {"partial sends go on with the rest", 5, 2, {}, false, {0, 2, 4}},
        {"a refused destination in the middle", 6, 64, {2}, false, {0, 2, 3}},
        {"refused first and last", 4, 64, {0, 3}, false, {0, 1, 3}},
        {"partial and refused together", 7, 2, {1, 4}, false, {0, 1, 2, 4, 5}},
        {"a call that takes nothing", 3, 64, {1}, true, {0, 1, 2}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<platform::SendSlot> slots(testCase.datagrams);
        for (std::size_t index = 0; index < slots.size(); ++index) {
            slots[index].port = static_cast<std::uint16_t>(index);
            slots[index].length = 10 + index;
            slots[index].sent = -7;
        }
        const auto isRefused = [&](const platform::SendSlot& slot) {
            for (std::size_t refused : testCase.refused) {
                if (slot.port == refused) return true;
            }
            return false;
        };
        std::vector<std::size_t> callStarts;
        // Takes datagrams up to the first refused one; fails when that is the first.
        platform::sendInOrder(slots, [&](std::span<platform::SendSlot> rest) -> int {
            callStarts.push_back(rest.front().port);
            std::size_t taken = 0;
            while (taken < rest.size() && taken < testCase.mostPerCall && !isRefused(rest[taken])) {
                rest[taken].sent = static_cast<int>(rest[taken].length);
                ++taken;
            }
            if (taken == 0) return testCase.emptyAnswer ? 0 : -1;
            return static_cast<int>(taken);
        });
        EXPECT_EQ(callStarts, testCase.expectedCallStarts);
        for (const platform::SendSlot& slot : slots) {
            SCOPED_TRACE(slot.port);
            EXPECT_EQ(slot.sent, isRefused(slot) ? -1 : static_cast<int>(slot.length));
        }
    }
}

}  // namespace
}  // namespace varn
