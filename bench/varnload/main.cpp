// varnload: simulated players for measuring a game server on loopback. They join, send syncs at a
// fixed rate, answer pings and check-sum requests, and quit; varnload reports the syncs sent, the
// relays received, the loss, the relay latency and the server's CPU time and peak memory.

#include <sys/types.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "varnload/LoadGenerator.h"

namespace {

using varn::bench::LoadGenerator;
using varn::bench::LoadSettings;
using varn::bench::StepResult;

constexpr double kLossLimit = 0.01;
constexpr int kRefineSteps = 5;
constexpr double kSettleSeconds = 0.5;

struct Options {
    LoadSettings load;
    double rate = 30;
    double seconds = 10;
    bool saturate = false;
    double stepSeconds = 3;
    double maxRate = 20000;
};

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: varnload --port N [options]\n"
                 "  --port N           the server's game port on 127.0.0.1\n"
                 "  --server-pid PID   the server process, for its CPU time and peak memory\n"
                 "  --players N        simulated players, 0 to 26 (default 26; 0 only watches the server)\n"
                 "  --rate R           syncs per second per player (default 30; 0: joined but silent)\n"
                 "  --seconds S        length of the measuring window (default 10)\n"
                 "  --spread           put half of the players far from the other half\n"
                 "  --ignore-pings     leave the server's ping requests unanswered (for diagnosis)\n"
                 "  --first-octet N    player i sends from 127.0.0.(N+i) (default 10)\n"
                 "  --name-prefix P    player i joins as P and i in two digits (default load: load00 ...);\n"
                 "                     two generators at once need a prefix and a --first-octet each\n"
                 "  --saturate         search the highest relay rate with less than 1%% loss, from --rate up\n"
                 "  --step-seconds S   window of each search step (default 3)\n"
                 "  --max-rate R       highest rate per player the search tries (default 20000)\n"
                 "  --help             show this text\n"
                 "A player kicked, banned or otherwise removed, or a server that shuts down, ends the run\n"
                 "with what happened on standard error, no result and exit status 1.\n");
}

// A prefix the server takes in every name it makes: printable, no '|', leaving room for two digits,
// and not the reserved beginning "admin".
bool acceptableNamePrefix(const std::string& prefix) {
    if (prefix.empty() || prefix.size() + 2 > varn::kMaxPlayerNameLength) return false;
    for (const char c : prefix) {
        if (!varn::isPrintable(static_cast<std::uint8_t>(c)) || c == static_cast<char>(varn::kNameEnd)) return false;
    }
    std::string start = (prefix + "00").substr(0, 5);
    for (char& c : start) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return start != "admin";
}

std::optional<double> number(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || value < 0) return std::nullopt;
    return value;
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--spread") {
            options.load.spread = true;
            continue;
        }
        if (option == "--ignore-pings") {
            options.load.ignorePings = true;
            continue;
        }
        if (option == "--saturate") {
            options.saturate = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        if (option == "--name-prefix") {
            options.load.namePrefix = argv[++i];
            if (!acceptableNamePrefix(options.load.namePrefix)) return std::nullopt;
            continue;
        }
        const std::optional<double> value = number(argv[++i]);
        if (!value) return std::nullopt;
        if (option == "--port" && *value >= 1 && *value <= 65535) {
            options.load.port = static_cast<std::uint16_t>(*value);
            havePort = true;
        } else if (option == "--server-pid") {
            options.load.serverPid = static_cast<pid_t>(*value);
        } else if (option == "--players" && *value <= varn::bench::kMaxSimulatedPlayers) {
            options.load.players = static_cast<int>(*value);
        } else if (option == "--rate") {
            options.rate = *value;
        } else if (option == "--seconds" && *value > 0) {
            options.seconds = *value;
        } else if (option == "--first-octet" && *value >= 2 && *value + varn::bench::kMaxSimulatedPlayers <= 255) {
            options.load.firstHostOctet = static_cast<int>(*value);
        } else if (option == "--step-seconds" && *value > 0) {
            options.stepSeconds = *value;
        } else if (option == "--max-rate" && *value > 0) {
            options.maxRate = *value;
        } else {
            return std::nullopt;
        }
    }
    if (!havePort) return std::nullopt;
    if (options.saturate && (options.rate <= 0 || options.load.players < 2)) return std::nullopt;
    return options;
}

void printReport(const StepResult& step, const Options& options) {
    const int players = options.load.players;
    std::printf("varnload: %d players x %.1f syncs/s for %.2f s (%s) against %s:%u\n", players, step.ratePerPlayer,
                step.windowSeconds, options.load.spread ? "half far apart" : "all in range",
                options.load.serverAddress.c_str(), options.load.port);
    if (players > 0) {
        std::printf("  syncs sent          %llu (%.0f/s), %llu skipped by the schedule\n",
                    static_cast<unsigned long long>(step.syncsSent),
                    step.windowSeconds > 0 ? static_cast<double>(step.syncsSent) / step.windowSeconds : 0.0,
                    static_cast<unsigned long long>(step.syncsSkipped));
        std::printf("  relays received     %llu of %llu (full %llu, reduced %llu; unexpected form %llu, late %llu)\n",
                    static_cast<unsigned long long>(step.relaysReceived()),
                    static_cast<unsigned long long>(step.expectedRelays),
                    static_cast<unsigned long long>(step.fullRelays),
                    static_cast<unsigned long long>(step.reducedRelays),
                    static_cast<unsigned long long>(step.unexpectedForm),
                    static_cast<unsigned long long>(step.lateRelays));
        std::printf("  relay rate          %.0f/s, loss %.3f%%\n", step.relayRate(), 100.0 * step.lossFraction());
        std::printf("  relay latency       p50 %.0f us, p99 %.0f us, max %.0f us (to kernel arrival)\n",
                    step.latencyP50, step.latencyP99, step.latencyMax);
        std::printf("                      p50 %.0f us, p99 %.0f us, max %.0f us (to varnload's read)\n",
                    step.readLatencyP50, step.readLatencyP99, step.readLatencyMax);
        std::printf("  relays over 1 ms    %llu, %llu of them from syncs sent within 20 ms after a ping request\n",
                    static_cast<unsigned long long>(step.slowRelays),
                    static_cast<unsigned long long>(step.slowRelaysAfterPing));
        std::printf("  answered            %llu pings, %llu check-sum requests; %llu other datagrams\n",
                    static_cast<unsigned long long>(step.pingsAnswered),
                    static_cast<unsigned long long>(step.checksumsAnswered),
                    static_cast<unsigned long long>(step.otherDatagrams));
        std::printf("  socket drops        server %ld, varnload %llu; varnload CPU %.2f s\n", step.serverSocketDrops,
                    static_cast<unsigned long long>(step.loadSocketDrops), step.loadCpuSeconds);
    }
    if (step.serverAfter.valid) {
        std::printf("  server CPU          %.4f s = %.3f%% (/proc stat: %.2f s = %.2f%%)\n", step.serverCpuSeconds(),
                    step.serverCpuPercent(), step.serverAfter.statCpuSeconds - step.serverBefore.statCpuSeconds,
                    step.statCpuPercent());
        std::printf("  server memory       peak %ld KiB (VmHWM), now %ld KiB (VmRSS)\n",
                    step.serverAfter.peakResidentKb, step.serverAfter.residentKb);
        std::printf("  server switches     %ld waits, %ld preemptions\n",
                    step.serverAfter.voluntarySwitches - step.serverBefore.voluntarySwitches,
                    step.serverAfter.involuntarySwitches - step.serverBefore.involuntarySwitches);
    }
}

// One line of key=value pairs for scripts.
void printResultLine(const char* kind, const StepResult& step, const Options& options) {
    std::printf(
        "%s players=%d rate=%.1f spread=%d window_s=%.3f syncs=%llu skipped=%llu expected=%llu full=%llu "
        "reduced=%llu unexpected_form=%llu late=%llu loss_pct=%.4f relay_rate=%.0f p50_us=%.0f p99_us=%.0f "
        "max_us=%.0f read_p50_us=%.0f read_p99_us=%.0f read_max_us=%.0f server_cpu_s=%.4f server_cpu_pct=%.3f "
        "stat_cpu_pct=%.2f hwm_kb=%ld rss_kb=%ld server_drops=%ld load_drops=%llu load_cpu_s=%.3f pings=%llu "
        "checksums=%llu slow=%llu slow_after_ping=%llu waits=%ld preemptions=%ld\n",
        kind, options.load.players, step.ratePerPlayer, options.load.spread ? 1 : 0, step.windowSeconds,
        static_cast<unsigned long long>(step.syncsSent), static_cast<unsigned long long>(step.syncsSkipped),
        static_cast<unsigned long long>(step.expectedRelays), static_cast<unsigned long long>(step.fullRelays),
        static_cast<unsigned long long>(step.reducedRelays), static_cast<unsigned long long>(step.unexpectedForm),
        static_cast<unsigned long long>(step.lateRelays), 100.0 * step.lossFraction(), step.relayRate(),
        step.latencyP50, step.latencyP99, step.latencyMax, step.readLatencyP50, step.readLatencyP99,
        step.readLatencyMax, step.serverCpuSeconds(), step.serverCpuPercent(), step.statCpuPercent(),
        step.serverAfter.peakResidentKb, step.serverAfter.residentKb, step.serverSocketDrops,
        static_cast<unsigned long long>(step.loadSocketDrops), step.loadCpuSeconds,
        static_cast<unsigned long long>(step.pingsAnswered), static_cast<unsigned long long>(step.checksumsAnswered),
        static_cast<unsigned long long>(step.slowRelays), static_cast<unsigned long long>(step.slowRelaysAfterPing),
        step.serverAfter.voluntarySwitches - step.serverBefore.voluntarySwitches,
        step.serverAfter.involuntarySwitches - step.serverBefore.involuntarySwitches);
    std::fflush(stdout);
}

StepResult measureStep(LoadGenerator& generator, double rate, const Options& options) {
    generator.settle(kSettleSeconds);
    const StepResult step = generator.runStep(rate, options.stepSeconds);
    if (!generator.interruption()) printResultLine("STEP", step, options);
    return step;
}

// Doubles the rate until the loss reaches 1%, then halves the gap between the last good and the
// first bad rate a few times. The best step is the good one with the most relays per second.
StepResult searchSaturation(LoadGenerator& generator, const Options& options) {
    std::optional<StepResult> best;
    double good = 0;
    double bad = 0;
    for (double rate = options.rate; rate <= options.maxRate; rate *= 2) {
        const StepResult step = measureStep(generator, rate, options);
        if (generator.interruption()) return StepResult{};
        if (step.lossFraction() >= kLossLimit) {
            bad = rate;
            break;
        }
        good = rate;
        if (!best || step.relayRate() > best->relayRate()) best = step;
    }
    for (int refine = 0; refine < kRefineSteps && bad > 0; ++refine) {
        const double rate = (good + bad) / 2;
        const StepResult step = measureStep(generator, rate, options);
        if (generator.interruption()) return StepResult{};
        if (step.lossFraction() >= kLossLimit) {
            bad = rate;
        } else {
            good = rate;
            if (!best || step.relayRate() > best->relayRate()) best = step;
        }
    }
    if (!best) {
        std::fprintf(stderr, "varnload: already %.1f syncs/s per player lose 1%% or more\n", options.rate);
        StepResult none;
        none.ratePerPlayer = 0;
        return none;
    }
    return *best;
}

// Says what ended the run early; true when something did.
bool reportInterruption(const LoadGenerator& generator) {
    if (!generator.interruption()) return false;
    std::fprintf(stderr, "varnload: %s; the run ends without a result\n", generator.interruption()->c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
    }
    const std::optional<Options> parsed = parseOptions(argc, argv);
    if (!parsed) {
        printUsage(stderr);
        return 2;
    }
    const Options& options = *parsed;
    LoadGenerator generator(options.load);
    if (!generator.joinAll()) {
        generator.quitAll();
        return 1;
    }
    int status = 0;
    if (options.saturate) {
        const StepResult best = searchSaturation(generator, options);
        if (reportInterruption(generator)) {
            status = 1;
        } else if (best.ratePerPlayer > 0) {
            printReport(best, options);
            printResultLine("RESULT", best, options);
        } else {
            status = 1;
        }
    } else {
        generator.settle(kSettleSeconds);
        const StepResult step = generator.runStep(options.rate, options.seconds);
        if (reportInterruption(generator)) {
            status = 1;
        } else {
            printReport(step, options);
            printResultLine("RESULT", step, options);
        }
    }
    generator.quitAll();
    return status;
}
