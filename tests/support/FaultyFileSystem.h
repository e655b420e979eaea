#pragma once

#include <cerrno>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/Files.h"

namespace varn::testing {

// The operating system's file calls with faults on demand: a step fails with a chosen error number,
// for a number of calls or until healed, for every path or only for one. Whatever does not fail is
// done for real. A failing write first writes half of its bytes, as a disk that fills up does; a
// failing close still closes.
class FaultyFileSystem final : public platform::FileSystem {
public:
    enum class Step { Open, Write, Truncate, Sync, Close, Rename, SyncFolder, Remove };
    static constexpr int kAlways = -1;

    // The next `times` calls of step (on onPath only, when given) fail with error.
    void fail(Step step, int error, int times = kAlways, const std::string& onPath = {}) {
        faults_.push_back({step, error, times, onPath});
    }
    void heal() { faults_.clear(); }
    // The paths opened for writing, in order.
    const std::vector<std::string>& opened() const { return opened_; }
    void forgetOpened() { opened_.clear(); }

    std::error_code open(const std::string& path, Creation creation, const std::string& permissionsOf,
                         Handle& file) override {
        if (const auto error = injected(Step::Open, path)) return error;
        const std::error_code error = real().open(path, creation, permissionsOf, file);
        if (!error) {
            paths_[file] = path;
            opened_.push_back(path);
        }
        return error;
    }
    std::error_code write(Handle file, std::string_view bytes) override {
        if (const auto error = injected(Step::Write, paths_[file])) {
            static_cast<void>(real().write(file, bytes.substr(0, bytes.size() / 2)));
            return error;
        }
        return real().write(file, bytes);
    }
    std::error_code truncate(Handle file, std::uint64_t length) override {
        if (const auto error = injected(Step::Truncate, paths_[file])) return error;
        return real().truncate(file, length);
    }
    std::error_code sync(Handle file) override {
        if (const auto error = injected(Step::Sync, paths_[file])) return error;
        return real().sync(file);
    }
    std::error_code close(Handle file) override {
        const std::string path = paths_[file];
        paths_.erase(file);
        const std::error_code closed = real().close(file);
        if (const auto error = injected(Step::Close, path)) return error;
        return closed;
    }
    std::error_code rename(const std::string& from, const std::string& to) override {
        if (const auto error = injected(Step::Rename, from)) return error;
        return real().rename(from, to);
    }
    std::error_code syncFolder(const std::string& folder) override {
        if (const auto error = injected(Step::SyncFolder, folder)) return error;
        return real().syncFolder(folder);
    }
    std::error_code remove(const std::string& path) override {
        if (const auto error = injected(Step::Remove, path)) return error;
        return real().remove(path);
    }
    std::string saveTarget(const std::string& path) override { return real().saveTarget(path); }

    // Files left open; a save must close every file it opens.
    std::size_t openFiles() const { return paths_.size(); }

private:
    struct Fault {
        Step step;
        int error;
        int times;
        std::string path;
    };

    static platform::FileSystem& real() { return platform::FileSystem::system(); }

    std::error_code injected(Step step, const std::string& path) {
        for (Fault& fault : faults_) {
            if (fault.step != step || fault.times == 0 || (!fault.path.empty() && fault.path != path)) {
                continue;
            }
            if (fault.times > 0) --fault.times;
            return {fault.error, std::generic_category()};
        }
        return {};
    }

    std::vector<Fault> faults_;
    std::map<Handle, std::string> paths_;
    std::vector<std::string> opened_;
};

}  // namespace varn::testing
