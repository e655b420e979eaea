#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "access/BanDetails.h"
#include "access/BanList.h"
#include "access/BanListFixture.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "support/FaultyFileSystem.h"
#include "support/FileText.h"
#include "support/LogCapture.h"

// How the ban list's saves behave when the file system fails them: the previous file stays whole,
// the operator is told, and the list in memory loses nothing.
namespace varn {
namespace {

namespace fs = std::filesystem;

using Entries = std::vector<std::string>;
using Lines = std::vector<std::string>;
using Step = testing::FaultyFileSystem::Step;
constexpr int kAlways = testing::FaultyFileSystem::kAlways;

std::string reason(int error) { return std::generic_category().message(error); }

std::string unableLine(int error) {
    return "SERVER-WARNING: Unable to save the Banned IP list (" + reason(error) + ").";
}

const std::string kSavedAgain = "SERVER: Banned IP list saved again.";

class BanListSaveTest : public testing::BanListFixture {
protected:
    void SetUp() override {
        BanListFixture::SetUp();
        path_ = pathOf("bans.txt");
        temporary_ = platform::temporaryFileFor(path_);
    }

    // A list loaded from a ban file that holds the given entries, one a line.
    void loadList(BanList& list, const std::string& lines) {
        writeBytes(path_, testing::asFileText(lines));
        ASSERT_TRUE(list.load(path_));
        log.clear();
    }

    std::string fileText() const { return readBytes(path_); }
    std::vector<std::string> namesInFolder() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testing::LogCapture log;
    testing::FaultyFileSystem files;
    platform::ManualClock clock;
    std::string path_;
    std::string temporary_;
};

TEST_F(BanListSaveTest, EveryFailingStepKeepsThePreviousFileAndIsLogged) {
    struct Case {
        const char* name;
        Step step;
        int error;
    };
    const Case cases[] = {
        {"the temporary file cannot be made", Step::Open, EACCES},
        {"the disk is full", Step::Write, ENOSPC},
        {"the disk cannot keep what was written", Step::Sync, EIO},
        {"the close reports a lost write", Step::Close, EIO},
        {"the rename is refused", Step::Rename, EBUSY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BanList list(files, clock);
        loadList(list, "1.2.3.4\n");
        files.fail(c.step, c.error, 1);

        EXPECT_FALSE(list.add("5.6.7.8"));
        EXPECT_EQ(log.lines(), Lines{unableLine(c.error)});
        EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n"));
        EXPECT_EQ(namesInFolder(), Entries{"bans.txt"}) << "a failed save removes its temporary file";
        EXPECT_EQ(files.openFiles(), 0u);
        EXPECT_EQ(list.entries(), (Entries{"1.2.3.4", "5.6.7.8"}));
        EXPECT_TRUE(list.isBanned("5.6.7.8"));

        log.clear();
        EXPECT_TRUE(list.add("9.9.9.9"));
        EXPECT_EQ(log.lines(), Lines{kSavedAgain});
        EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n9.9.9.9\n"));
        files.heal();
    }
}

TEST_F(BanListSaveTest, FullDiskLosesNothingAndTheFirstWorkingSaveSaysSo) {
    {
        BanList list(files, clock);
        loadList(list, "1.2.3.4\n10.0.0.0\n");
        files.fail(Step::Write, ENOSPC);

        EXPECT_FALSE(list.add("5.6.7.8"));
        EXPECT_TRUE(list.remove("1.2.3.4"));
        EXPECT_FALSE(list.addAddress(PeerAddress::fromHostOrder(0x0A0B0C0D, 4000)));
        EXPECT_FALSE(list.save());
        EXPECT_EQ(log.lines(), Lines{unableLine(ENOSPC)});
        EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n10.0.0.0\n"));
        EXPECT_EQ(list.entries(), (Entries{"10.0.0.0", "5.6.7.8", "10.11.12.13"}));

        files.heal();
        log.clear();
        EXPECT_TRUE(list.add("7.7.7.7"));
        EXPECT_EQ(log.lines(), Lines{kSavedAgain});
        log.clear();
        EXPECT_TRUE(list.add("8.8.8.8"));
        EXPECT_TRUE(log.lines().empty()) << "only the first working save after failures is logged";
    }
    BanList restarted(files, clock);
    ASSERT_TRUE(restarted.load(path_));
    EXPECT_EQ(restarted.entries(), (Entries{"10.0.0.0", "5.6.7.8", "10.11.12.13", "7.7.7.7", "8.8.8.8"}));
}

TEST_F(BanListSaveTest, WarningsOfFailingSavesComeAtMostOnceAMinute) {
    BanList list(files, clock);
    loadList(list, "");
    files.fail(Step::Rename, EIO);

    struct Attempt {
        std::int64_t advance;  // monotonic seconds before the save
        bool warned;
    };
    const Attempt attempts[] = {{0, true}, {30, false}, {29, false}, {1, true}, {59, false}, {1, true}};
    int entry = 0;
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(entry);
        clock.advanceSeconds(attempt.advance);
        log.clear();
        EXPECT_FALSE(list.add("1.1.1." + std::to_string(++entry)));
        EXPECT_EQ(log.lines(), attempt.warned ? Lines{unableLine(EIO)} : Lines{});
    }
    // The calendar clock jumping ahead is no minute passing.
    clock.stepCalendarSeconds(3600);
    log.clear();
    EXPECT_FALSE(list.save());
    EXPECT_TRUE(log.lines().empty());

    // A working save ends the run of failures: the next failure is told at once.
    files.heal();
    log.clear();
    EXPECT_TRUE(list.save());
    EXPECT_EQ(log.lines(), Lines{kSavedAgain});
    files.fail(Step::Sync, ENOSPC);
    clock.advanceSeconds(1);
    log.clear();
    EXPECT_FALSE(list.add("2.2.2.2"));
    EXPECT_EQ(log.lines(), Lines{unableLine(ENOSPC)});
}

// An interrupted save (a crash, or a temporary file that could not be removed) leaves its one
// temporary file behind; every later save uses the same name, so there is never a second one.
TEST_F(BanListSaveTest, InterruptedSavesLeaveOneTemporaryFileThatTheNextSaveReplaces) {
    // What a save killed in the middle leaves: a cut temporary file, here one nobody may write to.
    auto leaveCutTemporaryFile = [&] {
        writeBytes(temporary_, "9.9.9");
        fs::permissions(temporary_, fs::perms::owner_read);
    };
    leaveCutTemporaryFile();
    BanList list(files, clock);
    loadList(list, "1.2.3.4\n");
    EXPECT_EQ(namesInFolder(), Entries{"bans.txt"}) << "trying the folder at load replaces and removes it";

    files.fail(Step::Rename, EIO);
    files.fail(Step::Remove, EACCES, kAlways, temporary_);
    for (const char* entry : {"5.6.7.8", "6.6.6.6", "7.7.7.7"}) {
        EXPECT_FALSE(list.add(entry));
        EXPECT_EQ(namesInFolder(), (Entries{".bans.txt.saving", "bans.txt"}));
        EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n"));
    }
    EXPECT_EQ(readBytes(temporary_), testing::asFileText("1.2.3.4\n5.6.7.8\n6.6.6.6\n7.7.7.7\n"));

    files.heal();
    leaveCutTemporaryFile();
    EXPECT_TRUE(list.save());
    EXPECT_EQ(namesInFolder(), Entries{"bans.txt"});
    EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n6.6.6.6\n7.7.7.7\n"));
}

// The new file is in place, but nothing says it survives a crash: that is a failed save, and the
// next one tries again.
TEST_F(BanListSaveTest, FolderSyncFailureIsReported) {
    BanList list(files, clock);
    loadList(list, "1.2.3.4\n");
    files.fail(Step::SyncFolder, EIO, 1);
    EXPECT_FALSE(list.add("5.6.7.8"));
    EXPECT_EQ(log.lines(), Lines{unableLine(EIO)});
    EXPECT_EQ(namesInFolder(), Entries{"bans.txt"});
    log.clear();
    EXPECT_TRUE(list.save());
    EXPECT_EQ(log.lines(), Lines{kSavedAgain});
    EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n"));
}

TEST_F(BanListSaveTest, FolderWithoutRoomForTheTemporaryFileWarnsOnceAndSavesInPlace) {
    files.fail(Step::Open, EACCES, kAlways, temporary_);
    writeBytes(path_, testing::asFileText("1.2.3.4\n10.0.0.0\n"));
    BanList list(files, clock);
    ASSERT_TRUE(list.load(path_));
    EXPECT_EQ(log.lines(),
              Lines{"SERVER-WARNING: The folder '" + dir_.string() + "' does not take a temporary file (" +
                    reason(EACCES) +
                    "), so saves of the Banned IP list cannot be crash-safe there; make the folder "
                    "writable."});

    // A reload that finds the folder unchanged says nothing new.
    log.clear();
    ASSERT_TRUE(list.load(path_));
    EXPECT_TRUE(log.lines().empty());

    files.forgetOpened();
    EXPECT_TRUE(list.add("5.6.7.8"));
    EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n10.0.0.0\n5.6.7.8\n"));
    EXPECT_EQ(files.opened(), Entries{path_}) << "in place: no temporary file is tried";
    EXPECT_TRUE(list.remove("10.0.0.0"));
    EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n"))
        << "the shorter list is not followed by old bytes";

    // Every step of an in-place save is checked too.
    struct Case {
        Step step;
        int error;
    };
    for (const Case& c : {Case{Step::Open, EROFS}, Case{Step::Write, ENOSPC}, Case{Step::Truncate, EIO},
                          Case{Step::Sync, EIO}, Case{Step::Close, EIO}}) {
        SCOPED_TRACE(static_cast<int>(c.step));
        files.fail(c.step, c.error, 1, path_);
        log.clear();
        EXPECT_FALSE(list.add("7.7.7.7"));
        EXPECT_EQ(log.lines(), Lines{unableLine(c.error)});
        EXPECT_EQ(files.openFiles(), 0u);
        log.clear();
        EXPECT_TRUE(list.remove("7.7.7.7"));
        EXPECT_EQ(log.lines(), Lines{kSavedAgain});
        EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n"));
    }
    EXPECT_EQ(namesInFolder(), Entries{"bans.txt"});

    // Once the folder takes the file again, a reload goes back to crash-safe saves.
    files.heal();
    ASSERT_TRUE(list.load(path_));
    files.forgetOpened();
    EXPECT_TRUE(list.add("8.8.8.8"));
    EXPECT_EQ(files.opened(), Entries{temporary_});
}

TEST_F(BanListSaveTest, ReloadKeepsChangesThatTheFileLacksUntilTheyAreSaved) {
    BanList list(files, clock);
    loadList(list, "1.2.3.4\n");
    files.fail(Step::Write, ENOSPC);
    EXPECT_FALSE(list.add("5.6.7.8"));

    // The reload reads the file and makes the unsaved ban again on top of it; the save it then
    // tries fails and is told, as any failing save.
    EXPECT_TRUE(list.load(path_)) << "the file was read";
    EXPECT_EQ(list.entries(), (Entries{"1.2.3.4", "5.6.7.8"}));

    files.heal();
    log.clear();
    EXPECT_TRUE(list.load(path_));
    EXPECT_EQ(log.lines(), Lines{kSavedAgain});
    EXPECT_EQ(list.entries(), (Entries{"1.2.3.4", "5.6.7.8"}));
    EXPECT_EQ(fileText(), testing::asFileText("1.2.3.4\n5.6.7.8\n"));

    // With nothing unsaved, a reload takes the file as an operator left it.
    writeBytes(path_, "9.9.9.9\n");
    EXPECT_TRUE(list.load(path_));
    EXPECT_EQ(list.entries(), Entries{"9.9.9.9"});
}

// A missing file's first save creates it; when that fails, the operator is told, as for any save.
TEST_F(BanListSaveTest, MissingFileIsCreatedByTheFirstSaveOrTheFailureIsTold) {
    BanList list(files, clock);
    EXPECT_FALSE(list.load(pathOf("missing.txt")));
    EXPECT_TRUE(log.lines().empty()) << "loading says nothing of its own";
    files.fail(Step::Write, ENOSPC, 1);
    EXPECT_FALSE(list.add("1.2.3.4"));
    EXPECT_TRUE(list.isBanned("1.2.3.4"));
    EXPECT_EQ(log.lines(), Lines{unableLine(ENOSPC)});
    EXPECT_FALSE(fs::exists(pathOf("missing.txt")));
    EXPECT_TRUE(list.add("5.6.7.8"));
    EXPECT_EQ(readBytes(pathOf("missing.txt")), testing::asFileText("1.2.3.4\n5.6.7.8\n"));
}

// The bans the server makes by itself are in force at once but written together: a thousand of them
// cost one save, at most one a second; an administrator's change is still written before it is
// answered, and takes the server's pending changes with it.
TEST_F(BanListSaveTest, AutomaticBansAreSavedTogetherAtMostOnceASecond) {
    BanList list(files, clock);
    loadList(list, "1.2.3.4\n");
    files.forgetOpened();

    for (int index = 0; index < 1000; ++index) {
        list.addAutomatic("10.0." + std::to_string(index / 250 + 1) + "." + std::to_string(index % 250 + 1), {});
    }
    EXPECT_TRUE(list.isBanned("10.0.4.250"));
    EXPECT_TRUE(files.opened().empty()) << "no save per ban";
    EXPECT_TRUE(list.hasUnsavedChanges());

    EXPECT_TRUE(list.saveIfDue());
    EXPECT_EQ(files.opened().size(), 1u);
    const std::string saved = fileText();
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 1001);
    EXPECT_FALSE(list.hasUnsavedChanges());
    EXPECT_FALSE(list.saveIfDue()) << "nothing left to save";

    // Within the same second a new ban waits; the next second takes it.
    list.addAutomatic("11.1.1.1", {});
    EXPECT_FALSE(list.saveIfDue());
    EXPECT_EQ(fileText().find("11.1.1.1"), std::string::npos);
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_NE(fileText().find("11.1.1.1"), std::string::npos);

    // An administrator's ban is written at once, with whatever the server had pending.
    list.addAutomatic("12.1.1.1", {});
    EXPECT_TRUE(list.add("13.1.1.1"));
    EXPECT_NE(fileText().find(testing::asFileText("12.1.1.1\n13.1.1.1")), std::string::npos);
    EXPECT_FALSE(list.hasUnsavedChanges());
    EXPECT_EQ(files.opened().size(), 3u);

    // A grouped save that fails is tried again a second later, not before.
    files.fail(Step::Write, ENOSPC, 1);
    list.addAutomatic("14.1.1.1", {});
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_TRUE(list.hasUnsavedChanges());
    EXPECT_FALSE(list.saveIfDue());
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_FALSE(list.hasUnsavedChanges());
    EXPECT_NE(fileText().find("14.1.1.1"), std::string::npos);
}

// An expired entry leaves the file at the next grouped save, so a reload cannot read it back (nor
// log its expiry twice); a line whose date has passed when it is read never matches.
TEST_F(BanListSaveTest, ExpiredEntriesLeaveTheFileAndNeverMatchOnceRead) {
    clock.setSeconds(1796904000);  // 2026-12-10T12:00:00Z
    BanList list(files, clock);
    loadList(list,
             "1.1.1.1 # until=2026-12-10T12:00:30Z\n"
             "2.2.2.2\n");
    clock.advanceSeconds(30);
    list.expireDue(clock.calendarSeconds());
    EXPECT_EQ(log.lines(), Lines{"SERVER: Ban on 1.1.1.1 expired."});
    EXPECT_TRUE(list.hasUnsavedChanges());
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_EQ(fileText(), testing::asFileText("2.2.2.2\n"));

    // The reload of a list whose expiry is not yet written writes it first.
    BanDetails shortBan;
    shortBan.until = clock.calendarSeconds() + 1;
    list.addAutomatic("3.3.3.3", shortBan);
    clock.advanceSeconds(1);
    list.expireDue(clock.calendarSeconds());
    log.clear();
    ASSERT_TRUE(list.load(path_));
    EXPECT_EQ(list.entries(), Entries{"2.2.2.2"});
    EXPECT_TRUE(log.lines().empty()) << "no expiry logged twice";

    // Lines already past when they are read: gone from the first moment, and from the file.
    writeBytes(path_, testing::asFileText("4.4.4.4 # until=2026-12-10T11:00:00Z\n"
                                          "5.5.5.5 # until=2026-12-10T12:00:31Z\n"
                                          "6.6.6.6 # until=2027-01-01T00:00:00Z\n"));
    log.clear();
    ASSERT_TRUE(list.load(path_));
    EXPECT_FALSE(list.isBanned("4.4.4.4"));
    EXPECT_FALSE(list.isBanned("5.5.5.5"));
    EXPECT_TRUE(list.isBanned("6.6.6.6"));
    EXPECT_EQ(log.lines(), (Lines{"SERVER: Ban on 4.4.4.4 expired.", "SERVER: Ban on 5.5.5.5 expired."}));
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_EQ(fileText(), testing::asFileText("6.6.6.6 # until=2027-01-01T00:00:00Z\n"));
}

const std::string kReadAgain = "SERVER: The Banned IP list changed on disk; read it again before saving (";

// A reload reads before it writes: a file that went missing (the list kept, marked for saving) and
// came back with an operator's new entry is taken as it is, even when the grouped save is not due.
TEST_F(BanListSaveTest, ReloadOfAFileThatCameBackTakesTheOperatorsFile) {
    BanList list(files, clock);
    loadList(list, "1.1.1.1\n");
    list.addAutomatic("2.2.2.2", {});
    EXPECT_TRUE(list.saveIfDue());
    ASSERT_TRUE(fs::remove(path_));

    EXPECT_FALSE(list.load(path_));
    EXPECT_EQ(list.entries(), (Entries{"1.1.1.1", "2.2.2.2"})) << "the list stays in force";
    EXPECT_FALSE(list.saveIfDue()) << "the grouped save is not due within the same second";
    const std::string operatorsFile = testing::asFileText("1.1.1.1\n2.2.2.2\n3.3.3.3\n");
    writeBytes(path_, operatorsFile);
    log.clear();
    EXPECT_TRUE(list.load(path_));
    EXPECT_TRUE(list.isBanned("3.3.3.3"));
    EXPECT_EQ(list.entries(), (Entries{"1.1.1.1", "2.2.2.2", "3.3.3.3"}));
    EXPECT_EQ(fileText(), operatorsFile);
    clock.advanceSeconds(1);
    list.saveIfDue();
    EXPECT_EQ(fileText(), operatorsFile) << "nothing of the server's own is left to write";
    EXPECT_TRUE(log.lines().empty());
}

// Every kind of save (grouped, an administrator's, the shut-down's plain save) of a file the operator
// edited since the list last read or wrote it reads it again first and makes only the server's own
// changes on it: its bans, an administrator's removal and the expiries, each in the order made.
TEST_F(BanListSaveTest, SavesOfAnEditedFileKeepTheEditAndAddTheServersOwnChanges) {
    clock.setSeconds(1796904000);  // 2026-12-10T12:00:00Z
    struct Case {
        const char* name;
        std::function<bool(BanList&)> save;
    };
    const std::vector<Case> cases = {
        {"grouped", [](BanList& list) { return list.saveIfDue(); }},
        {"administrator's", [](BanList& list) { return list.remove("5.5.5.5") && !list.isBanned("5.5.5.5"); }},
        {"shut-down", [](BanList& list) { return list.save(); }},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        clock.advanceSeconds(60);
        BanList list(files, clock);
        loadList(list,
                 "1.1.1.1\n"
                 "2.2.2.2 # until=" + utcDateText(clock.calendarSeconds() + 10) + "\n"
                 "5.5.5.5\n");
        // The operator takes out 1.1.1.1 and adds 6.6.6.6; the server bans 7.7.7.7 and 2.2.2.2 runs out.
        writeBytes(path_, testing::asFileText("2.2.2.2 # until=" + utcDateText(clock.calendarSeconds() + 10) +
                                              "\n5.5.5.5\n6.6.6.6\n# 8.8.8.8 noted by hand\n"));
        list.addAutomatic("7.7.7.7", {});
        clock.advanceSeconds(10);
        EXPECT_EQ(list.expireDue(clock.calendarSeconds()), Entries{"2.2.2.2"});
        log.clear();
        EXPECT_TRUE(testCase.save(list));

        const std::string removedByAdmin = std::string(testCase.name) == "administrator's" ? "" : "5.5.5.5\n";
        const std::string expected = removedByAdmin + "6.6.6.6\n# 8.8.8.8 noted by hand\n7.7.7.7\n";
        EXPECT_EQ(fileText(), testing::asFileText(expected));
        EXPECT_FALSE(list.isBanned("1.1.1.1")) << "the operator's removal holds at once";
        EXPECT_TRUE(list.isBanned("6.6.6.6"));
        EXPECT_TRUE(list.isBanned("7.7.7.7"));
        ASSERT_EQ(log.lines().size(), 1u) << log.text();
        EXPECT_EQ(log.lines()[0].substr(0, kReadAgain.size()), kReadAgain);
        EXPECT_FALSE(list.hasUnsavedChanges());

        // The file as the list wrote it is not read again; a save of it writes the list as it is.
        log.clear();
        EXPECT_TRUE(list.save());
        EXPECT_TRUE(log.lines().empty()) << log.text();
        EXPECT_EQ(fileText(), testing::asFileText(expected));
    }
}

// The server's own changes wait for a save that works: a failing one keeps them, and a later edit by
// the operator does not lose them either.
TEST_F(BanListSaveTest, OwnChangesOutliveFailingSavesAndLaterEdits) {
    BanList list(files, clock);
    loadList(list, "1.1.1.1\n");
    files.fail(Step::Write, ENOSPC);
    list.addAutomatic("2.2.2.2", {});
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_TRUE(list.hasUnsavedChanges());

    writeBytes(path_, testing::asFileText("1.1.1.1\n3.3.3.3\n"));
    files.heal();
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_EQ(fileText(), testing::asFileText("1.1.1.1\n3.3.3.3\n2.2.2.2\n"));
    EXPECT_FALSE(list.hasUnsavedChanges());

    // Once written, a ban is the file's: the operator's removal of it is final.
    writeBytes(path_, testing::asFileText("1.1.1.1\n"));
    list.addAutomatic("4.4.4.4", {});
    clock.advanceSeconds(1);
    EXPECT_TRUE(list.saveIfDue());
    EXPECT_EQ(fileText(), testing::asFileText("1.1.1.1\n4.4.4.4\n"));
}

}  // namespace
}  // namespace varn
