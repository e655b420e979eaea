#pragma once

#include <string>
#include <vector>

namespace varn {

// Warnings for standard error about the program arguments, one line each, in their order: options
// the server does not know, and arguments it ignores (those before the first option, and values given
// to an option that takes none), each with what was probably meant. The arguments as the program
// received them; the first, the program's name, is skipped.
std::vector<std::string> commandLineWarnings(int argumentCount, const char* const* arguments);

}  // namespace varn
