#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

// The number of single-letter insertions, deletions, replacements and swaps of two neighbours that
// turn one name into the other; letter case does not count (AdminPORT is AdminPort).
std::size_t nameDistance(std::string_view first, std::string_view second);

// The known names closest to a name that is not one of them, when they are at most two edits away
// (one for a name of two or three letters, none for a single letter); several when they are equally
// close, in the order known lists them; none when nothing is that close.
std::vector<std::string_view> closestNames(std::string_view typed, std::span<const std::string_view> known);

// "'a'", "'a' or 'b'", "'a', 'b' or 'c'": the names as a warning offers them.
std::string quotedAlternatives(std::span<const std::string_view> names);

}  // namespace varn
