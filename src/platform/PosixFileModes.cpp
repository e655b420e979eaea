#include <sys/stat.h>

#include "platform/FileModes.h"

namespace varn::platform {

std::optional<unsigned> modeReadableByOthers(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    if ((status.st_mode & (S_IRGRP | S_IROTH)) == 0) return std::nullopt;
    return static_cast<unsigned>(status.st_mode & 07777);
}

}  // namespace varn::platform
