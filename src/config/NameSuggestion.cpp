#include "config/NameSuggestion.h"

#include <algorithm>

namespace varn {

namespace {

constexpr std::size_t kMostEdits = 2;

char lowerCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

// One row per letter of first, one column per letter of second; three rows are kept, since a swap
// looks two rows back.
std::size_t nameDistance(std::string_view first, std::string_view second) {
    const std::size_t columns = second.size() + 1;
    std::vector<std::size_t> twoBack(columns), previous(columns), current(columns);
    for (std::size_t j = 0; j < columns; ++j)
        previous[j] = j;
    for (std::size_t i = 1; i <= first.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j < columns; ++j) {
            const bool same = lowerCase(first[i - 1]) == lowerCase(second[j - 1]);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && lowerCase(first[i - 1]) == lowerCase(second[j - 2]) &&
                lowerCase(first[i - 2]) == lowerCase(second[j - 1])) {
                current[j] = std::min(current[j], twoBack[j - 2] + 1);
            }
        }
        std::swap(twoBack, previous);
        std::swap(previous, current);
    }
    return previous[second.size()];
}

std::vector<std::string_view> closestNames(std::string_view typed, std::span<const std::string_view> known) {
    // A short name takes fewer edits: one letter changed in two is a different name, not a typo.
    const std::size_t mostEdits = std::min(kMostEdits, typed.size() / 2);
    std::vector<std::string_view> closest;
    std::size_t best = mostEdits;
    for (const std::string_view name : known) {
        // Names whose lengths differ by more are further apart; a very long typed name costs nothing.
        const std::size_t lengthGap =
            typed.size() > name.size() ? typed.size() - name.size() : name.size() - typed.size();
        if (lengthGap > best)
            continue;
        const std::size_t distance = nameDistance(typed, name);
        if (distance > best)
            continue;
        if (distance < best) {
            closest.clear();
            best = distance;
        }
        closest.push_back(name);
    }
    return closest;
}

std::string quotedAlternatives(std::span<const std::string_view> names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += i + 1 == names.size() ? " or " : ", ";
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

}  // namespace varn
