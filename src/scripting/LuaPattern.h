#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varn {

// Script pattern matching (find, match, gmatch, gsub) done by the server rather than by the library:
// the library's matcher runs in C outside the instruction count and backtracks without a bound, so
// a short pattern on a player's text could hold the loop for minutes. This one has the same
// patterns and counts its steps: past its budget it gives up with OverBudget.
//
// Patterns: '.', %a %c %d %g %l %p %s %u %w %x (upper case for the complement), %<other> for that
// character, sets [...] with ranges, classes and a leading '^', the quantifiers * + - ?, '$' at the
// end, captures with () for a position, back-references %1..%9, %bxy and %f[set]. A leading '^' is
// the caller's business (find, match and gsub anchor with it; gmatch does not).
class LuaPattern {
public:
    static constexpr int kMaxCaptures = 32;
    // A capture's length while it is open, and the length that marks a position capture.
    static constexpr std::ptrdiff_t kOpen = -1;
    static constexpr std::ptrdiff_t kPosition = -2;

    enum class Outcome : std::uint8_t { NoMatch, Match, Malformed, OverBudget };

    struct Capture {
        std::size_t start = 0;
        std::ptrdiff_t length = kOpen;
    };

    // steps is the budget left; every call to match takes from it.
    LuaPattern(std::string_view subject, std::string_view pattern, std::int64_t& steps)
        : subject_(subject), pattern_(pattern), steps_(steps) {}

    // Tries the pattern from patternStart on the subject at start; on a match, end() is where it
    // ended and the captures are set. Malformed leaves its message in error().
    Outcome match(std::size_t start, std::size_t patternStart = 0);

    std::size_t end() const { return end_; }
    int captureCount() const { return level_; }
    const Capture& capture(int index) const { return captures_[static_cast<std::size_t>(index)]; }
    const char* error() const { return error_.data(); }

private:
    struct Fault {};

    std::size_t doMatch(std::size_t s, std::size_t p);
    std::size_t classEnd(std::size_t p);
    bool singleMatch(std::size_t s, std::size_t p, std::size_t ep);
    bool matchSet(unsigned char c, std::size_t p, std::size_t ec) const;
    std::size_t maxExpand(std::size_t s, std::size_t p, std::size_t ep);
    std::size_t minExpand(std::size_t s, std::size_t p, std::size_t ep);
    std::size_t startCapture(std::size_t s, std::size_t p, std::ptrdiff_t what);
    std::size_t endCapture(std::size_t s, std::size_t p);
    std::size_t matchBalance(std::size_t s, std::size_t p);
    std::size_t matchBackReference(std::size_t s, char index);
    void step(std::int64_t count = 1);
    [[noreturn]] void fail(const char* message, int index = -1);
    char at(std::size_t p) const { return p < pattern_.size() ? pattern_[p] : '\0'; }

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr int kMaxDepth = 200;

    std::string_view subject_;
    std::string_view pattern_;
    std::int64_t& steps_;
    std::size_t end_ = 0;
    int level_ = 0;
    int depth_ = 0;
    bool overBudget_ = false;
    std::array<Capture, kMaxCaptures> captures_{};
    std::array<char, 80> error_{};
};

// True when a pattern has none of the characters that make it more than a plain text (up to its
// first NUL, as find decides).
bool isPlainPattern(std::string_view pattern);

}  // namespace varn
