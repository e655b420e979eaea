#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varn::platform {

// Reads a whole text file, a CR right before an LF dropped, at most maxBytes bytes after that
// translation. False when the file cannot be opened for reading; a directory counts as such.
bool readTextFile(const std::string& path, std::string& content,
                  std::size_t maxBytes = static_cast<std::size_t>(-1));

// Replaces the file's content so that a crash or a full disk never leaves it half written:
// a temporary file beside the real one (beside the target of a symbolic link), the old file's
// permissions, then a rename over it. When that cannot be done the file is rewritten in place.
// False when neither works.
bool replaceFileContent(const std::string& path, std::string_view content);

// The platform's half of replaceFileContent: the temporary file and the rename (or replace) over the
// real one. False when that cannot be done; the caller then rewrites in place.
bool replaceFileAtomically(const std::string& path, std::string_view content);

// The line end the platform's text files use (the log and the ban file).
#if defined(_WIN32)
inline constexpr std::string_view kTextLineEnd = "\r\n";
#else
inline constexpr std::string_view kTextLineEnd = "\n";
#endif

}  // namespace varn::platform
