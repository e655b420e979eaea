#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "access/KnownAdministrators.h"
#include "platform/Files.h"
#include "support/FileText.h"
#include "support/GameServerFixture.h"
#include "support/TemporaryDirectory.h"

namespace varn {
namespace {

namespace fs = std::filesystem;

using testing::bytesOf;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// The welcome header of the fixture's server (Game 2, GameMode 1, MaxPlayers 4) for a given id.
Bytes welcomeHeader(std::uint8_t id) {
    return bytesOf({1, 2, 1, id, 4, 0x21, 0x0E, 0x0C, 0x49, 0xA0, 0x69, 0x38, 0xE6, 0x14, 0x58, 0x8D, 0x11});
}

Bytes withText(Bytes head, std::string_view text, bool terminated) {
    head.insert(head.end(), text.begin(), text.end());
    if (terminated) head.push_back(0);
    return head;
}

// An admin datagram: the id, then a text, NUL-terminated unless told otherwise.
Bytes request(std::uint8_t id, std::string_view text = {}, bool terminated = true) {
    return withText({id}, text, terminated);
}

Bytes joinDatagram(std::string_view name, std::string_view password, std::uint8_t version = 25) {
    return withText({13, version}, std::string(name) + "|" + std::string(password), true);
}

// The server runs in a scratch directory of its own (motd.txt, the ban file) with the admin
// password "secret".
class AdminProtocolTest : public testing::GameServerFixture {
protected:
    void SetUp() override {
        GameServerFixture::SetUp();
        directory_ = testing::makeTemporaryDirectory("varn-admin-");
        ASSERT_FALSE(directory_.empty());
        previous_ = fs::current_path();
        fs::current_path(directory_);
        configure("AdminPassword secret\n");
    }

    void TearDown() override {
        GameServerFixture::TearDown();
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    // Starts the server with a ban file holding the given lines.
    void startWithBanFile(const std::string& content) {
        writeFile("banned.txt", content);
        start();
        ASSERT_TRUE(bans.load((directory_ / "banned.txt").string()));
    }

    void writeFile(const std::string& name, const std::string& content) const {
        std::ofstream(directory_ / name, std::ios::binary) << content;
    }
    std::string readFile(const std::string& name) const {
        std::ifstream in(directory_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Logs an admin in and forgets what that sent and logged.
    std::int32_t login(const PeerAddress& from, const std::string& name) {
        receiveAdmin(from, joinDatagram(name, "secret"));
        const std::int32_t id = adminServer->administrators().findByAddress(from);
        EXPECT_GE(id, 0) << "admin " << name << " was not let in";
        network.clearSent();
        log.clear();
        return id;
    }

    fs::path directory_;
    fs::path previous_;
};

TEST_F(AdminProtocolTest, JoinRefusalsComeInTheirOrder) {
    struct Case {
        const char* name;
        PeerAddress from;
        Bytes datagram;
        Bytes answer;
        Lines lines;
    };
    startWithBanFile("127.0.0.66\n");
    login(peer(2, 6000), "Boss");
    const Case cases[] = {
        {"already an admin, before the ban and the version", peer(2, 6000), joinDatagram("x", "", 24), {6, 2},
         {}},
        {"banned, before the version", peer(66), joinDatagram("Boss", "secret", 24), {6, 1}, {}},
        {"version 24", peer(3), joinDatagram("Other", "secret", 24), {6, 6}, {}},
        {"no version byte at all", peer(3), {13}, {6, 6}, {}},
        {"name of a connected admin in other letter case, before the password", peer(2, 6001),
         joinDatagram("bOSS", "wrong"), {6, 0}, {}},
        {"wrong password", peer(3), joinDatagram("Other", "Secret"), {6, 4},
         {"ADMIN-ERROR Unable to add: 'Other' password is incorrect."}},
        {"14 letters: the 14th stands for the bar, the password starts at the bar", peer(3),
         joinDatagram("ABCDEFGHIJKLMN", "secret"), {6, 4},
         {"ADMIN-ERROR Unable to add: 'ABCDEFGHIJKLM' password is incorrect."}},
        {"name without a bar: no password", peer(3), request(13, "\x19Other", false), {6, 4},
         {"ADMIN-ERROR Unable to add: 'Other' password is incorrect."}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        network.clearSent();
        log.clear();
        receiveAdmin(testCase.from, testCase.datagram);
        ASSERT_EQ(network.sent.size(), 1u);
        EXPECT_EQ(network.sent[0].socket, 1);
        EXPECT_EQ(network.sent[0].peer, testCase.from);
        EXPECT_EQ(network.sent[0].bytes, testCase.answer);
        EXPECT_EQ(log.lines(), testCase.lines);
        EXPECT_EQ(adminServer->administrators().size(), 1);
    }
}

// The loop queues sends per socket and flushes the game socket's queue first; an administrator's
// client waits for the welcome (admin socket) and drops a message of the day (game socket) that
// comes before it.
TEST_F(AdminProtocolTest, BatchedSendsStillDeliverTheWelcomeBeforeTheMotd) {
    start();
    writeFile("motd.txt", "Hi\n");
    ASSERT_TRUE(server->loadMessageOfTheDay());
    gameEndpoint->setBatchedSends(true);
    adminEndpoint->setBatchedSends(true);
    const PeerAddress player = peer(20), administrator = peer(2, 6000);
    receiveGame(player, withText({1, 24}, "alice|", true));  // a player joins in the same batch
    receiveAdmin(administrator, joinDatagram("boss", "secret"));
    gameEndpoint->flush();
    adminEndpoint->flush();

    std::vector<int> toAdministrator;  // the sockets, in the order the datagrams went out
    for (const auto& datagram : network.sent) {
        if (datagram.peer == administrator) toAdministrator.push_back(datagram.socket);
    }
    // The welcome (admin socket), then the text (game socket).
    EXPECT_EQ(toAdministrator, (std::vector<int>{1, 0}));
    ASSERT_EQ(gameSentTo(administrator).size(), 1u);
    EXPECT_EQ(gameSentTo(administrator)[0], bytesOf({21, 'H', 'i', 0}));
    ASSERT_FALSE(gameSentTo(player).empty());
    EXPECT_EQ(gameSentTo(player)[0][0], 1) << "the player's welcome went out";
}

TEST_F(AdminProtocolTest, JoinWelcomesOverTheAdminPortListingEveryPlayerThenTheMotd) {
    start();
    players.add(peer(20), "alice");
    players.add(peer(21), "");  // a nameless record is never listed
    players.add(peer(22), "Bob");
    players.setScore(2, 300);
    writeFile("motd.txt", "Hi\n");
    ASSERT_TRUE(server->loadMessageOfTheDay());
    log.clear();

    const PeerAddress first = peer(2, 6000);
    receiveAdmin(first, joinDatagram("ThirteenChars", "secret"));
    EXPECT_EQ(log.lines(), Lines{"ADMIN-JOIN: 'ThirteenChars', ID = 0 (127.0.0.2)"});
    Bytes welcome = welcomeHeader(0);
    for (const int byte : {0, 0, 0, int{'a'}, int{'l'}, int{'i'}, int{'c'}, int{'e'}, 7,  // id 0, score 0
                           2, 0x2C, 0x01, int{'B'}, int{'o'}, int{'b'}, 7}) {          // id 2, score 300
        welcome.push_back(static_cast<std::uint8_t>(byte));
    }
    ASSERT_EQ(adminSentTo(first).size(), 1u);
    EXPECT_EQ(adminSentTo(first)[0], welcome);
    EXPECT_EQ(gameSentTo(first), std::vector<Bytes>{bytesOf({21, 'H', 'i', 0})});
    EXPECT_EQ(network.sent.size(), 2u) << "the players hear nothing of an admin join";

    // Ids are the admin table's own, lowest free first; an empty name is a name.
    receiveAdmin(peer(2, 6001), joinDatagram("", "secret"));
    receiveAdmin(peer(3), request(2));  // not an admin: ignored
    receiveAdmin(first, request(2));
    network.clearSent();
    receiveAdmin(peer(4), joinDatagram("again", "secret"));
    ASSERT_FALSE(adminSentTo(peer(4)).empty());
    EXPECT_EQ(adminSentTo(peer(4))[0][3], 0);
    EXPECT_EQ(adminServer->administrators().nameOf(1), std::optional<std::string>(""));
}

TEST_F(AdminProtocolTest, OnlyKnownIdsFromAdminsAreServedButEveryDatagramKeepsAnAdminAlive) {
    startWithBanFile("1.2.3.4\n");
    const PeerAddress boss = peer(2);
    const std::int32_t id = login(boss, "boss");
    const int ignored[] = {0, 1, 4, 6, 7, 8, 9, 10, 11, 12, 19, 20, 21, 22, 23, 24, 25, 33, 127, -128, -1};
    for (const int commandId : ignored) {
        SCOPED_TRACE(commandId);
        adminServer->administrators().setIdle(id, 9);
        receiveAdmin(boss, bytesOf({commandId, 1, 2, 3}));
        EXPECT_EQ(adminServer->administrators().find(id)->idleSeconds, 0);
        EXPECT_TRUE(network.sent.empty());
    }
    adminServer->administrators().setIdle(id, 9);
    receiveAdmin(boss, {5});
    EXPECT_EQ(adminServer->administrators().find(id)->idleSeconds, 0);

    // From anybody else only the join is served; the admin on another port is somebody else.
    for (const int commandId : {2, 3, 5, 14, 15, 16, 17, 18, 26, 27, 28, 29, 30, 31, 32}) {
        SCOPED_TRACE(commandId);
        receiveAdmin(peer(2, 5001), request(static_cast<std::uint8_t>(commandId), "1.2.3.4"));
    }
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(bans.entries(), std::vector<std::string>{"1.2.3.4"});
}

TEST_F(AdminProtocolTest, QuitIsLoggedAndAnswersNothing) {
    start();
    login(peer(2), "first");
    const std::int32_t id = login(peer(3), "second");
    receiveAdmin(peer(3), request(2));
    EXPECT_EQ(log.lines(), Lines{"ADMIN-QUIT: 'second', ID = 1"});
    EXPECT_FALSE(adminServer->administrators().exists(id));
    EXPECT_TRUE(network.sent.empty());
}

TEST_F(AdminProtocolTest, SayReachesEveryPlayerAndEveryAdminWithTheAdminsId) {
    start();
    const PeerAddress alice = peer(20), bob = peer(21), other = peer(3);
    players.add(alice, "alice");
    players.add(bob, "bob");
    login(peer(2), "first");
    const std::int32_t id = login(other, "Second");
    ASSERT_EQ(id, 1);

    receiveAdmin(other, withText({3, 5}, "hello all", true));
    const Bytes relay = withText({3, 1, 5}, "hello all", true);
    for (const PeerAddress& player : {alice, bob}) EXPECT_EQ(gameSentTo(player), std::vector<Bytes>{relay});
    for (const PeerAddress& admin : {peer(2), other}) {
        EXPECT_EQ(adminSentTo(admin), std::vector<Bytes>{relay});
    }
    EXPECT_EQ(network.sent.size(), 4u);
    EXPECT_EQ(log.lines(), Lines{"***> Second: hello all"});

    // A datagram over 129 bytes is used up to 129 of them: 127 text bytes, no NUL.
    network.clearSent();
    log.clear();
    receiveAdmin(other, withText({3, 5}, std::string(200, 'x'), true));
    ASSERT_EQ(gameSentTo(alice).size(), 1u);
    EXPECT_EQ(gameSentTo(alice)[0], withText({3, 1, 5}, std::string(127, 'x'), false));
    EXPECT_EQ(log.lines(), Lines{"***> Second: " + std::string(127, 'x')});

    // Without chat logging nothing is logged; a bare [3] still goes out as it came.
    settings.logChat = false;
    network.clearSent();
    log.clear();
    receiveAdmin(other, {3});
    EXPECT_EQ(gameSentTo(bob), std::vector<Bytes>{bytesOf({3, 1})});
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AdminProtocolTest, KickAndBanRemoveThePlayerAndTellEverybody) {
    struct Case {
        const char* name;
        std::uint8_t commandId;
        Bytes notice;
        std::string line;
        std::string banFile;
    };
    const Case cases[] = {
        {"kick", 14, {6, 3}, "KICKED: 'victim', PlayerID = 1 by Admin boss", "9.9.9.9\n"},
        {"ban", 15, {6, 1}, "BANNED: 'victim', PlayerID = 1 by Admin boss", "9.9.9.9\n127.0.0.21\n"},
    };
    startWithBanFile(testing::asFileText("9.9.9.9\n"));
    const PeerAddress bystander = peer(20), victim = peer(21), boss = peer(2);
    players.add(bystander, "stays");
    login(boss, "boss");
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_EQ(players.add(victim, "victim"), 1);
        receiveAdmin(boss, {testCase.commandId, 1});
        EXPECT_EQ(log.lines(), Lines{testCase.line});
        EXPECT_EQ(gameSentTo(victim), std::vector<Bytes>{testCase.notice});
        EXPECT_EQ(gameSentTo(bystander), std::vector<Bytes>{bytesOf({9, 1, 1})});
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({9, 1, 1})});
        EXPECT_EQ(network.sent.size(), 3u);
        EXPECT_FALSE(players.exists(1));
        EXPECT_EQ(readFile("banned.txt"), testing::asFileText(testCase.banFile));

        // An id nobody has, and a datagram without its id byte, do nothing.
        network.clearSent();
        log.clear();
        receiveAdmin(boss, {testCase.commandId, 7});
        receiveAdmin(boss, {testCase.commandId});
        EXPECT_TRUE(network.sent.empty());
        EXPECT_TRUE(log.lines().empty());
        EXPECT_TRUE(players.exists(0));
        EXPECT_EQ(readFile("banned.txt"), testing::asFileText(testCase.banFile));
    }
    EXPECT_TRUE(bans.isBannedAddress(peer(21, 9999))) << "a ban takes the address, whatever the port";
}

TEST_F(AdminProtocolTest, UnbanRemovesOnlyAnEqualEntryAndCutsItsTextAt31) {
    const std::string longEntry = "1234567890123456789012345678901";  // 31 characters
    startWithBanFile(testing::asFileText("10.0.0.0\n1.2.3.4\n" + longEntry + "\n"));
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    struct Case {
        const char* name;
        Bytes datagram;
        std::uint8_t answer;
        Lines lines;
        std::string banFile;
    };
    const Case cases[] = {
        {"an address inside a range", request(16, "10.0.0.5"), 0, {},
         "10.0.0.0\n1.2.3.4\n" + longEntry + "\n"},
        {"the range by its own text", request(16, "10.0.0.0"), 1,
         {"ADMIN: Admin boss deleted banned IP '10.0.0.0'"},
         "1.2.3.4\n" + longEntry + "\n"},
        {"ended by the end of the datagram", request(16, "1.2.3.4", false), 1,
         {"ADMIN: Admin boss deleted banned IP '1.2.3.4'"}, longEntry + "\n"},
        {"longer than 31: its first 31 name the entry", request(16, longEntry + "999"), 1,
         {"ADMIN: Admin boss deleted banned IP '" + longEntry + "'"}, ""},
        {"no text at all", {16}, 0, {}, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        network.clearSent();
        log.clear();
        receiveAdmin(boss, testCase.datagram);
        EXPECT_EQ(network.sent.size(), 1u);
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({16, testCase.answer})});
        EXPECT_EQ(log.lines(), testCase.lines);
        EXPECT_EQ(readFile("banned.txt"), testing::asFileText(testCase.banFile));
    }
}

TEST_F(AdminProtocolTest, BanListReplyHoldsWholeEntriesUpTo1024Bytes) {
    start();
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    receiveAdmin(boss, {17});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({17})});

    bans.add("1.2.3.4");
    bans.add("10.0.0.0");
    network.clearSent();
    receiveAdmin(boss, {17});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{request(17, "1.2.3.4|10.0.0.0|", false)});

    // 1 + 63 * 16 + 15 bytes fill the reply exactly; the next entry, however short, is left out.
    bans.remove("1.2.3.4");
    bans.remove("10.0.0.0");
    std::string expected;
    for (int index = 0; index < 63; ++index) {
        bans.add("100.100.100." + std::to_string(100 + index));
        expected += bans.entries().back() + "|";
    }
    bans.add("10.10.10.10.10");
    bans.add("5");
    network.clearSent();
    receiveAdmin(boss, {17});
    ASSERT_EQ(adminSentTo(boss).size(), 1u);
    EXPECT_EQ(adminSentTo(boss)[0], request(17, expected + "10.10.10.10.10|", false));
    EXPECT_EQ(adminSentTo(boss)[0].size(), 1024u);
}

TEST_F(AdminProtocolTest, AddBanKeepsDigitsAndDotsOfTheFirst20Bytes) {
    startWithBanFile("");
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    struct Case {
        const char* name;
        Bytes datagram;
        std::uint8_t answer;
        std::string added;  // "" when refused
    };
    const Case cases[] = {
        {"five characters are too few", request(28, "1.2.3"), 0, ""},
        {"a range", request(28, "192.168.0.0"), 1, "192.168.0.0"},
        {"letters are dropped", request(28, "a1.b2.c3.d4"), 1, "1.2.3.4"},
        {"ended by the end of the datagram", request(28, "4.3.2.1", false), 1, "4.3.2.1"},
        {"only the first 20 bytes are read", request(28, std::string(14, 'x') + "1.2.3.4"), 0, ""},
        {"exactly 7 within 20 bytes", request(28, std::string(13, 'x') + "1.2.3.4"), 1, "1.2.3.4"},
        {"no text", {28}, 0, ""},
        {"an empty text", request(28, ""), 0, ""},
    };
    std::string banFile;
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        network.clearSent();
        log.clear();
        receiveAdmin(boss, testCase.datagram);
        EXPECT_EQ(network.sent.size(), 1u);
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({28, testCase.answer})});
        if (!testCase.added.empty()) {
            banFile += testCase.added + "\n";
            EXPECT_EQ(log.lines(), Lines{"ADMIN: Admin boss added ban '" + testCase.added + "'"});
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
        EXPECT_EQ(readFile("banned.txt"), testing::asFileText(banFile));
    }
    EXPECT_TRUE(bans.isBanned("192.168.4.20"));
    EXPECT_FALSE(bans.isBanned("192.169.4.20"));
}

// Unban and add ban answer by the list in memory, which every change reaches; a save that fails is
// told by its own warning after the command's line, and the first save that works again says so.
TEST_F(AdminProtocolTest, BanCommandsAnswerByTheListInMemoryWhateverTheSaveGives) {
    start();
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    auto command = [&](const Bytes& datagram, const Bytes& answer, const Lines& lines) {
        network.clearSent();
        log.clear();
        receiveAdmin(boss, datagram);
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{answer});
        EXPECT_EQ(log.lines(), lines);
    };
    // The system's reason for a folder that is gone.
#if defined(_WIN32)
    std::string reason = std::system_category().message(3);  // ERROR_PATH_NOT_FOUND
    while (!reason.empty() && std::string_view(".\r\n ").find(reason.back()) != std::string_view::npos) {
        reason.pop_back();
    }
#else
    const std::string reason = std::generic_category().message(ENOENT);
#endif
    const std::string unableLine = "SERVER-WARNING: Unable to save the Banned IP list (" + reason + ").";

    {
        SCOPED_TRACE("no ban file was loaded: nothing is written and nothing warned");
        command(request(28, "1.2.3.4"), {28, 1}, {"ADMIN: Admin boss added ban '1.2.3.4'"});
        command(request(16, "1.2.3.4"), {16, 1}, {"ADMIN: Admin boss deleted banned IP '1.2.3.4'"});
        command(request(16, "1.2.3.4"), {16, 0}, {});
        EXPECT_TRUE(bans.entries().empty());
    }

    fs::create_directory(directory_ / "lists");
    writeFile("lists/banned.txt", "1.2.3.4\n");
    ASSERT_TRUE(bans.load((directory_ / "lists" / "banned.txt").string()));
    {
        SCOPED_TRACE("the ban file's folder is gone");
        fs::remove_all(directory_ / "lists");
        command(request(16, "1.2.3.4"), {16, 1},
                {unableLine, "ADMIN: Admin boss deleted banned IP '1.2.3.4'"});
        EXPECT_FALSE(bans.isBanned("1.2.3.4"));
    }
    {
        SCOPED_TRACE("the folder is back");
        fs::create_directory(directory_ / "lists");
        command(request(28, "5.6.7.8"), {28, 1},
                {"ADMIN: Admin boss added ban '5.6.7.8'", "SERVER: Banned IP list saved again."});
        EXPECT_EQ(readFile("lists/banned.txt"), testing::asFileText("5.6.7.8\n"));
    }
    {
        SCOPED_TRACE("gone again: a new run of failures is told at once");
        fs::remove_all(directory_ / "lists");
        command(request(28, "6.6.6.6"), {28, 1}, {"ADMIN: Admin boss added ban '6.6.6.6'", unableLine});
        EXPECT_TRUE(bans.isBanned("6.6.6.6"));
        EXPECT_EQ(bans.entries(), (std::vector<std::string>{"5.6.7.8", "6.6.6.6"}));
    }
}

TEST_F(AdminProtocolTest, PlayerAddressAnswersTheDottedTextWithoutTerminator) {
    start();
    players.add(peer(20), "a");
    players.add(PeerAddress::fromHostOrder(0xC0A8640Au, 7000), "b");
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    receiveAdmin(boss, {29, 1});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{request(29, "\x01" "192.168.100.10", false)});
    network.clearSent();
    receiveAdmin(boss, {29, 2});
    receiveAdmin(boss, {29});
    EXPECT_TRUE(network.sent.empty());
}

TEST_F(AdminProtocolTest, ServerPasswordChangesInMemoryAndIsNeverLogged) {
    configure("ServerPassword old\n");
    start();
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    struct Case {
        const char* name;
        Bytes datagram;
        std::uint8_t answer;
        std::string password;
    };
    const std::string longPassword(40, 'p');
    const Case cases[] = {
        {"changed", request(27, "n3w pass"), 1, "n3w pass"},
        {"an empty text changes nothing", request(27, ""), 0, "n3w pass"},
        {"no text changes nothing", {27}, 0, "n3w pass"},
        {"the first 32 bytes are used", request(27, longPassword), 1, longPassword.substr(0, 32)},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        network.clearSent();
        log.clear();
        receiveAdmin(boss, testCase.datagram);
        EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({27, testCase.answer})});
        EXPECT_EQ(settings.serverPassword, testCase.password);
        const Lines changed = {"PASSWORD: The Server Password was successfully changed."};
        EXPECT_EQ(log.lines(), testCase.answer == 1 ? changed : Lines{});
    }
    EXPECT_FALSE(server->passwordRequired()) << "the change does not switch the password check on";

    // Without the key there is nothing to change.
    settings.serverPassword.reset();
    network.clearSent();
    receiveAdmin(boss, request(27, "any"));
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({27, 0})});
    EXPECT_EQ(settings.serverPassword, std::nullopt);
}

TEST_F(AdminProtocolTest, ShutdownNeedsTwoAttemptsWithinFiveSeconds) {
    struct Step {
        int secondsLater;
        const char* admin;
        std::uint8_t answer;
        std::string line;
        bool stops;
    };
    struct Case {
        const char* name;
        const char* settings;
        std::vector<Step> steps;
    };
    const std::string first = "ADMIN-KILLSERVER: First Attempt was received from '";
    const std::string tooLate = "ADMIN-KILLSERVER: Too late on Second Attempt ... updating First Attempt.";
    const std::string second = "ADMIN-KILLSERVER: Second Attempt was received from '";
    const std::string killing = "' .... Killing Server.";
    const Case cases[] = {
        {"disabled", "AdminAllowShutdown 0\n",
         {{0, "one", 4, "ADMIN-KILLSERVER: Remote Shutdown has been disabled.", false},
          {1, "one", 4, "ADMIN-KILLSERVER: Remote Shutdown has been disabled.", false}}},
        {"two seconds apart, two admins", "AdminAllowShutdown 1\n",
         {{0, "one", 1, first + "one'.", false}, {2, "two", 3, second + "two" + killing, true}}},
        {"seven seconds apart re-arms, three later stops", "AdminAllowShutdown 1\n",
         {{0, "one", 1, first + "one'.", false},
          {7, "one", 2, tooLate, false},
          {3, "two", 3, second + "two" + killing, true}}},
        {"five seconds is too late, four is in time", "AdminAllowShutdown 1\n",
         {{0, "one", 1, first + "one'.", false},
          {5, "one", 2, tooLate, false},
          {4, "one", 3, second + "one" + killing, true}}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        configure(testCase.settings);
        start();
        const PeerAddress one = peer(2), two = peer(3);
        login(one, "one");
        login(two, "two");
        for (const Step& step : testCase.steps) {
            SCOPED_TRACE(step.secondsLater);
            clock.advanceSeconds(step.secondsLater);
            const PeerAddress& from = std::string_view(step.admin) == "one" ? one : two;
            network.clearSent();
            log.clear();
            receiveAdmin(from, {18});
            EXPECT_EQ(network.sent.size(), 1u);
            EXPECT_EQ(adminSentTo(from), std::vector<Bytes>{bytesOf({18, step.answer})});
            EXPECT_EQ(log.lines(), Lines{step.line});
            EXPECT_EQ(adminServer->shutdownRequested(), step.stops);
        }
        // A fresh server for the next case: nothing armed, new endpoints as sockets 0 and 1.
        stop();
        network.socketsCreated = 0;
    }
}

TEST_F(AdminProtocolTest, MotdReloadTakesTheFileAsItIsNowAndKeepsTheOldTextWhenItIsGone) {
    start();
    const PeerAddress boss = peer(2);
    login(boss, "boss");
    // The message as the next admin to join receives it over the game port.
    int joins = 0;
    auto motdOfNextJoin = [&]() {
        const PeerAddress next = peer(100, static_cast<std::uint16_t>(7000 + joins++));
        network.clearSent();
        receiveAdmin(next, joinDatagram("watcher" + std::to_string(joins), "secret"));
        return gameSentTo(next);
    };

    receiveAdmin(boss, {26});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({26, 0})});
    EXPECT_EQ(log.lines(), Lines{"ERROR: 'motd.txt' could not be opened for reading."});
    EXPECT_TRUE(motdOfNextJoin().empty());

    writeFile("motd.txt", "Welcome\n");
    network.clearSent();
    receiveAdmin(boss, {26});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({26, 1})});
    EXPECT_EQ(motdOfNextJoin(), std::vector<Bytes>{request(21, "Welcome")});

    // An emptied file is an empty message, not the old one.
    writeFile("motd.txt", "");
    network.clearSent();
    receiveAdmin(boss, {26});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({26, 1})});
    EXPECT_EQ(motdOfNextJoin(), std::vector<Bytes>{bytesOf({21, 0})});

    writeFile("motd.txt", "Second\n");
    receiveAdmin(boss, {26});
    fs::remove(directory_ / "motd.txt");
    network.clearSent();
    log.clear();
    receiveAdmin(boss, {26});
    EXPECT_EQ(adminSentTo(boss), std::vector<Bytes>{bytesOf({26, 0})});
    EXPECT_EQ(log.lines(), Lines{"ERROR: 'motd.txt' could not be opened for reading."});
    EXPECT_EQ(motdOfNextJoin(), std::vector<Bytes>{request(21, "Second")});
}

// Texts from the network reach the log and the console with every byte outside 0x20..0x7E shown as
// '?', so a name or a chat line cannot forge lines of its own; the wire carries them unchanged.
TEST_F(AdminProtocolTest, NetworkTextsReachTheLogWithControlBytesShownAsQuestionMarks) {
    configure("AdminAllowShutdown 1\n");
    startWithBanFile(testing::asFileText("1.2.3.4\x1b[2J\n"));
    const PeerAddress alice = peer(20), forger = peer(2), other = peer(3);
    players.add(alice, "alice");
    const std::string name = "x\nFAKE: line";
    struct Step {
        const char* name;
        PeerAddress from;
        Bytes datagram;
        Lines lines;
    };
    const Step steps[] = {
        {"admin join", forger, joinDatagram(name, "secret"), {"ADMIN-JOIN: 'x?FAKE: line', ID = 0 (127.0.0.2)"}},
        {"say", forger, withText({3, 5}, "hi\r\nFAKE: \x7F\xC3\xA9", true), {"***> x?FAKE: line: hi??FAKE: ???"}},
        {"unban", forger, request(16, "1.2.3.4\x1b[2J"), {"ADMIN: Admin x?FAKE: line deleted banned IP '1.2.3.4?[2J'"}},
        {"shut-down attempt", forger, {18}, {"ADMIN-KILLSERVER: First Attempt was received from 'x?FAKE: line'."}},
        {"kick", forger, {14, 0}, {"KICKED: 'alice', PlayerID = 0 by Admin x?FAKE: line"}},
        {"second admin", other, joinDatagram("y\x1b]0;t\x07", "secret"), {"ADMIN-JOIN: 'y?]0;t?', ID = 1 (127.0.0.3)"}},
        {"admin quit", other, {2}, {"ADMIN-QUIT: 'y?]0;t?', ID = 1"}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        log.clear();
        network.clearSent();
        receiveAdmin(step.from, step.datagram);
        EXPECT_EQ(log.lines(), step.lines);
        if (std::string_view(step.name) == "say") {
            EXPECT_EQ(gameSentTo(alice), std::vector<Bytes>{withText({3, 0, 5}, "hi\r\nFAKE: \x7F\xC3\xA9", true)})
                << "the relay is the text as it came";
        }
    }

    log.clear();
    server->addIdleTime(16);
    server->checkTimeouts(15);
    EXPECT_EQ(log.lines(), Lines{"ADMIN-QUIT: 'x?FAKE: line', ID = 0 ... quit due to timeout."});
}

}  // namespace
}  // namespace varn

namespace varn {
namespace {

class AdminLockoutTest : public testing::GameServerFixture {};

TEST_F(AdminLockoutTest, FiveWrongPasswordsLockTheAddressOutOfAdminLogins) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    const PeerAddress guesser = peer(20);
    for (int attempt = 0; attempt < 5; ++attempt) receiveAdmin(guesser, joinDatagram("boss", "wrong"));
    EXPECT_EQ(adminSentTo(guesser).size(), 5u);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines.back(), "SERVER-WARNING: 127.0.0.20 locked out for 60 seconds after 5 wrong passwords.");

    network.clearSent();
    log.clear();
    receiveAdmin(guesser, joinDatagram("boss", "right"));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(adminServer->administrators().size(), 0);

    clock.advanceSeconds(60);
    receiveAdmin(guesser, joinDatagram("boss", "right"));
    EXPECT_EQ(adminServer->administrators().size(), 1);
}

// While the budget of wrong admin passwords is spent, every admin login is dropped unanswered before
// any other check, the right password included: the cost of bounding blind guessing. A second
// later ten more may be compared.
TEST_F(AdminLockoutTest, ASpentBudgetDropsAdminLoginsBeforeAnyOtherCheck) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    bans.add("127.0.1.1");
    for (std::uint32_t guesser = 0; guesser < 20; ++guesser) {
        receiveAdmin(PeerAddress::fromHostOrder(0x7F020000u + guesser, 5000), joinDatagram("boss", "wrong"));
    }
    EXPECT_EQ(network.sent.size(), 20u) << "twenty wrong passwords are answered";
    network.clearSent();
    receiveAdmin(peer(30), joinDatagram("boss", "right"));
    receiveAdmin(PeerAddress::fromHostOrder(0x7F010101u, 5000), joinDatagram("boss", "right"));
    receiveAdmin(peer(31), joinDatagram("boss", "right", 24));
    EXPECT_TRUE(network.sent.empty()) << "not even a ban or a wrong version is answered";
    EXPECT_EQ(adminServer->administrators().size(), 0);

    clock.advanceSeconds(1);
    receiveAdmin(PeerAddress::fromHostOrder(0x7F010101u, 5000), joinDatagram("boss", "right"));
    EXPECT_EQ(network.sent.size(), 1u);
    EXPECT_EQ(network.sent.back().bytes, bytesOf({6, 1}));
    receiveAdmin(peer(30), joinDatagram("boss", "right"));
    EXPECT_EQ(adminServer->administrators().size(), 1);
}

// Wrong-password lines are written for compared attempts only, at most five per address in its
// window; locked, over-budget and further attempts go into one summary line a minute.
TEST_F(AdminLockoutTest, AttemptsBeyondTheFirstFiveComparedGoIntoOneLineAMinute) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    const std::string wrongLine = "ADMIN-ERROR Unable to add: 'boss' password is incorrect.";
    for (int attempt = 0; attempt < 8; ++attempt) receiveAdmin(peer(20), joinDatagram("boss", "wrong"));
    std::vector<std::string> expected(5, wrongLine);
    expected.push_back("SERVER-WARNING: 127.0.0.20 locked out for 60 seconds after 5 wrong passwords.");
    EXPECT_EQ(log.lines(), expected);

    // Fifteen of the budget are left for twenty-five more addresses.
    log.clear();
    for (std::uint32_t guesser = 0; guesser < 25; ++guesser) {
        receiveAdmin(peer(100 + guesser), joinDatagram("boss", "wrong"));
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>(15, wrongLine));

    log.clear();
    clock.advanceSeconds(59);
    server->reportWrongPasswords();
    EXPECT_TRUE(log.lines().empty());
    clock.advanceSeconds(1);
    server->reportWrongPasswords();
    server->reportWrongPasswords();
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "SERVER-WARNING: 13 wrong passwords from 11 addresses in the last minute."});
}

// 20,000 wrong admin passwords from 2,000 addresses within ten seconds: the budget lets 110 of them
// be compared, so the log grows by a few kilobytes instead of a megabyte.
TEST_F(AdminLockoutTest, AFloodOfWrongAdminPasswordsGrowsTheLogByLittle) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    const std::filesystem::path directory = testing::makeTemporaryDirectory("varn-flood-");
    ASSERT_FALSE(directory.empty());
    const std::filesystem::path path = directory / "server.log";
    ServerLog& serverLog = ServerLog::instance();
    ASSERT_TRUE(serverLog.open(path.string()));
    const auto before = std::filesystem::file_size(path);
    for (std::uint32_t second = 0; second < 10; ++second) {
        for (std::uint32_t guesser = 0; guesser < 2000; ++guesser) {
            receiveAdmin(PeerAddress::fromHostOrder(0x0A000000u + guesser, 5000), joinDatagram("boss", "wrong"));
        }
        clock.advanceSeconds(1);
    }
    const auto growth = std::filesystem::file_size(path) - before;
    serverLog.close();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    std::cout << "[ MEASURED ] log growth after 20,000 wrong admin passwords from 2,000 addresses in 10 s: "
              << growth << " bytes\n";
    RecordProperty("logGrowthBytes", std::to_string(growth));
    EXPECT_LT(growth, 200'000u);
    EXPECT_EQ(adminSentTo(PeerAddress::fromHostOrder(0x0A000000u, 5000)).size(), 5u)
        << "the first address was compared five times, then locked out";
}

// The lock-out runs on the monotonic clock: setting the calendar an hour either way neither ends it
// nor makes it longer.
TEST_F(AdminLockoutTest, WallClockStepsChangeNoLockoutWindow) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    const PeerAddress guesser = peer(20);
    for (int attempt = 0; attempt < 5; ++attempt) receiveAdmin(guesser, joinDatagram("boss", "wrong"));
    network.clearSent();
    for (const std::int64_t step : {3600, -7200, 3600}) {
        clock.stepCalendarSeconds(step);
        receiveAdmin(guesser, joinDatagram("boss", "right"));
        EXPECT_TRUE(network.sent.empty()) << "after a step of " << step << " seconds";
    }
    clock.advanceSeconds(59);
    receiveAdmin(guesser, joinDatagram("boss", "right"));
    EXPECT_TRUE(network.sent.empty());
    clock.stepCalendarSeconds(-3600);
    clock.advanceSeconds(1);
    receiveAdmin(guesser, joinDatagram("boss", "right"));
    EXPECT_EQ(adminServer->administrators().size(), 1) << "a minute of monotonic time ends it";
}

// The whole minute of a guesser's lock-out, as the real server lives it (AbuseGuardsTest shows the
// start of it over the network): five wrong passwords answered, then silence, even for the right
// one, until a minute has passed; the lock-out is logged once.
TEST_F(AdminLockoutTest, ALockedOutGuesserIsWelcomedAgainAfterAMinute) {
    configure("AdminPassword right\nPasswordLockout 1\n");
    start();
    const PeerAddress guesser = peer(2);
    for (int attempt = 0; attempt < 5; ++attempt) {
        network.clearSent();
        receiveAdmin(guesser, joinDatagram("guesser", "wrong"));
        EXPECT_EQ(adminSentTo(guesser), std::vector<Bytes>{bytesOf({6, 4})});
    }
    network.clearSent();
    receiveAdmin(guesser, joinDatagram("guesser", "wrong"));
    EXPECT_TRUE(adminSentTo(guesser).empty()) << "the sixth attempt gets no answer";
    receiveAdmin(guesser, joinDatagram("guesser", "right"));
    EXPECT_TRUE(adminSentTo(guesser).empty()) << "not even with the right password";

    clock.advanceSeconds(59);
    receiveAdmin(guesser, joinDatagram("guesser", "right"));
    EXPECT_TRUE(adminSentTo(guesser).empty()) << "a second before the minute is over";
    clock.advanceSeconds(1);
    receiveAdmin(guesser, joinDatagram("guesser", "right"));
    const auto welcome = adminSentTo(guesser);
    ASSERT_FALSE(welcome.empty());
    EXPECT_EQ(welcome.front()[0], 1);

    const std::string line = "SERVER-WARNING: 127.0.0.2 locked out for 60 seconds after 5 wrong passwords.";
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << "logged once";
}

TEST_F(AdminLockoutTest, ControlBytesOfAnUnknownSendersNameNeverReachTheLog) {
    configure("AdminPassword right\n");
    start();
    receiveAdmin(peer(20), joinDatagram("x\nJOIN: 'y", "wrong"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ADMIN-ERROR Unable to add: 'x?JOIN: 'y' password is incorrect."});
}

// An address that an administrator logged in from before is spared the shared budget, so a flood of
// wrong logins from forged addresses does not keep the owner out; its own lock-out still holds, and
// others stay behind the budget. Remembered across restarts through the state file.
TEST_F(AdminLockoutTest, AKnownAdministratorsAddressIsSparedTheSharedBudgetNotItsLockout) {
    const std::filesystem::path folder = testing::makeTemporaryDirectory("varn-known-admins-");
    const std::string stateFile = (folder / KnownAdministrators::kFileName).string();
    configure("AdminPassword right\nPasswordLockout 1\n");
    {
        KnownAdministrators before(platform::FileSystem::system(), clock, 30);
        ASSERT_TRUE(before.load(stateFile));
        lockout.rememberAdministratorsIn(before);
        start();
        receiveAdmin(peer(40), joinDatagram("owner", "right"));
        ASSERT_EQ(adminServer->administrators().size(), 1);
        stop();
    }
    // A restart a day later: a new table, the file read again.
    clock.advanceSeconds(86400);
    PasswordLockout restarted;
    KnownAdministrators known(platform::FileSystem::system(), clock, 30);
    ASSERT_TRUE(known.load(stateFile));
    restarted.rememberAdministratorsIn(known);
    server = std::make_unique<GameServer>(players, *gameEndpoint, bans, restarted, settings, clock);
    adminServer = std::make_unique<AdminServer>(*server, *adminEndpoint, bans, restarted, settings, clock);

    for (std::uint32_t guesser = 0; guesser < 200; ++guesser) {
        receiveAdmin(PeerAddress::fromHostOrder(0x7F020000u + guesser, 5000), joinDatagram("boss", "wrong"));
    }
    network.clearSent();
    receiveAdmin(peer(30), joinDatagram("boss", "right"));
    EXPECT_TRUE(network.sent.empty()) << "an unknown address waits for the budget";
    receiveAdmin(peer(40, 6000), joinDatagram("owner", "right"));
    EXPECT_EQ(adminServer->administrators().size(), 1) << "the known address is let in";

    // Its own lock-out: five wrong passwords from it, and even the right one waits a minute.
    for (int attempt = 0; attempt < 5; ++attempt) receiveAdmin(peer(40, 7000), joinDatagram("other", "wrong"));
    network.clearSent();
    receiveAdmin(peer(40, 7001), joinDatagram("other", "right"));
    EXPECT_TRUE(network.sent.empty());
    EXPECT_EQ(adminServer->administrators().size(), 1);

    // Thirty days after its last login the address is forgotten.
    clock.advanceSeconds(30 * 86400);
    EXPECT_FALSE(known.isKnown(peer(40).address));
    adminServer.reset();
    server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
}  // namespace varn
