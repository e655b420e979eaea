#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "log/ServerLog.h"
#include "support/TemporaryDirectory.h"

namespace varn::testing {

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A log of its own with a captured console, and a scratch directory for its files.
class ServerLogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        directory = makeTemporaryDirectory("varn-log-");
        ASSERT_FALSE(directory.empty());
        log.setConsole(&console);
    }
    void TearDown() override {
        log.close();  // an open file cannot be removed everywhere
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::filesystem::path directory;
    std::ostringstream console;
    ServerLog log;
};

}  // namespace varn::testing
