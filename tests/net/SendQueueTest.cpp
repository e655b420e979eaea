#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "net/ReceiveBatch.h"
#include "net/SendQueue.h"
#include "net/UdpEndpoint.h"
#include "platform/DatagramSocket.h"
#include "support/FakeNetwork.h"
#include "support/LogCapture.h"

namespace varn {
namespace {

using platform::ReceiveStatus;
using testing::FakeNetwork;
using testing::LogCapture;

// Three recipients and, last, one whose sends the system refuses.
const std::array<PeerAddress, 4> kRecipients = {
    PeerAddress::fromHostOrder(0x7F000002, 5000), PeerAddress::fromHostOrder(0x7F000003, 5001),
    PeerAddress::fromHostOrder(0x7F000004, 5002), PeerAddress::fromHostOrder(0x7F000005, 5003)};
constexpr std::size_t kUnreachable = 3;

// One step of a sending sequence: a datagram, a new send-limit period, or an explicit flush.
struct Step {
    enum class Kind { datagram, newPeriod, flush };
    Kind kind = Kind::datagram;
    std::size_t recipient = 0;
    std::size_t length = 0;
};

Step datagram(std::size_t recipient, std::size_t length) { return {Step::Kind::datagram, recipient, length}; }
Step newPeriod() { return {Step::Kind::newPeriod, 0, 0}; }
Step flushNow() { return {Step::Kind::flush, 0, 0}; }

std::vector<Step> datagrams(std::size_t count, std::size_t recipients, std::size_t length) {
    std::vector<Step> steps;
    for (std::size_t index = 0; index < count; ++index) steps.push_back(datagram(index % recipients, length));
    return steps;
}

std::vector<Step> operator+(std::vector<Step> first, const std::vector<Step>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The recipient's index and the step's number, then filler up to the length.
std::vector<std::uint8_t> payloadOf(const Step& step, std::size_t number) {
    std::vector<std::uint8_t> bytes(step.length, 0xEE);
    if (bytes.size() >= 3) {
        bytes[0] = static_cast<std::uint8_t>(step.recipient);
        bytes[1] = static_cast<std::uint8_t>(number);
        bytes[2] = static_cast<std::uint8_t>(number >> 8);
    }
    return bytes;
}

// Everything that can be seen of a sending sequence.
struct Outcome {
    std::vector<std::int32_t> answers;  // what each send() or queue() returned, refused destinations aside
    std::vector<std::string> log;
    std::array<std::vector<std::vector<std::uint8_t>>, 4> received;  // per recipient, in order
    std::uint64_t bytesSent = 0;
    std::uint32_t periodSent = 0;
    std::uint32_t periodSentAndDropped = 0;
    bool isOpen = false;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// oneByOne sends each datagram at once, queued calls queue() and flush(), batchedSends calls send()
// on an endpoint whose sends are batched (as the main loop runs it) and flush().
enum class Path { oneByOne, queued, batchedSends };

Outcome runSteps(const char* configuration, const std::vector<Step>& steps, Path path, FakeNetwork& network) {
    ConfigFile config;
    config.loadText(configuration);
    network.unreachable = {kRecipients[kUnreachable]};
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, network.factory());
    EXPECT_TRUE(endpoint.open(4000, nullptr));
    const bool queues = path != Path::oneByOne;
    if (path == Path::batchedSends) endpoint.setBatchedSends(true);
    Outcome outcome;
    {
        LogCapture log;
        for (std::size_t number = 0; number < steps.size(); ++number) {
            const Step& step = steps[number];
            if (step.kind == Step::Kind::newPeriod) {
                endpoint.resetSendPeriod();
            } else if (step.kind == Step::Kind::flush) {
                if (queues) endpoint.flush();
            } else {
                const std::vector<std::uint8_t> bytes = payloadOf(step, number);
                const PeerAddress& to = kRecipients[step.recipient];
                const std::int32_t answer = path == Path::queued ? endpoint.queue(to, bytes.data(), bytes.size())
                                                                 : endpoint.send(to, bytes.data(), bytes.size());
                // A refused send answers -1 at once; queued, it answers its length and the flush
                // finds out. Only the totals can be compared for it.
                if (step.recipient != kUnreachable) outcome.answers.push_back(answer);
            }
        }
        if (queues) endpoint.flush();
        outcome.log = log.lines();
    }
    for (std::size_t recipient = 0; recipient < kRecipients.size(); ++recipient) {
        outcome.received[recipient] = network.sentTo(kRecipients[recipient]);
    }
    outcome.bytesSent = endpoint.bytesSent;
    outcome.periodSent = endpoint.periodSent;
    outcome.periodSentAndDropped = endpoint.periodSentAndDropped;
    outcome.isOpen = endpoint.isOpen;
    return outcome;
}

std::size_t datagramsReceived(const Outcome& outcome) {
    std::size_t count = 0;
    for (const auto& datagrams : outcome.received) count += datagrams.size();
    return count;
}

// The same sequence sent one by one and through the queue: the send limit drops the same datagrams
// with the same lines, shuts at the same point, and every recipient gets the same datagrams in the
// same order, the batch still queued when the limit shuts the endpoint included.
TEST(SendQueueTest, QueuedSendsMatchOneByOneSendsUnderTheSendLimit) {
    struct Case {
        const char* name;
        const char* configuration;
        std::vector<Step> steps;
        std::size_t expectedReceived;
        bool expectedOpenAfter;
        std::size_t expectedLogLines;
        std::vector<std::size_t> expectedBatches;  // of the queued path
    };
    const char* const kLimitSilent = "ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 0\n";
    const char* const kLimitLogged =
        "ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 0\nServerSendLimitLogDropped 1\n";
    const char* const kLimitShuts =
        "ServerSendLimitEnabled 1\nServerSendLimit 1000\nServerSendLimitMaxAllowed 1500\n"
        "ServerSendLimitLogDropped 1\n";
    std::vector<Step> mixed;
    for (std::size_t index = 0; index < 40; ++index) {
        mixed.push_back(datagram(index % 3, 20 + index * 37 % 300));
        if (index == 17) mixed.push_back(flushNow());
    }
    const Case cases[] = {
        {"no limit, three recipients, a flush between", "", mixed, 40, true, 0, {18, 22}},
        // 0, 150, ... 900 are below 1000: seven go, the rest are dropped silently.
        {"limit 1000, silent drops", kLimitSilent, datagrams(20, 3, 150), 7, true, 0, {7}},
        // After seven sent (1050), drops reach 1200, 1350, 1500 and then 1650 > 1500: the fourth
        // drop shuts the endpoint while the seven sent are still queued.
        {"limit 1000, logged drops, shut with a batch queued", kLimitShuts, datagrams(20, 3, 150), 7, false, 5, {7}},
        {"a new period resumes sending", kLimitLogged,
         datagrams(10, 3, 300) + std::vector<Step>{newPeriod()} + datagrams(10, 3, 300), 8, true, 12, {4, 4}},
        {"an unreachable recipient costs nobody else", "", datagrams(12, 4, 64), 9, true, 0, {12}},
        {"more than a queue's worth", "", datagrams(600, 3, 100), 600, true, 0, {256, 256, 88}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FakeNetwork oneByOneNetwork;
        FakeNetwork queuedNetwork;
        FakeNetwork batchedNetwork;
        const Outcome oneByOne = runSteps(testCase.configuration, testCase.steps, Path::oneByOne, oneByOneNetwork);
        const Outcome queued = runSteps(testCase.configuration, testCase.steps, Path::queued, queuedNetwork);
        const Outcome batched = runSteps(testCase.configuration, testCase.steps, Path::batchedSends, batchedNetwork);

        EXPECT_EQ(datagramsReceived(oneByOne), testCase.expectedReceived);
        EXPECT_EQ(oneByOne.isOpen, testCase.expectedOpenAfter);
        EXPECT_EQ(oneByOne.log.size(), testCase.expectedLogLines);
        EXPECT_TRUE(oneByOneNetwork.sendBatches.empty());
        EXPECT_EQ(queuedNetwork.sendBatches, testCase.expectedBatches);

        EXPECT_EQ(queued.answers, oneByOne.answers);
        EXPECT_EQ(queued.log, oneByOne.log);
        EXPECT_EQ(queued.received, oneByOne.received);
        EXPECT_EQ(queued.bytesSent, oneByOne.bytesSent);
        EXPECT_EQ(queued.periodSent, oneByOne.periodSent);
        EXPECT_EQ(queued.periodSentAndDropped, oneByOne.periodSentAndDropped);
        EXPECT_EQ(queued.isOpen, oneByOne.isOpen);

        // send() on an endpoint with batched sends is queue() by another name.
        EXPECT_EQ(batched, queued);
        EXPECT_EQ(batchedNetwork.sendBatches, testCase.expectedBatches);
    }
}

// The queue alone: it refuses what has no room rather than cutting or overwriting, and its flush
// says how many bytes went and how many did not.
TEST(SendQueueTest, PushRefusesWhenFullAndFlushTotalsWhatWent) {
    FakeNetwork network;
    network.unreachable = {kRecipients[kUnreachable]};
    const std::unique_ptr<platform::DatagramSocket> socket = network.factory()();
    ASSERT_TRUE(socket->create());
    SendQueue queue;
    const std::uint8_t bytes[10] = {7};
    for (std::size_t index = 0; index < SendQueue::kMaxDatagrams; ++index) {
        ASSERT_TRUE(queue.push(kRecipients[index % 4], bytes, sizeof bytes));
    }
    EXPECT_TRUE(queue.full());
    EXPECT_FALSE(queue.push(kRecipients[0], bytes, sizeof bytes));
    EXPECT_EQ(queue.size(), SendQueue::kMaxDatagrams);

    const SendQueue::FlushTotals totals = queue.flush(*socket);
    EXPECT_EQ(totals.bytesSent, 10u * 192u);
    EXPECT_EQ(totals.bytesNotSent, 10u * 64u);
    EXPECT_EQ(network.sent.size(), 192u);
    EXPECT_TRUE(queue.empty());

    std::vector<std::uint8_t> large(SendQueue::kStoreBytes - 5, 1);
    EXPECT_TRUE(queue.push(kRecipients[0], large.data(), large.size()));
    EXPECT_FALSE(queue.push(kRecipients[0], bytes, 6)) << "six bytes do not fit the five left";
    EXPECT_TRUE(queue.push(kRecipients[0], bytes, 5));
    EXPECT_EQ(queue.size(), 2u);
}

class SendQueueFakeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(endpoint.open(4000, nullptr)); }

    std::int32_t queue(std::size_t recipient, const std::vector<std::uint8_t>& bytes) {
        return endpoint.queue(kRecipients[recipient], bytes.data(), bytes.size());
    }

    ConfigFile config;
    FakeNetwork network;
    UdpEndpoint endpoint{readServerSettings(config).sendLimit, network.factory()};
};

// The byte store holds datagrams back to back: one that does not fit the rest of it sends the
// queue first, and the largest datagram UDP can carry still fits an empty queue whole.
TEST_F(SendQueueFakeTest, QueueSendsWhenItsStoreIsFullAndNeverCutsADatagram) {
    const std::vector<std::uint8_t> large(30000, 1);
    EXPECT_EQ(queue(0, large), 30000);
    EXPECT_EQ(queue(1, large), 30000);
    EXPECT_TRUE(network.sendBatches.empty());
    EXPECT_EQ(queue(2, large), 30000);
    EXPECT_EQ(network.sendBatches, std::vector<std::size_t>{2});
    EXPECT_EQ(endpoint.queuedDatagrams(), 1u);

    const std::vector<std::uint8_t> largest(SendQueue::kLargestDatagram, 2);
    EXPECT_EQ(queue(0, largest), static_cast<std::int32_t>(largest.size()));
    EXPECT_EQ(network.sendBatches, (std::vector<std::size_t>{2, 1}));
    endpoint.flush();
    EXPECT_EQ(network.sendBatches, (std::vector<std::size_t>{2, 1, 1}));
    EXPECT_EQ(network.sentTo(kRecipients[0]), (std::vector<std::vector<std::uint8_t>>{large, largest}));
    EXPECT_EQ(endpoint.bytesSent, 3u * 30000u + largest.size());
}

// Whatever is queued goes out before an immediate send, a new period and the closing of the
// endpoint, so no recipient sees its datagrams out of order and nothing queued is lost.
TEST_F(SendQueueFakeTest, QueuedDatagramsGoOutBeforeSendNewPeriodAndClose) {
    queue(0, {1});
    const std::vector<std::uint8_t> second = {2};
    EXPECT_EQ(endpoint.send(kRecipients[0], second.data(), second.size()), 1);
    queue(0, {3});
    endpoint.resetSendPeriod();
    queue(0, {4});
    queue(1, {5});
    endpoint.close();
    EXPECT_EQ(network.sentTo(kRecipients[0]), (std::vector<std::vector<std::uint8_t>>{{1}, {2}, {3}, {4}}));
    EXPECT_EQ(network.sentTo(kRecipients[1]), std::vector<std::vector<std::uint8_t>>{{5}});
    EXPECT_EQ(network.sendBatches, (std::vector<std::size_t>{1, 1, 2}));
    EXPECT_EQ(endpoint.bytesSent, 5u);
    EXPECT_EQ(queue(0, {6}), -1) << "a closed endpoint queues nothing";
    EXPECT_EQ(endpoint.queuedDatagrams(), 0u);
}

// With batched sends on, send() holds its datagrams until a flush; turning batching off sends what
// is held, and from then on every send() goes at once again.
TEST_F(SendQueueFakeTest, BatchedSendsWaitForAFlushAndTurningThemOffSendsTheRest) {
    endpoint.setBatchedSends(true);
    const std::vector<std::uint8_t> first = {1, 1};
    const std::vector<std::uint8_t> second = {2, 2, 2};
    EXPECT_EQ(endpoint.send(kRecipients[0], first.data(), first.size()), 2);
    EXPECT_EQ(endpoint.send(kRecipients[1], second.data(), second.size()), 3);
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(endpoint.queuedDatagrams(), 2u);
    EXPECT_EQ(endpoint.bytesSent, 5u) << "counted when queued";

    endpoint.setBatchedSends(false);
    EXPECT_EQ(network.sendBatches, std::vector<std::size_t>{2});
    EXPECT_EQ(network.sentTo(kRecipients[1]), std::vector<std::vector<std::uint8_t>>{second});
    EXPECT_EQ(endpoint.send(kRecipients[0], second.data(), second.size()), 3);
    EXPECT_EQ(network.sendBatches, std::vector<std::size_t>{2}) << "a plain send again";
    EXPECT_EQ(network.sentTo(kRecipients[0]), (std::vector<std::vector<std::uint8_t>>{first, second}));
}

TEST_F(SendQueueFakeTest, ReceiveBatchGivesTheThreeOutcomesInOrderWithinItsMaximum) {
    const std::vector<std::uint8_t> oversized(ReceiveBatch::kDatagramBytes + 1, 9);
    network.inbound.push_back({0, kRecipients[0], {1, 2}});
    network.inbound.push_back({0, kRecipients[1], oversized});
    network.inbound.push_back({0, kRecipients[2], std::vector<std::uint8_t>(ReceiveBatch::kDatagramBytes, 3)});
    network.inbound.push_back({0, kRecipients[0], {4}});
    ReceiveBatch batch;

    ASSERT_EQ(endpoint.receiveBatch(batch, 2), 2u) << "the per-call maximum holds";
    EXPECT_EQ(batch[0].status, ReceiveStatus::datagram);
    EXPECT_EQ(batch[0].from, kRecipients[0]);
    EXPECT_EQ(std::vector<std::uint8_t>(batch[0].data, batch[0].data + batch[0].length),
              (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(batch[1].status, ReceiveStatus::failed);
    EXPECT_FALSE(batch.socketEmpty());

    ASSERT_EQ(endpoint.receiveBatch(batch, 100), 3u);
    EXPECT_EQ(batch[0].status, ReceiveStatus::datagram);
    EXPECT_EQ(batch[0].length, ReceiveBatch::kDatagramBytes);
    EXPECT_EQ(batch[0].from, kRecipients[2]);
    EXPECT_EQ(batch[1].status, ReceiveStatus::datagram);
    EXPECT_EQ(batch[1].data[0], 4);
    EXPECT_EQ(batch[2].status, ReceiveStatus::nothingMore);
    EXPECT_TRUE(batch.socketEmpty());
    EXPECT_EQ(endpoint.bytesReceived, 2u + ReceiveBatch::kDatagramBytes + 1u) << "a refused datagram counts nothing";

    endpoint.close();
    ASSERT_EQ(endpoint.receiveBatch(batch, 8), 1u);
    EXPECT_EQ(batch[0].status, ReceiveStatus::nothingMore);
}

// Real sockets: an endpoint bound on loopback queues to three receivers and a refused destination
// (port 0), flushes, and receives a batch with an oversized datagram in the middle.
TEST(SendQueueLoopbackTest, QueuedDatagramsReachTheirReceiversAndBatchesComeBackInOrder) {
    ConfigFile config;
    UdpEndpoint endpoint(readServerSettings(config).sendLimit, platform::createUdpSocket);
    std::int32_t port = 0;
    for (std::int32_t candidate = 47100; candidate < 47200 && port == 0; ++candidate) {
        LogCapture quiet;
        if (endpoint.open(candidate, "127.0.0.1")) port = candidate;
    }
    ASSERT_NE(port, 0);
    const std::uint32_t loopback = PeerAddress::fromHostOrder(0x7F000001, 0).address;
    std::array<std::unique_ptr<platform::DatagramSocket>, 3> receivers;
    for (auto& receiver : receivers) {
        receiver = platform::createUdpSocket();
        ASSERT_TRUE(receiver->create());
        ASSERT_TRUE(receiver->bind(loopback, 0));
    }

    constexpr std::uint8_t kDatagrams = 30;
    for (std::uint8_t number = 0; number < kDatagrams; ++number) {
        const std::uint8_t bytes[] = {number, 0x42};
        const bool refused = number == 13;
        const PeerAddress to{loopback, refused ? std::uint16_t{0} : receivers[number % 3]->localPort()};
        EXPECT_EQ(endpoint.queue(to, bytes, sizeof bytes), 2);
    }
    endpoint.flush();
    EXPECT_EQ(endpoint.bytesSent, 2u * (kDatagrams - 1));

    for (std::size_t target = 0; target < receivers.size(); ++target) {
        SCOPED_TRACE(target);
        std::vector<std::uint8_t> expected;
        for (std::uint8_t number = static_cast<std::uint8_t>(target); number < kDatagrams; number += 3) {
            if (number != 13) expected.push_back(number);
        }
        std::vector<std::uint8_t> numbers;
        std::uint8_t buffer[16];
        for (int attempt = 0; attempt < 40 && numbers.size() < expected.size(); ++attempt) {
            if (!receivers[target]->waitReadable(100'000)) continue;
            const platform::ReceiveResult result = receivers[target]->receive(buffer, sizeof buffer);
            if (result.status == ReceiveStatus::datagram) numbers.push_back(buffer[0]);
        }
        EXPECT_EQ(numbers, expected);
    }

    const PeerAddress to = PeerAddress::fromHostOrder(0x7F000001, static_cast<std::uint16_t>(port));
    const std::vector<std::uint8_t> first = {1, 1}, oversized(1500, 2), last = {3, 3, 3};
    for (const auto* bytes : {&first, &oversized, &last}) {
        ASSERT_EQ(receivers[0]->sendTo(to.address, to.port, bytes->data(), bytes->size()),
                  static_cast<int>(bytes->size()));
    }
    ReceiveBatch batch;
    std::vector<ReceiveStatus> statuses;
    std::vector<std::size_t> lengths;
    for (int attempt = 0; attempt < 20 && statuses.size() < 3; ++attempt) {
        endpoint.isReadable(100'000);
        endpoint.receiveBatch(batch, ReceiveBatch::kCapacity);
        for (std::size_t index = 0; index < batch.size(); ++index) {
            if (batch[index].status == ReceiveStatus::nothingMore) continue;
            statuses.push_back(batch[index].status);
            lengths.push_back(batch[index].length);
            if (batch[index].status == ReceiveStatus::datagram) {
                EXPECT_EQ(batch[index].from.port, receivers[0]->localPort());
            }
        }
    }
    EXPECT_EQ(statuses, (std::vector<ReceiveStatus>{ReceiveStatus::datagram, ReceiveStatus::failed,
                                                    ReceiveStatus::datagram}));
    EXPECT_EQ(lengths, (std::vector<std::size_t>{2, 0, 3}));
    EXPECT_EQ(endpoint.bytesReceived, 5u);
}

}  // namespace
}  // namespace varn
