// Crash safety with real processes: writers killed mid-insert, and two writers at once.
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/MetricsCollectors/TestSupport.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using testing::publishedSnapshot;
using testing::RawConnection;

constexpr int processesPerSnapshot = 5;

// Forks a writer that inserts `count` snapshots (endlessly when negative), `step` seconds apart
// from `firstTimestamp`; it exits 0 when every insert succeeded.
pid_t startWriter(const std::string& path, double firstTimestamp, double step, int count) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int status = 0;
    try {
        SQLiteSnapshotStore store(path, SQLiteSnapshotStore::Mode::readWriteCreate);
        for (int i = 0; count < 0 || i < count; ++i)
            store.insert(publishedSnapshot(firstTimestamp + step * i, processesPerSnapshot));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "writer %d: %s\n", ::getpid(), error.what());
        status = 1;
    }
    ::_exit(status);
}

int waitFor(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Snapshots whose child rows are not all there.
const char* incompleteSnapshots = R"(SELECT COUNT(*) FROM snapshots s WHERE
    (SELECT COUNT(*) FROM process_samples p WHERE p.snapshot_id = s.id) != 5
    OR (SELECT COUNT(*) FROM process_source_flags f WHERE f.snapshot_id = s.id) != 10
    OR (SELECT COUNT(*) FROM hidden_drains h WHERE h.snapshot_id = s.id) != 1
    OR (SELECT COUNT(*) FROM battery_status_samples b WHERE b.snapshot_id = s.id) != 1;)";

TEST(SnapshotStoreCrash, WriterKilledAtRandomMomentsLeavesNoPartialSnapshot) {
    testing::TemporaryDirectory directory;
    const std::string path = directory.string() + "/history.sqlite";
    SQLiteSnapshotStore(path, SQLiteSnapshotStore::Mode::readWriteCreate);
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delayMs(5, 60);
    for (int round = 0; round < 20; ++round) {
        const pid_t writer = startWriter(path, 1.7e9 + round * 1e6, 1, -1);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        ::kill(writer, SIGKILL);
        const int status = waitFor(writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round;
        RawConnection connection(path);
        ASSERT_EQ(connection.scalar("PRAGMA integrity_check;"), "ok") << "round " << round;
        ASSERT_EQ(connection.scalar(incompleteSnapshots), "0") << "round " << round;
    }
    EXPECT_GT(std::stoi(RawConnection(path).scalar("SELECT COUNT(*) FROM snapshots;")), 0);
}

TEST(SnapshotStoreCrash, TwoWritersAtOnceStoreEverySnapshot) {
    testing::TemporaryDirectory directory;
    const std::string path = directory.string() + "/history.sqlite";
    SQLiteSnapshotStore(path, SQLiteSnapshotStore::Mode::readWriteCreate);
    const pid_t even = startWriter(path, 1.7e9, 2, 500);
    const pid_t odd = startWriter(path, 1.7e9 + 1, 2, 500);
    const int evenStatus = waitFor(even), oddStatus = waitFor(odd);
    EXPECT_TRUE(WIFEXITED(evenStatus) && WEXITSTATUS(evenStatus) == 0);
    EXPECT_TRUE(WIFEXITED(oddStatus) && WEXITSTATUS(oddStatus) == 0);
    RawConnection connection(path);
    EXPECT_EQ(connection.scalar("SELECT COUNT(*) FROM snapshots;"), "1000");
    EXPECT_EQ(connection.scalar(incompleteSnapshots), "0");
}

// Another process holds the file for a moment: while creating it, in its first journal mode
// (switching to WAL fails at once then, no busy handler covers it), or while bringing an older
// file to the current version. The open waits for it, neither failing nor resetting the file.
TEST(SnapshotStoreCrash, OpeningAFileAnotherWriterHoldsWaitsForIt) {
    for (const bool older : {false, true}) {
        testing::TemporaryDirectory directory;
        const std::string path = directory.string() + "/history.sqlite";
        if (older) {
            SQLiteSnapshotStore(path, SQLiteSnapshotStore::Mode::readWriteCreate)
                .insert(publishedSnapshot(1.7e9 - 10, processesPerSnapshot));
            RawConnection(path).execute("UPDATE schema_metadata SET value = '4';");
        }
        RawConnection holder(path);
        holder.execute(older ? "BEGIN IMMEDIATE; UPDATE schema_metadata SET value = '5';"
                             : "BEGIN IMMEDIATE; CREATE TABLE holder(a);");
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            holder.execute("COMMIT;");
        });
        try {
            SQLiteSnapshotStore store(path, SQLiteSnapshotStore::Mode::readWriteCreate);
            EXPECT_EQ(store.insert(publishedSnapshot(1.7e9, processesPerSnapshot)),
                      SnapshotInsertOutcome::inserted);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
        release.join();
        EXPECT_EQ(RawConnection(path).scalar("PRAGMA journal_mode;"), "wal");
        EXPECT_EQ(RawConnection(path).scalar("SELECT COUNT(*) FROM snapshots;"), older ? "2" : "1");
    }
}

}  // namespace
}  // namespace joulix
