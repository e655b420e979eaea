#include "protocol/MasterVerification.h"

#include <utility>

namespace varn::browser {

namespace {

constexpr std::uint32_t kGeneratorMultiplier = 214013u;
constexpr std::uint32_t kGeneratorIncrement = 2531011u;
constexpr std::uint32_t kAnswerStartA = 0x67452301u;
constexpr std::uint32_t kAnswerStartB = 0xEFCDAB89u;
constexpr std::uint32_t kAnswerKey1 = 0x98BADCFEu;
constexpr std::uint32_t kAnswerKey2 = 0x10325476u;

std::uint32_t littleEndianAt(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::uint32_t VerificationKey::draw() {
    generatorState_ = generatorState_ * kGeneratorMultiplier + kGeneratorIncrement;
    return (generatorState_ >> 16) & 0x7FFFu;
}

void VerificationKey::shuffle() {
    for (std::size_t row = 0; row < table_.size(); ++row) table_[row].fill(static_cast<std::uint8_t>(row));
    const std::size_t rows = table_.size();
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t column = 0; column < table_[row].size(); ++column) {
            const std::size_t other = row + draw() % (rows - row);
            std::swap(table_[row][column], table_[other][column]);
        }
    }
}

std::uint32_t VerificationKey::answer(std::span<const std::uint8_t, kChallengeLength> challenge) const {
    std::uint32_t a = kAnswerStartA;
    std::uint32_t b = kAnswerStartB;
    for (const std::uint8_t x : challenge) {
        const Row& row = table_[(a & 0xFFu) ^ x];
        const std::uint32_t low = littleEndianAt(row.data());
        const std::uint32_t high = littleEndianAt(row.data() + 4);
        const std::uint32_t nextA = (a >> 8) ^ low ^ ((b << 24) + kAnswerKey1);
        const std::uint32_t nextB = (b >> 8) ^ high ^ ((a << 24) + kAnswerKey2);
        a = nextA;
        b = nextB;
    }
    return a + b;
}

bool VerificationKey::isAnswer(std::span<const std::uint8_t, kChallengeLength> challenge,
                               std::span<const std::uint8_t> datagram) const {
    if (datagram.size() != kChallengeAnswerLength || datagram[0] != kChallengeReply) return false;
    return littleEndianAt(datagram.data() + 1) == answer(challenge);
}

}  // namespace varn::browser
