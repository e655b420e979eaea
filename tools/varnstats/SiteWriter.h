#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnstats {

// The report's output directory. Files are written through directory handles, never through a path
// from the data, each to a temporary name and renamed over the old one, so a web server never serves
// half a page and a symbolic link in the directory is replaced, not followed.
class SiteWriter {
public:
    SiteWriter() = default;
    ~SiteWriter();
    SiteWriter(const SiteWriter&) = delete;
    SiteWriter& operator=(const SiteWriter&) = delete;

    // Creates the directory (its parent must exist) and its players/ folder. Refuses a directory that
    // holds databaseFile. The reason when it cannot.
    std::optional<std::string> open(const std::string& directory,
                                    const std::optional<std::string>& databaseFile);
    // name is a fixed file name of the site; inPlayers puts it into players/.
    std::optional<std::string> write(std::string_view name, std::string_view content, bool inPlayers = false);

private:
    int directoryFd_ = -1;
    int playersFd_ = -1;
    std::string directory_;
};

// Whether the resolved path lies inside the resolved directory (at any depth); "/" holds everything.
bool directoryHolds(std::string_view directory, std::string_view path);

}  // namespace varnstats
