// The command-line parser on arbitrary arguments (NUL bytes separate them).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/CommandLine.h"
#include "config/CommandLineCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments{"varnserver"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const auto& argument : arguments) argv.push_back(argument.c_str());

    varn::CommandLine commandLine;
    commandLine.parse(static_cast<int>(argv.size()), argv.data());
    varn::commandLineWarnings(static_cast<int>(argv.size()), argv.data());
    for (const char* name : {"-c", "--conf", "-l", "--log", "-h", "-q"}) {
        const int count = commandLine.valueCount(name);
        for (int index = -1; index <= count; ++index) commandLine.getValue(name, static_cast<std::uint32_t>(index));
    }
    return 0;
}
