#include "e2e/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace varn::e2e {

using Clock = std::chrono::steady_clock;

ScratchDirectory::ScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varn-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
}

std::string ScratchDirectory::read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ScratchDirectory::exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }

std::uint16_t freeUdpPort() {
    // Ports from the ephemeral range's neighbourhood, checked by binding; the server binds soon after.
    static std::mt19937 random(static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(20000 + random() % 20000);
        bool free = true;
        // The browser socket of a later feature sits at +123; keep both free.
        for (int offset : {0, 123}) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port + offset));
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) free = false;
            ::close(fd);
        }
        if (free) return port;
    }
    throw std::runtime_error("no free UDP port");
}

ServerProcess::ServerProcess(const std::filesystem::path& directory, std::vector<std::string> arguments,
                             bool withTerminal, ErrorOutput errorOutput) {
    std::vector<char*> argv;
    std::string binary = VARN_SERVER_BINARY;
    argv.push_back(binary.data());
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int errorFds[2] = {-1, -1};
    if (errorOutput == ErrorOutput::apart && ::pipe(errorFds) != 0) throw std::runtime_error("pipe failed");
    // In the child, after its own redirections: standard error into the pipe of its own.
    const auto separateErrors = [&errorFds] {
        if (errorFds[1] < 0) return;
        ::dup2(errorFds[1], STDERR_FILENO);
        ::close(errorFds[0]);
        ::close(errorFds[1]);
    };

    if (withTerminal) {
        int master = -1;
        termios settings{};
        cfmakeraw(&settings);
        settings.c_lflag |= ICANON | ECHO | ISIG;
        settings.c_oflag |= OPOST | ONLCR;
        settings.c_cc[VINTR] = 3;
        pid_ = ::forkpty(&master, nullptr, &settings, nullptr);
        if (pid_ == 0) {
            separateErrors();
            if (::chdir(directory.c_str()) != 0) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        outputFd_ = master;
    } else {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int devNull = ::open("/dev/null", O_RDONLY);
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::dup2(pipeFds[1], STDERR_FILENO);
            ::close(pipeFds[0]);
            separateErrors();
            if (::chdir(directory.c_str()) != 0) ::_exit(126);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        outputFd_ = pipeFds[0];
    }
    ::fcntl(outputFd_, F_SETFL, ::fcntl(outputFd_, F_GETFL, 0) | O_NONBLOCK);
    if (errorFds[1] >= 0) {
        ::close(errorFds[1]);
        errorFd_ = errorFds[0];
        ::fcntl(errorFd_, F_SETFL, ::fcntl(errorFd_, F_GETFL, 0) | O_NONBLOCK);
    }
}

ServerProcess::~ServerProcess() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outputFd_ >= 0) ::close(outputFd_);
    if (errorFd_ >= 0) ::close(errorFd_);
}

void ServerProcess::pump(std::chrono::milliseconds wait) {
    pollfd entries[2] = {{outputFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}};
    if (::poll(entries, errorFd_ >= 0 ? 2 : 1, static_cast<int>(wait.count())) <= 0) return;
    char chunk[4096];
    for (auto [fd, text] : {std::pair{outputFd_, &output_}, std::pair{errorFd_, &errors_}}) {
        if (fd < 0) continue;
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) break;
            text->append(chunk, static_cast<std::size_t>(got));
        }
    }
}

bool ServerProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pump(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ServerProcess::output() {
    pump(std::chrono::milliseconds(0));
    return output_;
}

bool ServerProcess::waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (errors_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) return false;
        pump(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ServerProcess::errorOutput() {
    pump(std::chrono::milliseconds(0));
    return errors_;
}

void ServerProcess::pressKeys(const std::string& keys) {
    [[maybe_unused]] const ssize_t written = ::write(outputFd_, keys.data(), keys.size());
}

void ServerProcess::signal(int signalNumber) { ::kill(pid_, signalNumber); }

std::optional<int> ServerProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            pump(std::chrono::milliseconds(0));
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            exited_ = true;
            return std::nullopt;
        }
        pump(std::chrono::milliseconds(20));
    }
}

long ServerProcess::cpuTicks() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name (which ends with ')'): utime is the 14th, stime the 15th field.
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

UdpClient::UdpClient(const std::string& localAddress) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    ::inet_pton(AF_INET, localAddress.c_str(), &local.sin_addr);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("cannot bind client to " + localAddress);
    }
}

UdpClient::~UdpClient() { ::close(fd_); }

void UdpClient::enlargeReceiveBuffer(int bytes) {
    // Beyond the system's limit where the process may (root), else up to it.
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void UdpClient::sendTo(std::uint16_t port, const std::vector<std::uint8_t>& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::optional<std::vector<std::uint8_t>> UdpClient::receive(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> buffer(4096);
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

std::string baseConfiguration(std::uint16_t port) {
    return "ServerName \"E2E Server\"\nServerPort " + std::to_string(port) +
           "\nMaxPlayers 8\nGame 2\nGameMode 1\nBannedFile banned.txt\nLogFile server.log\n";
}

std::vector<std::uint8_t> joinDatagram(std::string_view name, std::string_view password) {
    const std::string text = "\x01\x18" + std::string(name) + "|" + std::string(password);
    std::vector<std::uint8_t> datagram(text.begin(), text.end());
    datagram.push_back(0);
    return datagram;
}

}  // namespace varn::e2e
