#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/Files.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

TEST(FileReadFailureTest, TheReasonIsTheOneTheSystemGivesForThatPath) {
    const std::filesystem::path directory = testing::makeTemporaryDirectory("varn-read-failure-");
    ASSERT_FALSE(directory.empty());
    std::ofstream(directory / "present.txt") << "text\n";
    std::filesystem::create_directory(directory / "folder");
    const std::string missing = std::make_error_code(std::errc::no_such_file_or_directory).message();
    struct Case {
        const char* name;
        std::filesystem::path path;
        std::string expected;
    };
    const Case cases[] = {
        {"missing file", directory / "absent.conf", missing},
        {"missing folder", directory / "absent" / "x.conf", missing},
        {"folder", directory / "folder", "not a regular file"},
        {"readable after all", directory / "present.txt", "it can be read now"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::string content;
        EXPECT_EQ(platform::readTextFile(testCase.path.string(), content),
                  testCase.expected == "it can be read now");
        EXPECT_EQ(platform::whyFileCannotBeRead(testCase.path.string()), testCase.expected);
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace varn
