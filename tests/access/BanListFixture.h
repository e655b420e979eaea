#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "support/TemporaryDirectory.h"

namespace varn::testing {

// A scratch directory for ban files, with byte-exact file reading and writing.
class BanListFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTemporaryDirectory("varn-banlist-");
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string pathOf(const std::string& name) const { return (dir_ / name).string(); }

    static void writeBytes(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    static std::string readBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir_;
};

}  // namespace varn::testing
