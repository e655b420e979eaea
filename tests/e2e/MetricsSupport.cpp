#include "e2e/MetricsSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace varn::e2e {

using namespace std::chrono_literals;

std::uint16_t freeTcpPort() {
    static std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(41000 + random() % 20000);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    throw std::runtime_error("no free TCP port");
}

bool programExists(const std::string& name) {
    return runCommand("command -v " + name + " >/dev/null 2>&1").status == 0;
}

ChildProcess::ChildProcess(std::vector<std::string> arguments, const std::filesystem::path& outputFile) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output < 0) throw std::runtime_error("cannot open " + outputFile.string());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(output, 1);
        ::dup2(output, 2);
        const int input = ::open("/dev/null", O_RDONLY);
        ::dup2(input, 0);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(output);
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return std::nullopt;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return std::nullopt;
}

CommandResult runCommand(const std::string& commandLine) {
    CommandResult result;
    std::FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer{};
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), got);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

HttpAnswer curl(const std::string& url, const std::string& method) {
    // The body first, then a line of its own with the status and the content type.
    const CommandResult result = runCommand("curl -s --max-time 5 -X " + method +
                                            " -w '\\n%{http_code} %{content_type}' '" + url + "'");
    HttpAnswer answer;
    const std::size_t lastLine = result.output.rfind('\n');
    if (lastLine == std::string::npos) return answer;
    answer.body = result.output.substr(0, lastLine);
    const std::string trailer = result.output.substr(lastLine + 1);
    answer.status = std::atoi(trailer.c_str());
    const std::size_t space = trailer.find(' ');
    if (space != std::string::npos) answer.contentType = trailer.substr(space + 1);
    return answer;
}

std::optional<double> sampleValue(const std::string& exposition, const std::string& sample) {
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > sample.size() && line.compare(0, sample.size(), sample) == 0 && line[sample.size()] == ' ') {
            return std::stod(line.substr(sample.size() + 1));
        }
    }
    return std::nullopt;
}

long residentKilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace varn::e2e
