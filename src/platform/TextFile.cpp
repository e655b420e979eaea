#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Files.h"

namespace varn::platform {

// The same on every platform: the file is read in binary and only a CR before an LF is dropped, so a
// file written on either platform reads the same.
bool readTextFile(const std::string& path, std::string& content, std::size_t maxBytes) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.clear();
    char chunk[4096];
    bool pendingCarriageReturn = false;
    while (content.size() < maxBytes) {
        in.read(chunk, sizeof chunk);
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        for (std::streamsize i = 0; i < got && content.size() < maxBytes; ++i) {
            const char byte = chunk[i];
            if (pendingCarriageReturn) {
                pendingCarriageReturn = false;
                if (byte != '\n') {
                    content.push_back('\r');
                    if (content.size() >= maxBytes) break;
                }
            }
            if (byte == '\r') {
                pendingCarriageReturn = true;
                continue;
            }
            content.push_back(byte);
        }
    }
    if (pendingCarriageReturn && content.size() < maxBytes) content.push_back('\r');
    return true;
}

namespace {

bool rewriteInPlace(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    return true;  // the file could be opened: write errors are not the caller's business
}

}  // namespace

bool replaceFileContent(const std::string& path, std::string_view content) {
    if (path.empty()) return false;
    if (replaceFileAtomically(path, content)) return true;
    return rewriteInPlace(path, content);
}

}  // namespace varn::platform
