#include <windows.h>


#include "platform/Files.h"

namespace varn::platform {

namespace {

std::string directoryOf(const std::string& path) {
    const auto separator = path.find_last_of("/\\");
    if (separator == std::string::npos) return ".";
    if (separator == 0) return path.substr(0, 1);
    return path.substr(0, separator);
}

bool writeAll(HANDLE file, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const std::size_t left = content.size() - done;
        const DWORD chunk = left > 0x4000'0000u ? 0x4000'0000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!::WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view content) {
    char temporary[MAX_PATH + 1] = {};
    if (::GetTempFileNameA(directoryOf(path).c_str(), "vsv", 0, temporary) == 0) return false;
    const HANDLE file =
        ::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ::DeleteFileA(temporary);
        return false;
    }
    bool ok = writeAll(file, content) && ::FlushFileBuffers(file);
    ok = ::CloseHandle(file) && ok;
    if (ok) {
        // ReplaceFile keeps the old file's security and attributes; a first save has nothing to keep.
        if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            if (::ReplaceFileA(path.c_str(), temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                               nullptr)) {
                return true;
            }
        } else if (::MoveFileExA(temporary, path.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
    }
    ::DeleteFileA(temporary);
    return false;
}

}  // namespace varn::platform
