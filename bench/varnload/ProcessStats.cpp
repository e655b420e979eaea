#include "varnload/ProcessStats.h"

#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace varn::bench {

namespace {

// Fields 14 and 15 of /proc/<pid>/stat; the command name in parentheses may hold spaces, so the
// count starts after its closing parenthesis (field 3 is the first after it).
constexpr int kUserTimeAfterName = 11;
constexpr int kSystemTimeAfterName = 12;

bool readStatCpu(pid_t pid, double& seconds) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return false;
    const std::size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) return false;
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string field;
    unsigned long long userTicks = 0;
    unsigned long long systemTicks = 0;
    for (int index = 0; fields >> field; ++index) {
        if (index == kUserTimeAfterName) userTicks = std::stoull(field);
        if (index == kSystemTimeAfterName) {
            systemTicks = std::stoull(field);
            const long ticksPerSecond = sysconf(_SC_CLK_TCK);
            seconds = static_cast<double>(userTicks + systemTicks) / static_cast<double>(ticksPerSecond);
            return true;
        }
    }
    return false;
}

void readMemory(pid_t pid, ProcessSample& sample) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string key;
        long kilobytes = 0;  // or a count, for the switch lines
        words >> key >> kilobytes;
        if (key == "VmHWM:") sample.peakResidentKb = kilobytes;
        if (key == "VmRSS:") sample.residentKb = kilobytes;
        if (key == "voluntary_ctxt_switches:") sample.voluntarySwitches = kilobytes;
        if (key == "nonvoluntary_ctxt_switches:") sample.involuntarySwitches = kilobytes;
    }
}

}  // namespace

ProcessSample sampleProcess(pid_t pid) {
    ProcessSample sample;
    if (pid <= 0 || !readStatCpu(pid, sample.statCpuSeconds)) return sample;
    sample.valid = true;
    clockid_t clock{};
    timespec now{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &now) == 0) {
        sample.cpuNanoseconds = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
                                static_cast<std::uint64_t>(now.tv_nsec);
        sample.cpuNanosecondsValid = true;
    }
    readMemory(pid, sample);
    return sample;
}

long udpSocketDrops(std::uint16_t localPort) {
    std::ifstream file("/proc/net/udp");
    if (!file) return -1;
    std::string line;
    std::getline(file, line);  // column titles
    long drops = 0;
    while (std::getline(file, line)) {
        std::istringstream columns(line);
        std::string slot;
        std::string local;
        columns >> slot >> local;
        const std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) != localPort) continue;
        std::string column;
        std::string last;
        while (columns >> column) last = column;
        drops += std::stol(last);
    }
    return drops;
}

}  // namespace varn::bench
