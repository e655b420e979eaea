// The configuration parser and its validation on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "config/ConfigCheck.h"
#include "config/ConfigFile.h"
#include "log/ServerLog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::ostringstream sink;
    varn::ServerLog::instance().setConsole(&sink);
    sink.str("");
    varn::ConfigFile config;
    config.loadText(std::string_view(reinterpret_cast<const char*>(data), size));
    varn::validateConfiguration(config);
    varn::configurationWarnings(config);
    for (const char* key : {"ServerName", "ServerPort", "MaxPlayers", "BannedFile", "LogFile"}) {
        config.getInt(key, 0);
        config.getInt(key, 3);
        config.valueCount(key);
        if (const std::string* value = config.getString(key, 0)) config.setValue(key, *value + "x", 0);
    }
    return 0;
}
