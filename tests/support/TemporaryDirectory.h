#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace varn::testing {

// Makes a new, empty directory under the system's temporary directory, named prefix plus a random
// suffix; an empty path when none could be made. Works wherever std::filesystem does (mkdtemp is
// POSIX only).
inline std::filesystem::path makeTemporaryDirectory(const std::string& prefix) {
    static std::mt19937_64 random{std::random_device{}()};
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / (prefix + std::to_string(random()));
        // false when the name is taken: try another.
        if (std::filesystem::create_directory(candidate, error)) return candidate;
    }
    return {};
}

}  // namespace varn::testing
