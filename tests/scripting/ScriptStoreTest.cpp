// The store file: one per script path, a store under the old name taken over once, an unreadable
// one never written over, and a saved form that keeps keys and values apart.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "scripting/ScriptFixture.h"
#include "scripting/ScriptStore.h"

namespace varn::testing {
namespace {

class ScriptStoreTest : public ScriptFixture {
protected:
    std::string dataFile(const std::string& name) const { return (std::filesystem::path(settings.dataFolder) / name).string(); }
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static void writeFile(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
};

constexpr const char* kVote = "varn.on('start', function() print(varn.store.get('votes')) end)";

TEST_F(ScriptStoreTest, TwoFoldersKeepTwoStores) {
    ASSERT_TRUE(load({{"a/vote.lua", kVote}, {"b/vote.lua", kVote}})) << loadError;
    ASSERT_EQ(host->scriptCount(), 2u);
    const std::string first = host->script(0).store().path();
    const std::string second = host->script(1).store().path();
    EXPECT_NE(first, second);
    EXPECT_TRUE(first.ends_with("_2fvote.lua.store")) << first;

    host.reset();
    writeFile(first, "varn-store 2\ns 5 1\nvotes\n1\n");
    writeFile(second, "varn-store 2\ns 5 1\nvotes\n2\n");
    log.clear();
    ASSERT_TRUE(load({{"a/vote.lua", kVote}, {"b/vote.lua", kVote}})) << loadError;
    host->onServerStarted();
    EXPECT_EQ(scriptLines(), (std::vector<std::string>{"SCRIPT: vote.lua: 1", "SCRIPT: vote.lua: 2"}));
}

// The store kept by the base name alone is the first script's, once; it moves to the new name.
TEST_F(ScriptStoreTest, AStoreUnderTheOldNameIsTakenOverOnce) {
    const std::string old = dataFile("vote.store");
    writeFile(old, "varn-store 1\ns 5 3\nvotesyes\n");
    ASSERT_TRUE(load({{"a/vote.lua", kVote}, {"b/vote.lua", kVote}})) << loadError;
    host->onServerStarted();
    const std::string taken = host->script(0).store().path();
    EXPECT_EQ(scriptLines(), (std::vector<std::string>{
                                 "SCRIPT: vote.lua: the store '" + old + "' is now '" + taken + "'.",
                                 "SCRIPT: vote.lua: yes",
                                 "SCRIPT: vote.lua: nil",
                             }));
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_EQ(read(taken), "varn-store 1\ns 5 3\nvotesyes\n");
}

// A store that cannot be read is left as it is, whatever the script sets.
TEST_F(ScriptStoreTest, AnUnreadableStoreIsNeverWrittenOver) {
    const char* setter = "varn.on('start', function() varn.store.set('votes', 'x') end)";
    ASSERT_TRUE(load(setter)) << loadError;
    const std::string path = host->script(0).store().path();
    host.reset();
    const std::string broken = "varn-store 2\nthis is not what a store holds" + std::string(140, '.');
    writeFile(path, broken);
    log.clear();
    ASSERT_TRUE(load(setter)) << loadError;
    EXPECT_EQ(scriptLines(), (std::vector<std::string>{
                                 "SCRIPT-ERROR: test.lua: the store '" + path + "' cannot be read; it starts empty.",
                                 "SCRIPT-ERROR: test.lua: the store '" + path +
                                     "' is left as it is: nothing is saved to it until a reload reads it.",
                             }));
    host->onServerStarted();
    EXPECT_TRUE(host->script(0).store().changed());
    host->saveStores();
    host.reset();
    EXPECT_EQ(read(path), broken);
}

TEST(ScriptStoreFormatTest, KeysAndValuesStandApartAndTheFirstFormIsStillRead) {
    const std::map<std::string, ScriptStore::Value, std::less<>> entries{
        {"strikes:10.0.0.1", ScriptStore::Value(std::int64_t{1})},
        {"a:b", ScriptStore::Value(std::string("c:d\n"))},
    };
    const std::string saved = ScriptStore::encode(entries);
    EXPECT_EQ(saved, "varn-store 2\ns 3 4\na:b\nc:d\n\ni 16 1\nstrikes:10.0.0.1\n1\n");
    EXPECT_EQ(ScriptStore::decode(saved), entries);
    EXPECT_EQ(ScriptStore::decode("varn-store 1\ns 3 4\na:bc:d\n\ni 16 1\nstrikes:10.0.0.11\n"), entries);
    for (const char* broken : {"varn-store 2\ni 16 1\nstrikes:10.0.0.11\n", "varn-store 3\n", "varn-store 2\ns 3 1\nab\n"}) {
        EXPECT_FALSE(ScriptStore::decode(broken).has_value()) << broken;
    }
}

}  // namespace
}  // namespace varn::testing
