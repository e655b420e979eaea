#include "SiteWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace varnstats {

namespace {

constexpr const char* kPlayersFolder = "players";

std::optional<std::string> realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

SiteWriter::~SiteWriter() {
    if (playersFd_ >= 0) ::close(playersFd_);
    if (directoryFd_ >= 0) ::close(directoryFd_);
}

std::optional<std::string> SiteWriter::open(const std::string& directory,
                                            const std::optional<std::string>& databaseFile) {
    directory_ = directory;
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        return reason(directory + ": cannot create");
    directoryFd_ = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd_ < 0) return reason(directory + ": cannot open as a directory");
    if (databaseFile) {
        const std::optional<std::string> site = realPath(directory);
        const std::optional<std::string> database = realPath(*databaseFile);
        if (!site || !database) return reason(directory + ": cannot resolve");
        if (directoryHolds(*site, *database)) {
            return directory + ": holds the database " + *databaseFile + "; choose a directory of its own";
        }
    }
    if (::mkdirat(directoryFd_, kPlayersFolder, 0755) != 0 && errno != EEXIST) {
        return reason(directory + "/" + kPlayersFolder + ": cannot create");
    }
    playersFd_ = ::openat(directoryFd_, kPlayersFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (playersFd_ < 0) return reason(directory + "/" + kPlayersFolder + ": not a directory of its own");
    return std::nullopt;
}

bool directoryHolds(std::string_view directory, std::string_view path) {
    if (directory.empty()) return false;
    const std::size_t length = directory.back() == '/' ? directory.size() - 1 : directory.size();
    return path.size() > length + 1 && path.substr(0, length) == directory.substr(0, length) &&
           path[length] == '/';
}

std::optional<std::string> SiteWriter::write(std::string_view name, std::string_view content,
                                             bool inPlayers) {
    const int folder = inPlayers ? playersFd_ : directoryFd_;
    const std::string finalName(name);
    const std::string temporary = "." + finalName + "." + std::to_string(::getpid()) + ".tmp";
    const std::string shown =
        directory_ + "/" + (inPlayers ? std::string(kPlayersFolder) + "/" : "") + finalName;
    ::unlinkat(folder, temporary.c_str(), 0);
    const int fd =
        ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return reason(shown + ": cannot create");
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t result = ::write(fd, content.data() + written, content.size() - written);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            const std::string message = reason(shown + ": cannot write");
            ::close(fd);
            ::unlinkat(folder, temporary.c_str(), 0);
            return message;
        }
        written += static_cast<std::size_t>(result);
    }
    if (::close(fd) != 0) {
        const std::string message = reason(shown + ": cannot write");
        ::unlinkat(folder, temporary.c_str(), 0);
        return message;
    }
    if (::renameat(folder, temporary.c_str(), folder, finalName.c_str()) != 0) {
        const std::string message = reason(shown + ": cannot replace");
        ::unlinkat(folder, temporary.c_str(), 0);
        return message;
    }
    return std::nullopt;
}

}  // namespace varnstats
