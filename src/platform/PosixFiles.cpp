#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Files.h"

namespace varn::platform {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

int descriptorOf(FileSystem::Handle file) { return static_cast<int>(file); }

FileStamp stampOf(const struct stat& info) {
    FileStamp stamp;
    stamp.size = static_cast<std::uint64_t>(info.st_size);
    stamp.modifiedNanoseconds =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(info.st_mtim.tv_nsec);
    stamp.device = static_cast<std::uint64_t>(info.st_dev);
    stamp.fileId = static_cast<std::uint64_t>(info.st_ino);
    return stamp;
}

// The mode a new file takes: that of the file it stands in for, else what the umask leaves of 0666.
mode_t modeFor(const std::string& permissionsOf) {
    struct stat info {};
    if (::stat(permissionsOf.c_str(), &info) == 0) return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

class PosixFileSystem final : public FileSystem {
public:
    std::error_code open(const std::string& path, Creation creation, const std::string& permissionsOf,
                         Handle& file) override {
        const mode_t mode = modeFor(permissionsOf);
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
        if (creation == Creation::FreshFile) {
            // A file left behind by an interrupted save is replaced, whoever may write to it.
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) return lastError();
            flags |= O_EXCL;
        }
        const int fd = ::open(path.c_str(), flags, mode);
        if (fd < 0) return lastError();
        // The umask may have taken bits the old file had.
        if (creation == Creation::FreshFile && ::fchmod(fd, mode) != 0) {
            const std::error_code error = lastError();
            ::close(fd);
            return error;
        }
        file = fd;
        return {};
    }

    std::error_code write(Handle file, std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = ::write(descriptorOf(file), bytes.data() + done, bytes.size() - done);
            if (written < 0) {
                if (errno == EINTR) continue;
                return lastError();
            }
            done += static_cast<std::size_t>(written);
        }
        return {};
    }

    std::error_code truncate(Handle file, std::uint64_t length) override {
        if (::ftruncate(descriptorOf(file), static_cast<off_t>(length)) != 0) return lastError();
        return {};
    }

    std::error_code sync(Handle file) override {
        if (::fsync(descriptorOf(file)) != 0) return lastError();
        return {};
    }

    std::error_code close(Handle file) override {
        // The descriptor is gone even when close reports an error; it is never closed twice.
        if (::close(descriptorOf(file)) != 0 && errno != EINTR) return lastError();
        return {};
    }

    std::error_code rename(const std::string& from, const std::string& to) override {
        if (::rename(from.c_str(), to.c_str()) != 0) return lastError();
        return {};
    }

    std::error_code syncFolder(const std::string& folder) override {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return lastError();
        std::error_code error;
        // Some file systems cannot sync a folder at all; there the rename is as safe as they allow.
        if (::fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) error = lastError();
        ::close(fd);
        return error;
    }

    std::error_code remove(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) return lastError();
        return {};
    }

    std::string saveTarget(const std::string& path) override {
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            char resolved[PATH_MAX];
            if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
        }
        return path;
    }
};

}  // namespace

FileSystem& FileSystem::system() {
    static PosixFileSystem files;
    return files;
}

// O_NONBLOCK keeps the open of a FIFO without a writer from waiting; only a regular file is kept,
// and it reads the same with or without the flag.
RegularFileReader::RegularFileReader(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return;
    }
    handle_ = fd;
}

RegularFileReader::~RegularFileReader() {
    if (isOpen()) ::close(static_cast<int>(handle_));
}

std::optional<FileStamp> RegularFileReader::stamp() const {
    struct stat info {};
    if (!isOpen() || ::fstat(static_cast<int>(handle_), &info) != 0) return std::nullopt;
    return stampOf(info);
}

std::optional<FileStamp> fileStampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return stampOf(info);
}

std::int64_t RegularFileReader::read(char* buffer, std::size_t size) {
    if (!isOpen()) return -1;
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(handle_), buffer, size);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

}  // namespace varn::platform
