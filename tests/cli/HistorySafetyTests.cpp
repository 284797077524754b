// The history and the recorder beside a second local user (uid 65534 through setpriv, no account)
// who tries to harm the first, and the command lines a new user may type. Each attack proves the
// victim's bytes and modes unchanged.
#include "FakeMachine.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;
using testing::runCommand;
using testing::runJoulix;

const std::string asSecondUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

#define REQUIRE_ROOT()                                                                             \
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user"

struct FileState {
    std::string bytes;
    mode_t mode = 0;
    uid_t owner = 0;
    bool operator==(const FileState&) const = default;
};

FileState stateOf(const fs::path& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return {testing::readFile(path.string()), status.st_mode & 07777, status.st_uid};
}

// A temporary folder every user may traverse, holding a shared area (sticky, 1777) that the
// joulix runs of a test use through JLX_SHARED_ROOT.
struct Area {
    testing::TemporaryDirectory folder;
    fs::path shared = folder.path() / "Shared";
    Area() {
        fs::create_directories(shared);
        ::chmod(folder.path().c_str(), 0755);
        ::chmod(shared.c_str(), 01777);
    }
    fs::path joulixFolder() const { return shared / "Joulix"; }
    fs::path history() const { return joulixFolder() / "battery_history.sqlite"; }
    std::string env() const { return "env JLX_SHARED_ROOT=" + shared.string() + " "; }
};

void makeDatabase(const fs::path& path, const std::string& sql) {
    ASSERT_EQ(runCommand("sqlite3 '" + path.string() + "' \"" + sql + "\"").status, 0);
}

TEST(HistorySafety, APlantedLinkAtTheSharedHistoryOrItsFolderIsRefused) {
    REQUIRE_ROOT();
    for (const bool linkTheFolder : {false, true}) {
        const Area area;
        const fs::path victimFolder = area.folder.path() / "victim";
        fs::create_directories(victimFolder);
        const fs::path victim = victimFolder / "battery_history.sqlite";
        makeDatabase(victim, "CREATE TABLE snapshots(x); INSERT INTO snapshots VALUES('mine');");
        const FileState before = stateOf(victim);

        const std::string plant =
            linkTheFolder ? "ln -s " + victimFolder.string() + " " + area.joulixFolder().string()
                          : "mkdir " + area.joulixFolder().string() + " && ln -s " +
                                victim.string() + " " + area.history().string();
        ASSERT_EQ(runCommand(asSecondUser + "sh -c '" + plant + "'").status, 0);
        const auto run = runCommand(area.env() + testing::joulixPath +
                                    " record --shared --interval 1 --duration 1 2>&1");
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find("is a symbolic link"), std::string::npos) << run.output;
        EXPECT_EQ(stateOf(victim), before) << (linkTheFolder ? "folder link" : "file link");
        for (const char* sidecar : {"-wal", "-shm", "-journal"})
            EXPECT_FALSE(fs::exists(victim.string() + sidecar));
    }
}

TEST(HistorySafety, ASecondUserCanNeitherReplaceNorForgeTheSharedLog) {
    REQUIRE_ROOT();
    const Area area;
    // Root's recorder makes the shared folder (sticky) and the history in it.
    ASSERT_EQ(runCommand(area.env() + "JLX_LOG_DISABLED=1 " + testing::joulixPath +
                         " record --shared --interval 1 --duration 1 >/dev/null 2>&1")
                  .status,
              0);
    EXPECT_EQ(stateOf(area.joulixFolder()).mode, 01777u);
    const fs::path log = area.joulixFolder() / "runtime.log";
    testing::TemporaryDirectory scratch;
    scratch.writeFile("log", "[1.000] [ERROR] [Daemon] genuine\n");
    fs::copy_file(scratch.path() / "log", log);
    ::chmod(log.c_str(), 0644);
    const FileState logBefore = stateOf(log);
    const FileState historyBefore = stateOf(area.history());

    const std::string folder = area.joulixFolder().string();
    for (const std::string& attack :
         {"mv " + folder + "/runtime.log " + folder + "/old",
          "printf forged >" + folder + "/runtime.log",
          "rm -f " + folder + "/battery_history.sqlite",
          "mv " + folder + "/battery_history.sqlite " + folder + "/x"}) {
        EXPECT_NE(runCommand(asSecondUser + "sh -c '" + attack + "' 2>/dev/null").status, 0)
            << attack;
    }
    EXPECT_EQ(stateOf(log), logBefore);
    EXPECT_EQ(stateOf(area.history()), historyBefore);
}

TEST(HistorySafety, RecordingIntoAReadOnlyHistoryFailsAndLeavesItAsItWas) {
    REQUIRE_ROOT();
    const Area area;
    const fs::path home = area.folder.path() / "home";
    fs::create_directories(home);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    const fs::path history = home / "history.sqlite";
    ASSERT_EQ(runCommand(asSecondUser + testing::joulixPath + " record --db " + history.string() +
                         " --interval 1 --duration 1 >/dev/null 2>&1")
                  .status,
              0);
    ::chmod(history.c_str(), 0444);
    const FileState before = stateOf(history);
    const auto run = runCommand(asSecondUser + testing::joulixPath + " record --db " +
                                history.string() + " --interval 1 --duration 2 2>&1");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("read-only"), std::string::npos) << run.output;
    EXPECT_EQ(stateOf(history), before);
    EXPECT_FALSE(fs::exists(history.string() + "-wal"));
    EXPECT_FALSE(fs::exists(history.string() + "-shm"));
}

TEST(HistorySafety, APrivateHistoryUnderATraversableHomeIsClosedToOtherUsers) {
    REQUIRE_ROOT();
    const Area area;
    const fs::path home = area.folder.path() / "home";
    fs::create_directories(home);
    ::chmod(home.c_str(), 0755);
    const auto run = runCommand("umask 000; env -u XDG_DATA_HOME HOME=" + home.string() + " " +
                                area.env() + "JLX_LOG_DISABLED=1 " + testing::joulixPath +
                                " record --interval 1 --duration 1 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    const fs::path history = home / ".local/share/Joulix/battery_history.sqlite";
    EXPECT_EQ(stateOf(home).mode, 0755u);
    for (const fs::path& made : {home / ".local", home / ".local/share", history.parent_path()})
        EXPECT_EQ(stateOf(made).mode, 0700u) << made;
    EXPECT_EQ(stateOf(history).mode, 0600u);

    const FileState before = stateOf(history);
    for (const std::string& attack :
         {"mkdir " + (home / ".local/bin").string(), "ls " + history.parent_path().string(),
          "sh -c 'echo x >>" + history.string() + "'"}) {
        EXPECT_NE(runCommand(asSecondUser + attack + " 2>/dev/null").status, 0) << attack;
    }
    EXPECT_EQ(stateOf(history), before);
    EXPECT_FALSE(fs::exists(home / ".local/bin"));
}

// Root and a second user record into one shared history while the other still has it open (the
// WAL sidecars are in use), in both orders of creation. A pass within half a second of the other
// recorder's snapshot is the same moment: one of the two is kept. No pass fails, and each
// recorder stores.
TEST(HistorySafety, TwoUsersShareOneHistoryInEitherOrder) {
    REQUIRE_ROOT();
    for (const bool rootFirst : {true, false}) {
        const Area area;
        testing::FakeMachine machine;
        // The stand-in tools must be reachable by the second user too.
        ::chmod(machine.folder.path().c_str(), 0755);
        ::chmod((machine.folder.path() / "tools/usr/sbin/ioreg").c_str(), 0755);
        const std::string record = area.env() + "JLX_LOG_DISABLED=1 \"$0\" record --shared";
        const std::string first = rootFirst ? "" : asSecondUser;
        const std::string second = rootFirst ? asSecondUser : "";
        const auto run = runCommand(machine.inNamespace(
            first + record + " --interval 1.5 --duration 5 >" + area.folder.string() +
            "/first.txt 2>&1 & sleep 2.5; " + second + record + " --interval 1 --duration 4 >" +
            area.folder.string() + "/second.txt 2>&1; s=$?; wait $!; exit $((s + $?))"));
        if (run.status == 77) GTEST_SKIP() << "overlay mounts unavailable";
        for (const char* name : {"/first.txt", "/second.txt"}) {
            const std::string output = testing::readFile(area.folder.string() + name);
            EXPECT_EQ(run.status, 0) << output;
            const auto summary = testing::recordSummary(output);
            ASSERT_TRUE(summary) << output;
            EXPECT_EQ(summary->failed, 0) << output;
            EXPECT_GE(summary->passes, 2) << output;
            EXPECT_EQ(summary->stored + summary->dropped, summary->passes) << output;
            EXPECT_GE(summary->stored, 1) << output;
        }
        EXPECT_EQ(stateOf(area.joulixFolder()).mode, 01777u);
        EXPECT_EQ(stateOf(area.history()).mode, 0666u);
        EXPECT_EQ(testing::integrityCheck(area.history().string()), "ok");
    }
}

// Paths that a URI would misread, and a history of a newer build, which readers and the recorder
// refuse without touching it.
TEST(HistoryReading, OpensPathsByNameAndRefusesANewerHistory) {
    const testing::TemporaryDirectory folder;
    for (const std::string name : {"100%.sqlite", "what?.sqlite", "a#b.sqlite"}) {
        const fs::path path = folder.path() / name;
        SQLiteSnapshotStore(path.string(), SQLiteSnapshotStore::Mode::readWriteCreate);
        const auto run = runJoulix("history --db '" + path.string() + "' 2>&1");
        EXPECT_EQ(run.status, 0) << name << ": " << run.output;
    }
    const auto doubleSlash =
        runJoulix("history --db '/" + (folder.path() / "a#b.sqlite").string() + "' 2>&1");
    EXPECT_EQ(doubleSlash.status, 0) << doubleSlash.output;

    const fs::path newer = folder.path() / "newer.sqlite";
    SQLiteSnapshotStore(newer.string(), SQLiteSnapshotStore::Mode::readWriteCreate);
    makeDatabase(newer, "UPDATE schema_metadata SET value = '6';");
    const FileState before = stateOf(newer);
    for (const std::string command : {"history", "details", "record --interval 1 --duration 1"}) {
        const auto run = runJoulix(command + " --db " + newer.string() + " 2>&1");
        EXPECT_EQ(run.status, 1) << command << ": " << run.output;
        EXPECT_NE(run.output.find("written by a newer version"), std::string::npos) << run.output;
    }
    EXPECT_EQ(stateOf(newer), before);
}

TEST(HistoryReading, WithoutDbSaysWhichHistoryItReads) {
    const Area area;
    const fs::path home = area.folder.path() / "home";
    const std::string env = "env -u XDG_DATA_HOME HOME=" + home.string() + " " +
                            area.env().substr(4) + testing::joulixPath;
    const auto shared = runCommand(env + " history --json 2>&1 >/dev/null");
    EXPECT_NE(shared.output.find("no per-user history; reading the shared history " +
                                 area.history().string()),
              std::string::npos)
        << shared.output;
    const fs::path local = home / ".local/share/Joulix/battery_history.sqlite";
    SQLiteSnapshotStore(local.string(), SQLiteSnapshotStore::Mode::readWriteCreate);
    const auto own = runCommand(env + " history --json 2>&1 >/dev/null");
    EXPECT_NE(own.output.find("reading the per-user history " + local.string()), std::string::npos)
        << own.output;
    const auto json = runCommand(env + " history --json 2>/dev/null");
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.output.front(), '{') << json.output;
}

TEST(RecordFailure, AHistoryMissingATableEndsWithStatus1AndTheReason) {
    if (!testing::FakeMachine::available()) GTEST_SKIP() << "needs root";
    testing::FakeMachine machine;
    SQLiteSnapshotStore(machine.database(), SQLiteSnapshotStore::Mode::readWriteCreate);
    makeDatabase(machine.database(), "DROP TABLE process_source_flags; DROP TABLE "
                                     "process_samples; DROP TABLE hidden_drains; DROP TABLE "
                                     "battery_status_samples; DROP TABLE snapshots;");
    const auto run = testing::runCommand(
        machine.command("record --db " + machine.database() + " --interval 1 --duration 3") +
        " 2>&1");
    if (run.status == 77) GTEST_SKIP() << "overlay mounts unavailable";
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("nothing could be stored: snapshot not stored in " +
                              machine.database() + ": no such table: snapshots"),
              std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace joulix
