#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnstats {

// A log file read as its uncompressed bytes: plain, or compressed with gzip (as log rotation leaves
// it). Offsets count uncompressed bytes.
class LogSource {
public:
    LogSource() = default;
    ~LogSource();
    LogSource(const LogSource&) = delete;
    LogSource& operator=(const LogSource&) = delete;

    // False with the reason in error() when the file cannot be opened or is no regular file (a FIFO,
    // a device, a folder), which is refused without waiting for a writer.
    bool open(const std::string& path);
    bool notRegularFile() const { return notRegularFile_; }
    bool isCompressed() const { return compressed_; }
    // Of a compressed file, at most this many uncompressed bytes are read; a read past them fails
    // and overLimit() tells why.
    void limitUncompressed(std::uint64_t bytes) { limit_ = bytes; }
    bool overLimit() const { return overLimit_; }
    // Up to size bytes from offset (fewer at the end of the data); false on a read error.
    bool readAt(std::uint64_t offset, std::size_t size, std::string& bytes);
    // Moves to offset (fewer when the data is shorter: then position() tells where it stopped).
    bool seek(std::uint64_t offset);
    // The next bytes from the current position, at most capacity; 0 at the end; -1 on an error.
    long read(char* buffer, std::size_t capacity);
    std::uint64_t position() const { return position_; }
    const std::string& error() const { return error_; }

private:
    void fail(const std::string& what);

    void* file_ = nullptr;  // gzFile; reads plain files as they are
    bool compressed_ = false;
    bool overLimit_ = false;
    bool notRegularFile_ = false;
    std::uint64_t limit_ = UINT64_MAX;
    std::uint64_t position_ = 0;
    std::string path_;
    std::string error_;
};

// Why a compressed file is not read: it holds more than limit bytes when uncompressed.
std::string refusedForSize(const std::string& path, std::uint64_t limit);

// A hash of bytes, as text: FNV-1a (64 bits) and CRC-32 side by side.
std::string fingerprintOf(std::string_view bytes);

}  // namespace varnstats
