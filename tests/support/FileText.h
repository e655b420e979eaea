#pragma once

#include <string>
#include <string_view>

#include "platform/Files.h"

namespace varn::testing {

// The text as the platform's text files (the log, the ban file) hold it: every "\n" becomes the
// platform's line end.
inline std::string asFileText(std::string_view text) {
    std::string result;
    for (const char byte : text) {
        if (byte == '\n') {
            result += platform::kTextLineEnd;
        } else {
            result += byte;
        }
    }
    return result;
}

}  // namespace varn::testing
