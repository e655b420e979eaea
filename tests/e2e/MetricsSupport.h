#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace varn::e2e {

// A TCP port on 127.0.0.1 that nothing was bound to a moment ago.
std::uint16_t freeTcpPort();

// Whether a program is on the PATH.
bool programExists(const std::string& name);

// A program the test starts and always ends: SIGTERM when destroyed, SIGKILL if it lingers.
// Its standard output and error go to a file.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> arguments, const std::filesystem::path& outputFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running();
    // Ends the process; its exit status when it ended by itself after SIGTERM.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

private:
    int pid_ = -1;
};

// What curl got: the HTTP status (0 when there was no answer) and the body.
struct HttpAnswer {
    int status = 0;
    std::string body;
    std::string contentType;
};

// One request through curl (a real client); method GET unless given.
HttpAnswer curl(const std::string& url, const std::string& method = "GET");

// Runs a shell command line; its exit status and what it wrote (standard output and error).
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& commandLine);

// The value of the sample written exactly so ("name" or "name{labels}") in an exposition text.
std::optional<double> sampleValue(const std::string& exposition, const std::string& sample);

// The resident memory of a process, in kB, from /proc/<pid>/status.
long residentKilobytes(int pid);

}  // namespace varn::e2e
