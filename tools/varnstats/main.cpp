// varnstats: player statistics from the server's log. "ingest" reads the statistics lines of log files
// into a database (SQLite, or PostgreSQL for several servers); "report" writes a static web site
// from it.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Database.h"
#include "Ingest.h"
#include "Report.h"

namespace {

using namespace varnstats;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: varnstats ingest [--db DB] [--gzip-limit MIB] LOGFILE...\n"
                 "       varnstats report [--db DB] --out DIR [--title TEXT] [--generated-at] [--server S]\n"
                 "\n"
                 "  ingest    reads the statistics lines of server logs (plain or gzip) into the database;\n"
                 "            only lines not read before are read, so it can run every minute\n"
                 "  report    writes the statistics web site into DIR\n"
                 "\n"
                 "  --db DB          a SQLite file (default stats.sqlite, created mode 0600) or a\n"
                 "                   postgresql:// URL without a password (libpq's password file or\n"
                 "                   service file provides it)\n"
                 "  --gzip-limit MIB a compressed log larger than this when uncompressed is refused\n"
                 "                   (default 1024)\n"
                 "  --out DIR        where the site goes; must not hold the database\n"
                 "  --title TEXT     the site's title (default \"Server statistics\")\n"
                 "  --generated-at   write the time of the report on the pages\n"
                 "  --server S       the pages of one server only (its name, its port, or name:port);\n"
                 "                   without it, every server of the database together\n");
}

struct Arguments {
    std::string command;
    std::string database = std::string(kDefaultDatabase);
    std::optional<std::string> out;
    std::string title = "Server statistics";
    bool generatedAt = false;
    std::optional<std::string> server;
    std::optional<std::uint64_t> gzipLimit;
    std::vector<std::string> files;
};

// The value of an option given as "--name value" or "--name=value".
bool optionValue(int argc, char** argv, int& index, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argv[index], name, length) != 0) return false;
    if (argv[index][length] == '=') {
        value = argv[index] + length + 1;
        return true;
    }
    if (argv[index][length] != '\0' || index + 1 >= argc) return false;
    value = argv[++index];
    return true;
}

std::optional<Arguments> parseArguments(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Arguments arguments;
    arguments.command = argv[1];
    if (arguments.command != "ingest" && arguments.command != "report") return std::nullopt;
    bool optionsEnded = false;
    for (int index = 2; index < argc; ++index) {
        const std::string argument = argv[index];
        std::string value;
        if (optionsEnded || argument.empty() || argument[0] != '-') {
            arguments.files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (optionValue(argc, argv, index, "--db", value)) {
            arguments.database = value;
        } else if (optionValue(argc, argv, index, "--out", value)) {
            arguments.out = value;
        } else if (optionValue(argc, argv, index, "--server", value)) {
            arguments.server = value;
        } else if (optionValue(argc, argv, index, "--title", value)) {
            arguments.title = value;
        } else if (optionValue(argc, argv, index, "--gzip-limit", value)) {
            std::uint64_t mebibytes = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), mebibytes);
            if (error != std::errc() || end != value.data() + value.size() || mebibytes == 0 ||
                mebibytes > (std::uint64_t{1} << 40)) {
                std::fprintf(stderr, "varnstats: --gzip-limit wants a number of MiB, not %s\n",
                             value.c_str());
                return std::nullopt;
            }
            arguments.gzipLimit = mebibytes << 20;
        } else if (argument == "--generated-at") {
            arguments.generatedAt = true;
        } else {
            std::fprintf(stderr, "varnstats: unknown option %s\n", argument.c_str());
            return std::nullopt;
        }
    }
    if (arguments.command == "ingest" && (arguments.files.empty() || arguments.out || arguments.server)) return std::nullopt;
    if (arguments.command == "report" && (!arguments.files.empty() || !arguments.out || arguments.gzipLimit))
        return std::nullopt;
    return arguments;
}

void printSummary(const FileSummary& summary) {
    if (summary.error) {
        std::fprintf(stderr, "varnstats: %s\n", summary.error->c_str());
        return;
    }
    if (summary.notRegularFile) {
        std::printf("%s: skipped: not a regular file\n", summary.path.c_str());
        return;
    }
    if (summary.skipped) {
        std::printf("%s: known (%s), skipped: 0 new lines, 0 statistics lines stored\n", summary.path.c_str(),
                    summary.skipReason.c_str());
        return;
    }
    std::printf(
        "%s: %s at byte %llu, %llu new lines, %llu statistics lines stored", summary.path.c_str(),
        summary.known ? "read on" : "new file, read", static_cast<unsigned long long>(summary.startOffset),
        static_cast<unsigned long long>(summary.lines), static_cast<unsigned long long>(summary.stored));
    if (summary.withoutTime > 0) {
        std::printf(" (%llu without time stamps)", static_cast<unsigned long long>(summary.withoutTime));
    }
    if (summary.unmatched > 0) {
        std::printf(", %llu about players or servers not seen joining or starting",
                    static_cast<unsigned long long>(summary.unmatched));
    }
    if (summary.malformed > 0) {
        std::printf(", %llu malformed lines skipped (", static_cast<unsigned long long>(summary.malformed));
        const char* separator = "";
        for (const auto& [prefix, count] : summary.malformedByPrefix) {
            std::printf("%s%s %llu", separator, prefix.c_str(), static_cast<unsigned long long>(count));
            separator = ", ";
        }
        std::printf(")");
    }
    std::printf("\n");
    for (const std::string& example : summary.malformedExamples) {
        std::fprintf(stderr, "varnstats: %s: malformed %s\n", summary.path.c_str(), example.c_str());
    }
}

int ingest(const Arguments& arguments) {
    auto database = openDatabase(arguments.database, OpenMode::ReadWrite);
    IngestOptions options;
    if (arguments.gzipLimit) options.gzipLimit = *arguments.gzipLimit;
    Ingester ingester(*database, options);
    int status = kExitDone;
    for (const std::string& path : orderForIngest(arguments.files)) {
        const FileSummary summary = ingester.ingestFile(path);
        printSummary(summary);
        if (summary.error) status = kExitFailed;
    }
    std::fflush(stdout);
    return status;
}

int report(const Arguments& arguments) {
    auto database = openDatabase(arguments.database, OpenMode::ReadOnly);
    ReportOptions options;
    options.outputDirectory = *arguments.out;
    options.title = arguments.title;
    options.generatedAt = arguments.generatedAt;
    options.server = arguments.server;
    const ReportResult result = writeReport(*database, options);
    if (result.error) {
        std::fprintf(stderr, "varnstats: %s\n", result.error->c_str());
        return kExitFailed;
    }
    std::printf("%s: %zu pages written (%zu players)\n", options.outputDirectory.c_str(), result.pages,
                result.players);
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage(stdout);
        return kExitDone;
    }
    const std::optional<Arguments> arguments = parseArguments(argc, argv);
    if (!arguments) {
        printUsage(stderr);
        return kExitUsage;
    }
    try {
        return arguments->command == "ingest" ? ingest(*arguments) : report(*arguments);
    } catch (const DatabaseError& error) {
        std::fprintf(stderr, "varnstats: %s\n", error.what());
        return kExitFailed;
    }
}
