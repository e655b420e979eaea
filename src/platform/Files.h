#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace varn::platform {

// What tells one state of a file from another without reading it: its size, the time it was last
// written and which file it is (a file saved by renaming a new one over it is another file).
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::uint64_t device = 0;
    std::uint64_t fileId = 0;
    bool operator==(const FileStamp&) const = default;
};

// Reads a whole text file, a CR right before an LF dropped, at most maxBytes bytes after that
// translation. False when the file cannot be opened for reading, is no regular file (a folder, a
// FIFO, a device) or cannot be read to its end.
bool readTextFile(const std::string& path, std::string& content,
                  std::size_t maxBytes = static_cast<std::size_t>(-1));
// The same, with the stamp of the file that was read, taken before its first byte: a change made
// while it is read shows as a later stamp.
bool readTextFile(const std::string& path, std::string& content, FileStamp& stamp);

// The stamp of the regular file at path (a symbolic link followed), or nothing when there is none
// or it cannot be looked at.
std::optional<FileStamp> fileStampOf(const std::string& path);

// Why readTextFile cannot read path, as the operating system words it ("No such file or directory",
// "Permission denied"), or "not a regular file". Asked after a read has failed, so it looks again:
// "it can be read now" when the file has become readable since.
std::string whyFileCannotBeRead(const std::string& path);

// Nothing is at path (a symbolic link to nothing counts as nothing), as opposed to something that
// is there but cannot be read.
bool fileIsMissing(const std::string& path);

// A regular file open for reading. Opening never waits: a FIFO without a writer, a device or a
// folder is refused at once, as if the file were missing.
class RegularFileReader {
public:
    explicit RegularFileReader(const std::string& path);
    ~RegularFileReader();
    RegularFileReader(const RegularFileReader&) = delete;
    RegularFileReader& operator=(const RegularFileReader&) = delete;

    bool isOpen() const { return handle_ != kClosed; }
    // The stamp of the open file; nothing when it is not open or cannot be looked at.
    std::optional<FileStamp> stamp() const;
    // The number of bytes read into buffer: 0 at the end of the file, -1 when reading fails.
    std::int64_t read(char* buffer, std::size_t size);

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
};

// The operating system's part of a file save, one call for each step, so that tests can make any
// step fail. Every call answers the system's error, or no error.
class FileSystem {
public:
    using Handle = std::intptr_t;
    enum class Creation {
        // An empty file, whatever was at the path before (a file left by an interrupted save).
        FreshFile,
        // The file as it is, written over from its start; created when missing.
        KeepContent,
    };

    virtual ~FileSystem() = default;
    // The operating system's own calls.
    static FileSystem& system();

    // Opens path for writing. A file that is created takes the permissions of permissionsOf when
    // that file exists.
    virtual std::error_code open(const std::string& path, Creation creation, const std::string& permissionsOf,
                                 Handle& file) = 0;
    // Writes all of bytes at the current position.
    virtual std::error_code write(Handle file, std::string_view bytes) = 0;
    virtual std::error_code truncate(Handle file, std::uint64_t length) = 0;
    // Waits until what was written is on the disk.
    virtual std::error_code sync(Handle file) = 0;
    virtual std::error_code close(Handle file) = 0;
    // Moves from over to, replacing to as one step.
    virtual std::error_code rename(const std::string& from, const std::string& to) = 0;
    // Waits until the folder's list of names (a rename into it) is on the disk.
    virtual std::error_code syncFolder(const std::string& folder) = 0;
    virtual std::error_code remove(const std::string& path) = 0;
    // The file that a save of path writes: the target of a symbolic link, so the link stays a link.
    virtual std::string saveTarget(const std::string& path) = 0;
};

// How the saves of one file are made, chosen once by planSaves.
struct SavePlan {
    std::string file;       // the file written: the target of a symbolic link
    std::string folder;     // the folder holding it
    std::string temporary;  // the one temporary file a save writes first, beside the file
    // False when the folder does not take the temporary file: saves then write the file in place,
    // which a crash in the middle of a save can leave cut.
    bool crashSafe = false;
    std::error_code folderError;  // why the folder does not take it
};

// The temporary file's name: the file's own name, hidden, with ".saving" after it.
std::string temporaryFileFor(const std::string& file);

// Finds the file a save of path writes and tries whether its folder takes the temporary file (it is
// created and removed again).
SavePlan planSaves(FileSystem& files, const std::string& path);

// Writes content as the file's whole new content. Crash-safe plans write the temporary file, sync
// it, rename it over the file and sync the folder; when a step before the rename fails, the previous
// file stays as it was. Other plans write in place, every step checked. The first error, or none.
std::error_code saveFile(FileSystem& files, const SavePlan& plan, std::string_view content);

// The line end the platform's text files use (the log and the ban file).
#if defined(_WIN32)
inline constexpr std::string_view kTextLineEnd = "\r\n";
#else
inline constexpr std::string_view kTextLineEnd = "\n";
#endif

}  // namespace varn::platform
