// Scripts on a real game: the events they see, the decisions they take, their commands and the
// bytes and lines their actions make.
#include <gtest/gtest.h>

#include "scripting/ScriptedGameFixture.h"
#include "support/FaultyFileSystem.h"
#include "support/FileText.h"

#include <fstream>
#include <sstream>

namespace varn::testing {
namespace {

class ScriptGameTest : public ScriptedGameFixture {};

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Prints each event with its arguments: players as "<id>:<name>:<ip>".
constexpr const char* kEventPrinter = R"(
local function p(player) return player and (player.id .. ':' .. player.name .. ':' .. player.ip) or 'none' end
varn.on('start', function() print('start') end)
varn.on('stop', function() print('stop') end)
varn.on('join', function(player) print('join', p(player), player.score, player.ping, player.idle, player.inVehicle) end)
varn.on('leave', function(player, reason) print('leave', p(player), reason) end)
varn.on('chat', function(player, text, kind) print('chat', p(player), text, kind) end)
varn.on('death', function(victim, killer) print('death', p(victim), p(killer)) end)
varn.on('kill', function(killer, victim) print('kill', p(killer), p(victim)) end)
varn.on('second', function(now) print('second', now) end)
varn.on('banadded', function(entry, by, automatic) print('banadded', entry, by, automatic) end)
varn.on('banremoved', function(entry, by) print('banremoved', entry, by) end)
varn.on('adminlogin', function(who) print('adminlogin', who.id, who.name, who.ip) end)
varn.on('adminsay', function(who, text) print('adminsay', who.id, who.name, text) end)
)";

TEST_F(ScriptGameTest, EveryEventReachesScriptsWithItsValues) {
    ASSERT_TRUE(startWithScript(kEventPrinter)) << loadError;
    server->notifyServerStarted();
    join(alice, "alice");
    join(bob, "bob");
    receiveGame(alice, chatDatagram(1, "hello all"));
    receiveGame(bob, {11, 0});    // bob died, killed by alice
    receiveGame(alice, {11, 9});  // alice died, no player 9
    clock.advanceSeconds(1);
    server->notifySecondPassed();
    server->notifyBanAdded(BanAdded{"10.0.0.*", Actor{Actor::Kind::Administrator, "boss"}, false});
    server->notifyBanRemoved(BanRemoved{"10.0.0.*", Actor{Actor::Kind::Script, "other.lua"}});
    server->notifyAdministratorLoggedIn(AdministratorLoggedIn{5, "boss", "127.0.0.100"});
    server->notifyAdministratorSaid(AdministratorSaid{5, "boss", "hi players", "127.0.0.100"});
    receiveGame(bob, {2});
    server->notifyServerStopping();

    const std::string second = std::to_string(clock.monotonicSeconds());
    EXPECT_EQ(linesStartingWith("SCRIPT"),
              (std::vector<std::string>{
                  "SCRIPT: test.lua: start",
                  "SCRIPT: test.lua: join 0:alice:127.0.0.2 0 0 0 false",
                  "SCRIPT: test.lua: join 1:bob:127.0.0.3 0 0 0 false",
                  "SCRIPT: test.lua: chat 0:alice:127.0.0.2 hello all 1",
                  "SCRIPT: test.lua: death 1:bob:127.0.0.3 0:alice:127.0.0.2",
                  "SCRIPT: test.lua: kill 0:alice:127.0.0.2 1:bob:127.0.0.3",
                  "SCRIPT: test.lua: death 0:alice:127.0.0.2 none",
                  "SCRIPT: test.lua: second " + second,
                  "SCRIPT: test.lua: banadded 10.0.0.* admin:boss false",
                  "SCRIPT: test.lua: banremoved 10.0.0.* script:other.lua",
                  "SCRIPT: test.lua: adminlogin 5 boss 127.0.0.100",
                  "SCRIPT: test.lua: adminsay 5 boss hi players",
                  "SCRIPT: test.lua: leave 1:bob:127.0.0.3 quit",
                  "SCRIPT: test.lua: stop",
              }));
}

// An error in any handler is logged with the file and line, and the game goes on as without scripts.
TEST_F(ScriptGameTest, AnErrorInAHandlerIsLoggedAndTheGameGoesOn) {
    ASSERT_TRUE(startWithScript("for _, name in ipairs({'join', 'chat', 'leave', 'death'}) do\n"
                                "  varn.on(name, function() error(name .. ' failed') end)\n"
                                "end\n"
                                "varn.decide('chat', function() local x = nil; return x.field end)\n"))
        << loadError;
    join(alice, "alice");
    receiveGame(bob, joinDatagram("bob"));
    receiveGame(alice, chatDatagram(1, "still relayed"));
    EXPECT_EQ(gameSentTo(bob).back(), chatRelay(0, 1, "still relayed"));
    receiveGame(alice, {11, 1});
    receiveGame(alice, {2});
    const std::string file = settings.scripts.files[0];
    const std::vector<std::string> errors = linesStartingWith("SCRIPT-ERROR");
    ASSERT_EQ(errors.size(), 6u);
    EXPECT_EQ(errors[0], "SCRIPT-ERROR: test.lua: join handler: " + file + ":2: join failed");
    EXPECT_EQ(errors[2], "SCRIPT-ERROR: test.lua: chat handler: " + file + ":2: chat failed");
    EXPECT_EQ(errors[3], "SCRIPT-ERROR: test.lua: chat decision: " + file + ":4: attempt to index a nil value (local 'x')");
    EXPECT_EQ(errors[4], "SCRIPT-ERROR: test.lua: death handler: " + file + ":2: death failed");
    EXPECT_EQ(errors[5], "SCRIPT-ERROR: test.lua: leave handler: " + file + ":2: leave failed");
    EXPECT_EQ(players.size(), 1);
}

// A suicide reaches the kill handlers too, with the killer the victim; their third argument tells it.
TEST_F(ScriptGameTest, KillHandlersTellASuicideFromAKill) {
    ASSERT_TRUE(startWithScript("varn.on('kill', function(killer, victim, suicide)\n"
                                "  print('kill', killer.name, victim.name, suicide)\n"
                                "end)\n"))
        << loadError;
    join(alice, "alice");
    join(bob, "bob");
    const struct {
        PeerAddress reporter;
        std::uint8_t killer;
        const char* line;
    } cases[] = {
        {alice, 0, "SCRIPT: test.lua: kill alice alice true"},
        {bob, 0, "SCRIPT: test.lua: kill alice bob false"},
        {alice, 1, "SCRIPT: test.lua: kill bob alice false"},
        {bob, 1, "SCRIPT: test.lua: kill bob bob true"},
    };
    for (const auto& death : cases) {
        log.clear();
        receiveGame(death.reporter, {11, death.killer});
        EXPECT_EQ(linesStartingWith("SCRIPT"), std::vector<std::string>{death.line});
    }
}

// An error in a command names the command as it was typed.
TEST_F(ScriptGameTest, ACommandErrorNamesItsCommand) {
    ASSERT_TRUE(startWithScript("varn.command('rank', function() error('no rank') end)\n"
                                "varn.adminCommand('reset', function() error('no reset') end)\n"))
        << loadError;
    adminServer->administrators().add(admin, "boss");
    join(alice, "alice");
    receiveGame(alice, chatDatagram(1, "/rank me"));
    receiveAdmin(admin, {3, 0, '!', 'r', 'e', 's', 'e', 't', 0});
    const std::string file = settings.scripts.files[0];
    EXPECT_EQ(linesStartingWith("SCRIPT-ERROR"),
              (std::vector<std::string>{"SCRIPT-ERROR: test.lua: command /rank: " + file + ":1: no rank",
                                        "SCRIPT-ERROR: test.lua: command !reset: " + file + ":2: no reset"}));
}

// A join a script refuses leaves a line naming the script and its answer; a script that lets it
// pass, and a join no script refuses, leave none.
TEST_F(ScriptGameTest, AJoinRefusedByAScriptIsLoggedWithTheScript) {
    ASSERT_TRUE(startWithScripts(
        {write("a.lua", "varn.decide('join', function(request) if request.name == 'eve' then return 'maybe' end end)"),
         write("b.lua", "varn.decide('join', function(request) if request.name ~= 'alice' then return 'banned' end end)")}))
        << loadError;
    join(alice, "alice");
    receiveGame(carol, joinDatagram("eve"));
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{bytesOf({6, 1})});
    EXPECT_EQ(players.size(), 1);
    EXPECT_EQ(linesStartingWith("SCRIPT"),
              std::vector<std::string>{"SCRIPT: b.lua: refused the join of 'eve' from '127.0.0.4': banned."});
}

TEST_F(ScriptGameTest, ActionsSendTheRelayBytesAndWriteTheRemovalLines) {
    ASSERT_TRUE(startWithScript(R"(
varn.command('hello', function(player, rest) varn.send(player, 'hi ' .. player.name .. '\1\200') end)
varn.command('all', function(player, rest) varn.broadcast(string.rep('x', 200)) end)
varn.command('kick', function(player, rest, words) print('kick', varn.kick(tonumber(words[1]))) end)
varn.command('ban', function(player, rest, words)
  print('ban', varn.ban(tonumber(words[1]), tonumber(words[2]), words[3]))
end)
)")) << loadError;
    adminServer->administrators().add(admin, "boss");
    join(alice, "alice");
    join(bob, "bob");
    join(carol, "carol");

    receiveGame(alice, chatDatagram(1, "/hello"));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(255, 0, "hi alice??")});
    EXPECT_TRUE(gameSentTo(bob).empty());
    network.sent.clear();

    receiveGame(bob, chatDatagram(1, "/all"));
    const Bytes all = chatRelay(255, 0, std::string(126, 'x'));
    for (const PeerAddress& who : {alice, bob, carol}) EXPECT_EQ(gameSentTo(who), std::vector<Bytes>{all});
    EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{all});
    network.sent.clear();

    receiveGame(alice, chatDatagram(1, "/kick 1"));
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{bytesOf({6, 3})});
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{bytesOf({9, 1, 1})});
    EXPECT_EQ(linesStartingWith("KICKED"), std::vector<std::string>{"KICKED: 'bob', PlayerID = 1 by Script test.lua"});
    network.sent.clear();

    clock.setSeconds(1'800'000'000);
    receiveGame(alice, chatDatagram(1, "/ban 2 90 spam"));
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{bytesOf({6, 1})});
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{bytesOf({9, 1, 2})});
    EXPECT_EQ(linesStartingWith("BANNED"),
              std::vector<std::string>{"BANNED: 'carol', PlayerID = 2 by Script test.lua until 2027-01-15T09:30:00Z (spam)"});
    ASSERT_EQ(bans.entries().size(), 1u);
    EXPECT_TRUE(bans.isBannedAddress(carol));

    receiveGame(alice, chatDatagram(1, "/kick 7"));
    EXPECT_EQ(linesStartingWith("SCRIPT:"),
              (std::vector<std::string>{"SCRIPT: test.lua: kick true", "SCRIPT: test.lua: ban true",
                                        "SCRIPT: test.lua: kick false"}));
}

TEST_F(ScriptGameTest, DecisionsRefuseAJoinAndSwallowAChatText) {
    ASSERT_TRUE(startWithScript(R"(
varn.decide('join', function(request) if request.name == 'mallory' then return 'full' end end)
varn.decide('chat', function(player, text) if text:find('secret', 1, true) then return 'swallow' end end)
)")) << loadError;
    join(alice, "alice");
    receiveGame(carol, joinDatagram("mallory"));
    EXPECT_EQ(gameSentTo(carol), std::vector<Bytes>{bytesOf({6, 7})});
    EXPECT_EQ(players.size(), 1);
    join(bob, "bob");

    receiveGame(alice, chatDatagram(1, "a secret plan"));
    receiveGame(alice, chatDatagram(1, "open words"));
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{chatRelay(0, 1, "open words")});
    EXPECT_EQ(linesStartingWith("---> "),
              (std::vector<std::string>{"---> alice: a secret plan", "---> alice: open words"}));
}

TEST_F(ScriptGameTest, CommandsReachTheirScriptAndStaySwallowed) {
    ASSERT_TRUE(startWithScripts(
        {write("a.lua", "varn.command('top', function(player, rest, words) print(player.name, rest, #words, words[2]) end)"),
         write("b.lua", "varn.adminCommand('warn', function(who, rest) print(who.name, rest) end)")}))
        << loadError;
    adminServer->administrators().add(admin, "boss");
    join(alice, "alice");
    join(bob, "bob");
    receiveGame(alice, chatDatagram(1, "/top  three  words here"));
    receiveGame(alice, chatDatagram(1, "/unknown"));
    EXPECT_TRUE(gameSentTo(bob).empty());

    receiveAdmin(admin, {3, 0, '!', 'w', 'a', 'r', 'n', ' ', 'b', 'o', 'b', 0});
    EXPECT_TRUE(gameSentTo(bob).empty()) << "a say taken as a command is not relayed";
    receiveAdmin(admin, {3, 0, '!', 'n', 'o', 0});
    EXPECT_EQ(gameSentTo(bob).size(), 1u) << "a say no script takes is relayed";
    EXPECT_EQ(linesStartingWith("SCRIPT"), (std::vector<std::string>{"SCRIPT: a.lua: alice three  words here 3 words",
                                                                    "SCRIPT: b.lua: boss bob"}));
}

// An administrator reaches every handler with the same table: id, name and address.
TEST_F(ScriptGameTest, AdministratorsCarryTheirAddressToEveryHandler) {
    ASSERT_TRUE(startWithScript(R"(
varn.on('adminsay', function(who, text) print('say', who.id, who.name, who.ip, text) end)
varn.adminCommand('where', function(who) print('command', who.id, who.name, who.ip) end)
)")) << loadError;
    adminServer->administrators().add(admin, "boss");
    receiveAdmin(admin, {3, 0, '!', 'w', 'h', 'e', 'r', 'e', 0});
    EXPECT_EQ(linesStartingWith("SCRIPT"), (std::vector<std::string>{"SCRIPT: test.lua: say 0 boss 127.0.0.100 !where",
                                                                    "SCRIPT: test.lua: command 0 boss 127.0.0.100"}));
}

TEST_F(ScriptGameTest, ACommandNameTakenTwiceStopsTheLoad) {
    EXPECT_FALSE(startWithScripts({write("a.lua", "varn.command('top', function() end)"),
                                   write("b.lua", "\n\nvarn.command('top', function() end)")}));
    EXPECT_EQ(loadError, "main chunk: " + (folder() / "b.lua").string() + ":3: the command 'top' is registered twice");
}

// A reload keeps the players connected and hands the new scripts the players present; one that fails
// keeps the running scripts.
TEST_F(ScriptGameTest, AReloadKeepsPlayersAndAFailedOneKeepsTheRunningScripts) {
    const std::string path = write("test.lua", "varn.command('v', function(p) varn.send(p, 'one') end)");
    ASSERT_TRUE(startWithScripts({path})) << loadError;
    join(alice, "alice");
    join(bob, "bob");

    write("test.lua", "varn.command('v', function(p) varn.send(p, 'two') end)\n"
                      "varn.on('loaded', function(players) print('loaded', #players, players[2].name) end)");
    ASSERT_TRUE(host->reload());
    receiveGame(alice, chatDatagram(1, "/v"));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(255, 0, "two")});
    EXPECT_EQ(players.size(), 2);

    write("test.lua", "varn.command('v', function(p) varn.send(p, 'three') end)\nthis is not lua");
    EXPECT_FALSE(host->reload());
    network.sent.clear();
    receiveGame(alice, chatDatagram(1, "/v "));
    EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{chatRelay(255, 0, "two")});
    const std::vector<std::string> lines = linesStartingWith("S");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "SERVER: Reloaded scripts: test.lua.");
    EXPECT_EQ(lines[1], "SCRIPT: test.lua: loaded 2 bob");
    EXPECT_EQ(lines[2], "SERVER-WARNING: Scripts not reloaded, the running ones stay: " + path +
                            ":2: syntax error near 'is'");
}

// The store is written when changed, at most every 10 seconds, and read back by the next start.
TEST_F(ScriptGameTest, TheStoreSurvivesARestartAndAFailedSave) {
    const std::string script = R"(
varn.command('set', function(p, rest, words) varn.store.set(words[1], tonumber(words[2]) or words[2]) end)
varn.command('get', function(p, rest) print(rest, varn.store.get(rest), type(varn.store.get(rest))) end)
varn.command('big', function(p) print(pcall(varn.store.set, 'big', string.rep('z', 70000))) end)
)";
    FaultyFileSystem faulty;
    files = &faulty;
    ASSERT_TRUE(startWithScript(script)) << loadError;
    join(alice, "alice");
    receiveGame(alice, chatDatagram(1, "/set visits 41"));
    // Named after the script's path.
    const std::filesystem::path store = host->script(0).store().path();
    EXPECT_EQ(store.parent_path(), folder() / "data");
    EXPECT_FALSE(std::filesystem::exists(store));
    tasks.advance(10'000);
    ASSERT_TRUE(std::filesystem::exists(store));
    const std::string saved = fileText(store);

    // A save cut short before its rename (as by kill -9) leaves the last saved store.
    receiveGame(alice, chatDatagram(1, "/set visits many"));
    faulty.fail(FaultyFileSystem::Step::Rename, EIO);
    tasks.advance(10'000);
    EXPECT_EQ(fileText(store), saved);
    faulty.heal();
    receiveGame(alice, chatDatagram(1, "/big"));

    ASSERT_TRUE(loadScripts()) << loadError;
    receiveGame(alice, chatDatagram(1, "/get visits"));
    const std::vector<std::string> lines = linesStartingWith("SCRIPT");
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("SCRIPT-ERROR: test.lua: the store '" + store.string() + "' could not be saved"));
    EXPECT_EQ(lines[1], "SCRIPT: test.lua: false varn.store.set: the store would be over 65536 bytes");
    EXPECT_EQ(lines.back(), "SCRIPT: test.lua: visits many string") << "saved at shut-down of the old host";
}

TEST_F(ScriptGameTest, TimersRunAfterAndEverySecondsUntilCancelled) {
    ASSERT_TRUE(startWithScript(R"(
local ticks = 0
varn.after(2.5, function() print('after') end)
local every
every = varn.every(1, function() ticks = ticks + 1; print('tick', ticks); if ticks == 3 then varn.cancel(every) end end)
)")) << loadError;
    tasks.advance(10'000);
    EXPECT_EQ(linesStartingWith("SCRIPT"),
              (std::vector<std::string>{"SCRIPT: test.lua: tick 1", "SCRIPT: test.lua: tick 2", "SCRIPT: test.lua: after",
                                        "SCRIPT: test.lua: tick 3"}));
    EXPECT_EQ(tasks.count(), 1u) << "only the store's save is left";
}

// No line of a script can pass for another line: its prefix, '?' for control bytes, at most 10 a
// second, the rest counted once a minute.
TEST_F(ScriptGameTest, LogLinesAreMarkedFilteredAndRateLimited) {
    ASSERT_TRUE(startWithScript("varn.on('second', function()\n"
                                "  for i = 1, 15 do print('line\\n' .. i) end\n"
                                "  warn('KICKED: ', 'x')\n"
                                "end)"))
        << loadError;
    clock.advanceSeconds(1);
    server->notifySecondPassed();
    std::vector<std::string> lines = linesStartingWith("SCRIPT");
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "SCRIPT: test.lua: line?1");
    EXPECT_EQ(lines[9], "SCRIPT: test.lua: line?10");
    log.clear();
    clock.advanceSeconds(60);
    server->notifySecondPassed();
    lines = linesStartingWith("SCRIPT");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "SCRIPT-ERROR: test.lua: 6 log lines held back in the last minute (at most 10 lines a second).");
}

}  // namespace
}  // namespace varn::testing

namespace varn::testing {
namespace {

// Admin request 33: unanswered without scripts, [33][1] when the new scripts run, [33][0] when the
// running ones stay.
TEST_F(ScriptGameTest, AdminRequestReloadsTheScripts) {
    const std::string path = write("test.lua", "print('loaded')");
    ASSERT_TRUE(startWithScripts({path})) << loadError;
    adminServer->administrators().add(admin, "boss");
    receiveAdmin(admin, {33});
    EXPECT_TRUE(adminSentTo(admin).empty());

    adminServer->setScriptReload([this] { return host->reload(); });
    receiveAdmin(admin, {33});
    write("test.lua", "not lua at all");
    receiveAdmin(admin, {33});
    EXPECT_EQ(adminSentTo(admin), (std::vector<Bytes>{bytesOf({33, 1}), bytesOf({33, 0})}));
}

}  // namespace
}  // namespace varn::testing
