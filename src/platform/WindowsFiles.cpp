#include <windows.h>

#include <cstdint>
#include <optional>

#include "platform/Files.h"

namespace varn::platform {

namespace {

std::error_code lastError() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

HANDLE handleOf(FileSystem::Handle file) { return reinterpret_cast<HANDLE>(file); }

bool exists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::uint64_t joined(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

// The stamp of an open file on a disk; nothing for a folder or when it cannot be looked at.
std::optional<FileStamp> stampOfHandle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    FileStamp stamp;
    stamp.size = joined(information.nFileSizeHigh, information.nFileSizeLow);
    // FILETIME counts 100-nanosecond steps.
    stamp.modifiedNanoseconds = static_cast<std::int64_t>(
        joined(information.ftLastWriteTime.dwHighDateTime, information.ftLastWriteTime.dwLowDateTime) * 100);
    stamp.device = information.dwVolumeSerialNumber;
    stamp.fileId = joined(information.nFileIndexHigh, information.nFileIndexLow);
    return stamp;
}

class WindowsFileSystem final : public FileSystem {
public:
    // A replaced file keeps its security and attributes through ReplaceFile; permissionsOf plays no
    // part here.
    std::error_code open(const std::string& path, Creation creation, const std::string&,
                         Handle& file) override {
        // A file left behind by an interrupted save is replaced, read-only or not.
        if (creation == Creation::FreshFile && exists(path)) {
            ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileA(path.c_str())) return lastError();
        }
        const HANDLE opened = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                            creation == Creation::FreshFile ? CREATE_NEW : OPEN_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (opened == INVALID_HANDLE_VALUE) return lastError();
        file = reinterpret_cast<Handle>(opened);
        return {};
    }

    std::error_code write(Handle file, std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const std::size_t left = bytes.size() - done;
            const DWORD chunk = left > 0x4000'0000u ? 0x4000'0000u : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!::WriteFile(handleOf(file), bytes.data() + done, chunk, &written, nullptr)) {
                return lastError();
            }
            if (written == 0) return std::make_error_code(std::errc::io_error);
            done += written;
        }
        return {};
    }

    std::error_code truncate(Handle file, std::uint64_t length) override {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(length);
        if (!::SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN) ||
            !::SetEndOfFile(handleOf(file))) {
            return lastError();
        }
        return {};
    }

    std::error_code sync(Handle file) override {
        if (!::FlushFileBuffers(handleOf(file))) return lastError();
        return {};
    }

    std::error_code close(Handle file) override {
        if (!::CloseHandle(handleOf(file))) return lastError();
        return {};
    }

    // ReplaceFile keeps the old file's security and attributes; a first save has nothing to keep and
    // moves the new file in, written through to the disk.
    std::error_code rename(const std::string& from, const std::string& to) override {
        if (exists(to)) {
            if (!::ReplaceFileA(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                                nullptr)) {
                return lastError();
            }
            return {};
        }
        if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return lastError();
        return {};
    }

    // No folder handle can be synced here; MOVEFILE_WRITE_THROUGH and ReplaceFile carry the rename to
    // the disk as far as the file system allows.
    std::error_code syncFolder(const std::string&) override { return {}; }

    std::error_code remove(const std::string& path) override {
        if (!::DeleteFileA(path.c_str())) return lastError();
        return {};
    }

    // The full path: ReplaceFile is not given a bare name (Wine's refuses one), and the folder named
    // in a warning is then a real one.
    std::string saveTarget(const std::string& path) override {
        char full[MAX_PATH + 1] = {};
        const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
        if (length == 0 || length > MAX_PATH) return path;
        return std::string(full, length);
    }
};

}  // namespace

FileSystem& FileSystem::system() {
    static WindowsFileSystem files;
    return files;
}

// Opening a pipe or a device by name does not wait either; only a file on a disk is kept.
RegularFileReader::RegularFileReader(const std::string& path) {
    const HANDLE opened =
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(opened) != FILE_TYPE_DISK || !::GetFileInformationByHandle(opened, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(opened);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(opened);
}

RegularFileReader::~RegularFileReader() {
    if (isOpen()) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::optional<FileStamp> RegularFileReader::stamp() const {
    if (!isOpen()) return std::nullopt;
    return stampOfHandle(reinterpret_cast<HANDLE>(handle_));
}

// Opened without asking to read or write, so a file another program holds open can still be looked at.
std::optional<FileStamp> fileStampOf(const std::string& path) {
    const HANDLE opened =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<FileStamp> stamp;
    if (::GetFileType(opened) == FILE_TYPE_DISK) stamp = stampOfHandle(opened);
    ::CloseHandle(opened);
    return stamp;
}

std::int64_t RegularFileReader::read(char* buffer, std::size_t size) {
    if (!isOpen()) return -1;
    const DWORD chunk = size > 0x4000'0000u ? 0x4000'0000u : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, chunk, &got, nullptr)) return -1;
    return got;
}

}  // namespace varn::platform
