#pragma once

// The secret a server and its master share: a table shuffled by a fixed generator from a fixed seed,
// and the keyed 32-bit answer to a master's 8-byte challenge. The server answers with it and
// varnmaster checks with it; this is its one definition.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/BrowserProtocol.h"

namespace varn::browser {

// The answer datagram: 'V' and the 32-bit answer, little-endian.
inline constexpr std::size_t kChallengeAnswerLength = 5;

class VerificationKey {
public:
    // Shuffles the table afresh; the generator goes on from where the last shuffle left it, so a
    // key shuffled once matches a server that built its table once.
    void shuffle();
    std::uint32_t answer(std::span<const std::uint8_t, kChallengeLength> challenge) const;
    // True only for exactly the answer datagram this key gives to the challenge.
    bool isAnswer(std::span<const std::uint8_t, kChallengeLength> challenge,
                  std::span<const std::uint8_t> datagram) const;

private:
    using Row = std::array<std::uint8_t, 8>;
    static constexpr std::uint32_t kGeneratorSeed = 0x1F2E3D4Cu;

    std::uint32_t draw();

    std::array<Row, 256> table_{};
    std::uint32_t generatorState_ = kGeneratorSeed;
};

}  // namespace varn::browser
