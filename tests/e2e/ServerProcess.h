#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varn::e2e {

// A scratch directory for one test: configuration, ban file, motd.txt and log live here, and the
// server runs with it as its current directory.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// A UDP port on 127.0.0.1 that nothing was bound to a moment ago.
std::uint16_t freeUdpPort();

// The real server binary, started in a directory. With a terminal, standard input and output are a
// pseudo-terminal (keys can be pressed); without one, standard input is /dev/null and output a pipe.
class ServerProcess {
public:
    // Where standard error goes: into output() with standard output, or apart into errorOutput().
    enum class ErrorOutput { withOutput, apart };

    ServerProcess(const std::filesystem::path& directory, std::vector<std::string> arguments, bool withTerminal,
                  ErrorOutput errorOutput = ErrorOutput::withOutput);
    ~ServerProcess();

    // Waits until the console output holds text; false after the time-out.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string output();
    // Reads what the server wrote so far without handing it over: keeps its pipes from filling.
    void drainOutput() { pump(std::chrono::milliseconds(0)); }
    // Standard error, when it was kept apart.
    bool waitForErrorOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::string errorOutput();
    void pressKeys(const std::string& keys);
    void signal(int signalNumber);
    // Waits for the process to end; its exit status, or nothing after the time-out (then it is killed).
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int pid() const { return pid_; }
    // CPU time (user + system) the process has used, in clock ticks.
    long cpuTicks() const;

private:
    void pump(std::chrono::milliseconds wait);

    int pid_ = -1;
    int outputFd_ = -1;
    int errorFd_ = -1;
    bool exited_ = false;
    std::string output_;
    std::string errors_;
};

// A game or admin client on a loopback address of its own.
class UdpClient {
public:
    explicit UdpClient(const std::string& localAddress = "127.0.0.1");
    ~UdpClient();
    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& datagram);
    // The next datagram, or nothing after the time-out.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // A larger receive buffer, for a client that must not lose what a flood sends it (as far as the
    // system's limit allows).
    void enlargeReceiveBuffer(int bytes);

private:
    int fd_ = -1;
};

std::string baseConfiguration(std::uint16_t port);

// A game join datagram: [1][24][name]['|'][password][NUL].
std::vector<std::uint8_t> joinDatagram(std::string_view name, std::string_view password = {});

}  // namespace varn::e2e
