#include "LogSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace varnstats {

namespace {

gzFile handle(void* file) { return static_cast<gzFile>(file); }

constexpr unsigned kBufferSize = 256 * 1024;

}  // namespace

LogSource::~LogSource() {
    if (file_ != nullptr) gzclose_r(handle(file_));
}

void LogSource::fail(const std::string& what) {
    int code = Z_OK;
    const char* message = file_ != nullptr ? gzerror(handle(file_), &code) : nullptr;
    error_ = path_ + ": " + what;
    if (code == Z_ERRNO || message == nullptr || *message == '\0') {
        error_ += std::string(": ") + std::strerror(errno);
    } else {
        error_ += std::string(": ") + message;
    }
}

// Opened without waiting, so that a FIFO without a writer (or a device) is refused at once; only a
// regular file is read, then with blocking reads as any file.
bool LogSource::open(const std::string& path) {
    path_ = path;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        error_ = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        notRegularFile_ = true;
        error_ = path + ": not a regular file";
        ::close(descriptor);
        return false;
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    errno = 0;
    file_ = gzdopen(descriptor, "rb");
    if (file_ == nullptr) {
        error_ = path + ": cannot open: " + std::strerror(errno != 0 ? errno : ENOMEM);
        ::close(descriptor);
        return false;
    }
    gzbuffer(handle(file_), kBufferSize);
    // gzdirect() tells whether zlib reads the file as it is; it decides on the first read.
    char first[2];
    const int got = gzread(handle(file_), first, sizeof first);
    if (got < 0) {
        fail("cannot read");
        return false;
    }
    compressed_ = gzdirect(handle(file_)) == 0;
    return seek(0);
}

bool LogSource::seek(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<z_off_t>::max())) return false;
    // Seeking past the end of a plain file succeeds; a compressed one stops at its end. Either way
    // the next read tells.
    const z_off_t reached = gzseek(handle(file_), static_cast<z_off_t>(offset), SEEK_SET);
    if (reached < 0) {
        fail("cannot seek");
        return false;
    }
    position_ = static_cast<std::uint64_t>(reached);
    return true;
}

long LogSource::read(char* buffer, std::size_t capacity) {
    unsigned chunk = capacity > kBufferSize ? kBufferSize : static_cast<unsigned>(capacity);
    const bool atLimit = compressed_ && chunk > 0 && position_ >= limit_;
    if (compressed_ && !atLimit && limit_ - position_ < chunk) {
        chunk = static_cast<unsigned>(limit_ - position_);
    }
    // At the limit one byte more tells whether the file ends there.
    char probe;
    const int got = atLimit ? gzread(handle(file_), &probe, 1) : gzread(handle(file_), buffer, chunk);
    if (got < 0) {
        fail("cannot read");
        return -1;
    }
    if (got == 0 && compressed_) {
        // A compressed file cut short ends without its trailer; what came before it was read.
        int code = Z_OK;
        gzerror(handle(file_), &code);
        if (code != Z_OK) {
            fail("ends early");
            return -1;
        }
    }
    if (atLimit && got > 0) {
        overLimit_ = true;
        error_ = refusedForSize(path_, limit_);
        return -1;
    }
    position_ += static_cast<std::uint64_t>(got);
    return got;
}

bool LogSource::readAt(std::uint64_t offset, std::size_t size, std::string& bytes) {
    bytes.clear();
    if (!seek(offset)) return false;
    if (position_ != offset) return true;
    bytes.resize(size);
    std::size_t filled = 0;
    while (filled < size) {
        const long got = read(bytes.data() + filled, size - filled);
        if (got < 0) return false;
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return true;
}

std::string refusedForSize(const std::string& path, std::uint64_t limit) {
    return path + ": refused: more than " + std::to_string(limit >> 20) +
           " MiB when uncompressed (--gzip-limit); not read";
}

std::string fingerprintOf(std::string_view bytes) {
    std::uint64_t fnv = 0xCBF29CE484222325ull;
    for (const char c : bytes) {
        fnv ^= static_cast<unsigned char>(c);
        fnv *= 0x100000001B3ull;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const auto chunk = static_cast<uInt>(rest.size() > (1u << 30) ? (1u << 30) : rest.size());
        crc = crc32(crc, reinterpret_cast<const Bytef*>(rest.data()), chunk);
        rest.remove_prefix(chunk);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%016llx%08lx", static_cast<unsigned long long>(fnv),
                  static_cast<unsigned long>(crc & 0xFFFFFFFFul));
    return text;
}

}  // namespace varnstats
