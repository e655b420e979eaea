#pragma once

#include <array>
#include <cstdint>
#include <utility>

namespace varn::testing {

// A second, plain reading of the master verification: the shuffled table and the keyed answer,
// written from the protocol's description rather than from the server's code.
class VerificationModel {
public:
    // Shuffles a fresh table, carrying the generator on from the previous build.
    void build() {
        for (int row = 0; row < 256; ++row) {
            for (int column = 0; column < 8; ++column) table_[row][column] = static_cast<std::uint8_t>(row);
        }
        for (int row = 0; row < 256; ++row) {
            for (int column = 0; column < 8; ++column) {
                state_ = state_ * 214013u + 2531011u;
                const int drawn = static_cast<int>((state_ >> 16) & 0x7FFF);
                std::swap(table_[row][column], table_[row + drawn % (256 - row)][column]);
            }
        }
    }

    std::uint32_t answer(const std::array<std::uint8_t, 8>& challenge) const {
        std::uint32_t a = 0x67452301u;
        std::uint32_t b = 0xEFCDAB89u;
        for (std::uint8_t x : challenge) {
            const auto& row = table_[(a & 0xFF) ^ x];
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            for (int i = 3; i >= 0; --i) {
                lo = lo << 8 | row[i];
                hi = hi << 8 | row[i + 4];
            }
            const std::uint32_t newA = (a >> 8) ^ lo ^ ((b << 24) + 0x98BADCFEu);
            b = (b >> 8) ^ hi ^ ((a << 24) + 0x10325476u);
            a = newA;
        }
        return a + b;
    }

private:
    std::uint8_t table_[256][8] = {};
    std::uint32_t state_ = 0x1F2E3D4Cu;
};

}  // namespace varn::testing
