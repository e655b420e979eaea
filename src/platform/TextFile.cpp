#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace varn::platform {

// The same on every platform: the file is read in binary and only a CR before an LF is dropped, so a
// file written on either platform reads the same.
namespace {

bool readAll(RegularFileReader& in, std::string& content, std::size_t maxBytes) {
    content.clear();
    char chunk[4096];
    bool pendingCarriageReturn = false;
    while (content.size() < maxBytes) {
        const std::int64_t got = in.read(chunk, sizeof chunk);
        // A file that cannot be read to its end is not taken in part: a cut ban list saved back
        // would lose its tail for good.
        if (got < 0) return false;
        if (got == 0) break;
        for (std::int64_t i = 0; i < got && content.size() < maxBytes; ++i) {
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

}  // namespace

bool readTextFile(const std::string& path, std::string& content, std::size_t maxBytes) {
    RegularFileReader in(path);
    if (!in.isOpen()) return false;
    return readAll(in, content, maxBytes);
}

bool readTextFile(const std::string& path, std::string& content, FileStamp& stamp) {
    RegularFileReader in(path);
    if (!in.isOpen()) return false;
    const std::optional<FileStamp> taken = in.stamp();
    if (!taken) return false;
    stamp = *taken;
    return readAll(in, content, static_cast<std::size_t>(-1));
}

std::string whyFileCannotBeRead(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found)
        return std::make_error_code(std::errc::no_such_file_or_directory).message();
    if (error) return error.message();
    if (!std::filesystem::is_regular_file(status)) return "not a regular file";
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        if (errno == 0) return "reason unknown";
        return std::generic_category().message(errno);
    }
    std::string content;
    if (!readTextFile(path, content)) return "it cannot be read to its end";
    return "it can be read now";
}

bool fileIsMissing(const std::string& path) {
    std::error_code error;
    return std::filesystem::status(path, error).type() == std::filesystem::file_type::not_found;
}

}  // namespace varn::platform
