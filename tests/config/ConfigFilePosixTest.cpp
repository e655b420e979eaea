#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "config/ConfigFile.h"
#include "support/ReleasedFifo.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

// A FIFO in place of the configuration file is refused at once, as a missing file is.
TEST(ConfigFilePosixTest, FifoIsRefusedAtOnceLikeAMissingFile) {
    const std::filesystem::path dir = testing::makeTemporaryDirectory("varn-config-");
    ASSERT_FALSE(dir.empty());
    {
        testing::ReleasedFifo fifo((dir / "varnserver.conf").string());
        ASSERT_TRUE(fifo.made());
        ConfigFile config;
        bool loaded = true;
        EXPECT_LT(testing::millisecondsTaken([&] { loaded = config.load(fifo.path()); }), 1000);
        EXPECT_FALSE(loaded);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace varn
