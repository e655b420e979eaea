#pragma once

#include <string>
#include <string_view>

namespace varnstats {

// The text as UTF-8: valid UTF-8 stays as it is, any other byte is read as Latin-1 (the server
// writes its configuration's bytes untranslated), and control characters become U+FFFD.
std::string readableText(std::string_view bytes);

// Text for a message on the terminal: printable ASCII kept, anything else as \xNN, cut to at most
// limit bytes of the original.
std::string printableExcerpt(std::string_view bytes, std::size_t limit);

}  // namespace varnstats
