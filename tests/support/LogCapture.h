#pragma once

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "log/ServerLog.h"

namespace varn::testing {

// Captures what the process-wide log echoes to the console for the life of the object.
class LogCapture {
public:
    LogCapture() {
        ServerLog::instance().setQuiet(false);
        ServerLog::instance().setConsole(&stream_);
    }
    ~LogCapture() { ServerLog::instance().setConsole(&std::cout); }

    std::string text() const { return stream_.str(); }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(stream_.str());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }
    void clear() { stream_.str(""); }

private:
    std::ostringstream stream_;
};

// Captures what the process-wide log writes to standard error (its diagnostics) for the life of the
// object.
class DiagnosticCapture {
public:
    DiagnosticCapture() { ServerLog::instance().setErrorStream(&stream_); }
    ~DiagnosticCapture() { ServerLog::instance().setErrorStream(&std::cerr); }

    std::string text() const { return stream_.str(); }

private:
    std::ostringstream stream_;
};

}  // namespace varn::testing
