#include "scripting/LuaPattern.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace varn {

namespace {

// A class letter against a character: lower case for the class, upper case for its complement;
// any other letter stands for itself.
bool matchClass(unsigned char c, unsigned char letter) {
    bool result = false;
    switch (std::tolower(letter)) {
    case 'a': result = std::isalpha(c) != 0; break;
    case 'c': result = std::iscntrl(c) != 0; break;
    case 'd': result = std::isdigit(c) != 0; break;
    case 'g': result = std::isgraph(c) != 0; break;
    case 'l': result = std::islower(c) != 0; break;
    case 'p': result = std::ispunct(c) != 0; break;
    case 's': result = std::isspace(c) != 0; break;
    case 'u': result = std::isupper(c) != 0; break;
    case 'w': result = std::isalnum(c) != 0; break;
    case 'x': result = std::isxdigit(c) != 0; break;
    // The old class of the NUL byte, still understood.
    case 'z': result = c == 0; break;
    default: return letter == c;
    }
    return std::isupper(letter) != 0 ? !result : result;
}

}  // namespace

bool isPlainPattern(std::string_view pattern) {
    for (const char c : pattern) {
        // strchr finds the terminator for a NUL: a NUL is an ordinary character here.
        if (c != '\0' && std::strchr("^$*+?.([%-", c) != nullptr) return false;
    }
    return true;
}

LuaPattern::Outcome LuaPattern::match(std::size_t start, std::size_t patternStart) {
    level_ = 0;
    depth_ = 0;
    try {
        const std::size_t end = doMatch(start, patternStart);
        if (end == kNone) return Outcome::NoMatch;
        end_ = end;
        return Outcome::Match;
    } catch (const Fault&) {
        level_ = 0;
        return overBudget_ ? Outcome::OverBudget : Outcome::Malformed;
    }
}

void LuaPattern::step(std::int64_t count) {
    steps_ -= count;
    if (steps_ < 0) {
        overBudget_ = true;
        throw Fault{};
    }
}

void LuaPattern::fail(const char* message, int index) {
    if (index >= 0) {
        std::snprintf(error_.data(), error_.size(), message, index);
    } else {
        std::snprintf(error_.data(), error_.size(), "%s", message);
    }
    throw Fault{};
}

// The index just past one single-character class (a letter, '.', %x or a set) starting at p.
std::size_t LuaPattern::classEnd(std::size_t p) {
    const char c = pattern_[p++];
    if (c == '%') {
        if (p >= pattern_.size()) fail("malformed pattern (ends with '%')");
        return p + 1;
    }
    if (c == '[') {
        if (at(p) == '^') ++p;
        // The first character of a set is taken as it is, so "[]]" holds ']'.
        do {
            if (p >= pattern_.size()) fail("malformed pattern (missing ']')");
            if (pattern_[p++] == '%' && p < pattern_.size()) ++p;
        } while (p >= pattern_.size() || pattern_[p] != ']');
        return p + 1;
    }
    return p;
}

// p is at the set's '[', ec at its closing ']'.
bool LuaPattern::matchSet(unsigned char c, std::size_t p, std::size_t ec) const {
    bool inside = true;
    if (pattern_[p + 1] == '^') {
        inside = false;
        ++p;
    }
    while (++p < ec) {
        const auto here = static_cast<unsigned char>(pattern_[p]);
        if (here == '%') {
            ++p;
            if (matchClass(c, static_cast<unsigned char>(pattern_[p]))) return inside;
        } else if (pattern_[p + 1] == '-' && p + 2 < ec) {
            p += 2;
            if (here <= c && c <= static_cast<unsigned char>(pattern_[p])) return inside;
        } else if (here == c) {
            return inside;
        }
    }
    return !inside;
}

// One step, and for a set one more for every few characters it holds.
bool LuaPattern::singleMatch(std::size_t s, std::size_t p, std::size_t ep) {
    step(1 + static_cast<std::int64_t>(ep - p) / 4);
    if (s >= subject_.size()) return false;
    const auto c = static_cast<unsigned char>(subject_[s]);
    switch (pattern_[p]) {
    case '.': return true;
    case '%': return matchClass(c, static_cast<unsigned char>(pattern_[p + 1]));
    case '[': return matchSet(c, p, ep - 1);
    default: return static_cast<unsigned char>(pattern_[p]) == c;
    }
}

std::size_t LuaPattern::maxExpand(std::size_t s, std::size_t p, std::size_t ep) {
    std::size_t count = 0;
    while (singleMatch(s + count, p, ep)) ++count;
    // Longest first, then one shorter at a time.
    for (;;) {
        const std::size_t result = doMatch(s + count, ep + 1);
        if (result != kNone) return result;
        if (count == 0) return kNone;
        --count;
    }
}

std::size_t LuaPattern::minExpand(std::size_t s, std::size_t p, std::size_t ep) {
    for (;;) {
        const std::size_t result = doMatch(s, ep + 1);
        if (result != kNone) return result;
        if (!singleMatch(s, p, ep)) return kNone;
        ++s;
    }
}

std::size_t LuaPattern::startCapture(std::size_t s, std::size_t p, std::ptrdiff_t what) {
    if (level_ >= kMaxCaptures) fail("too many captures");
    captures_[static_cast<std::size_t>(level_)] = Capture{s, what};
    ++level_;
    const std::size_t result = doMatch(s, p);
    if (result == kNone) --level_;
    return result;
}

std::size_t LuaPattern::endCapture(std::size_t s, std::size_t p) {
    int open = level_ - 1;
    while (open >= 0 && captures_[static_cast<std::size_t>(open)].length != kOpen) --open;
    if (open < 0) fail("invalid pattern capture");
    Capture& capture = captures_[static_cast<std::size_t>(open)];
    capture.length = static_cast<std::ptrdiff_t>(s - capture.start);
    const std::size_t result = doMatch(s, p);
    if (result == kNone) capture.length = kOpen;
    return result;
}

std::size_t LuaPattern::matchBalance(std::size_t s, std::size_t p) {
    if (p + 1 >= pattern_.size()) fail("malformed pattern (missing arguments to '%b')");
    if (s >= subject_.size() || subject_[s] != pattern_[p]) return kNone;
    const char open = pattern_[p];
    const char close = pattern_[p + 1];
    int depth = 1;
    while (++s < subject_.size()) {
        step();
        if (subject_[s] == close) {
            if (--depth == 0) return s + 1;
        } else if (subject_[s] == open) {
            ++depth;
        }
    }
    return kNone;
}

std::size_t LuaPattern::matchBackReference(std::size_t s, char index) {
    const int capture = index - '1';
    if (capture < 0 || capture >= level_ || captures_[static_cast<std::size_t>(capture)].length == kOpen) {
        fail("invalid capture index %%%d", capture + 1);
    }
    const Capture& earlier = captures_[static_cast<std::size_t>(capture)];
    // A position capture has no text: it never matches again.
    if (earlier.length < 0) return kNone;
    const auto length = static_cast<std::size_t>(earlier.length);
    step(static_cast<std::int64_t>(length));
    if (subject_.size() - s >= length && subject_.compare(s, length, subject_.substr(earlier.start, length)) == 0) {
        return s + length;
    }
    return kNone;
}

// The end of the match of the pattern from p on the subject from s, or kNone.
std::size_t LuaPattern::doMatch(std::size_t s, std::size_t p) {
    if (++depth_ > kMaxDepth) fail("pattern too complex");
    std::size_t result = kNone;
    for (;;) {
        step();
        if (p >= pattern_.size()) {
            result = s;
            break;
        }
        const char c = pattern_[p];
        if (c == '(') {
            result = at(p + 1) == ')' ? startCapture(s, p + 2, kPosition) : startCapture(s, p + 1, kOpen);
            break;
        }
        if (c == ')') {
            result = endCapture(s, p + 1);
            break;
        }
        if (c == '$' && p + 1 == pattern_.size()) {
            result = s == subject_.size() ? s : kNone;
            break;
        }
        if (c == '%' && at(p + 1) == 'b') {
            s = matchBalance(s, p + 2);
            if (s == kNone) break;
            p += 4;
            continue;
        }
        if (c == '%' && at(p + 1) == 'f') {
            p += 2;
            if (at(p) != '[') fail("missing '[' after '%f' in pattern");
            const std::size_t ep = classEnd(p);
            const auto previous = static_cast<unsigned char>(s == 0 ? '\0' : subject_[s - 1]);
            const auto current = static_cast<unsigned char>(s < subject_.size() ? subject_[s] : '\0');
            if (matchSet(previous, p, ep - 1) || !matchSet(current, p, ep - 1)) break;
            p = ep;
            continue;
        }
        if (c == '%' && at(p + 1) >= '0' && at(p + 1) <= '9') {
            s = matchBackReference(s, pattern_[p + 1]);
            if (s == kNone) break;
            p += 2;
            continue;
        }
        const std::size_t ep = classEnd(p);
        const char quantifier = at(ep);
        if (!singleMatch(s, p, ep)) {
            // An item that may match nothing lets the rest go on from here.
            if (ep < pattern_.size() && (quantifier == '*' || quantifier == '?' || quantifier == '-')) {
                p = ep + 1;
                continue;
            }
            break;
        }
        if (ep < pattern_.size() && quantifier == '?') {
            result = doMatch(s + 1, ep + 1);
            if (result != kNone) break;
            p = ep + 1;
            continue;
        }
        if (ep < pattern_.size() && quantifier == '+') {
            result = maxExpand(s + 1, p, ep);
            break;
        }
        if (ep < pattern_.size() && quantifier == '*') {
            result = maxExpand(s, p, ep);
            break;
        }
        if (ep < pattern_.size() && quantifier == '-') {
            result = minExpand(s, p, ep);
            break;
        }
        ++s;
        p = ep;
    }
    --depth_;
    return result;
}

}  // namespace varn
