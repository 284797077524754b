// `joulix record` as a person runs it, on a machine that draws power (see FakeMachine.h): what it
// stores, how it stops, and what it survives.
#include "FakeMachine.h"
#include "Storage/SQLiteSnapshotStore.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>

namespace joulix {
namespace {

using testing::FakeMachine;

#define REQUIRE_FAKE_MACHINE()                                                                     \
    if (!FakeMachine::available()) GTEST_SKIP() << "needs root for a private mount namespace"

std::vector<DrainSnapshot> storedSnapshots(const std::string& path) {
    return SQLiteSnapshotStore(path, SQLiteSnapshotStore::Mode::readOnly).fetchLatest(10000);
}

TEST(RecordCommand, StoresAnnotatedSnapshotsAtTheIntervalAndSumsUp) {
    REQUIRE_FAKE_MACHINE();
    FakeMachine machine;
    // A child that keeps one CPU busy: on an idle machine no process may use any CPU within a
    // one-second pass, and such a pass rightly attributes nothing to processes.
    const testing::ChildProcess spinning({"sh", "-c", "while :; do :; done"});
    const auto run = testing::runCommand(
        machine.command("record --db " + machine.database() + " --interval 1 --duration 6") +
        " 2>&1");
    if (run.status == 77) GTEST_SKIP() << "overlay mounts unavailable";
    ASSERT_EQ(run.status, 0) << run.output;
    const auto summary = testing::recordSummary(run.output);
    ASSERT_TRUE(summary) << run.output;
    EXPECT_LE(summary->passes, 6);  // a pass that overran the interval skips the slots it missed
    EXPECT_EQ(summary->failed, 0);
    EXPECT_EQ(summary->skipped, 0);
    EXPECT_GE(summary->stored, 4);

    const auto history = testing::runJoulix("history --json --db " + machine.database());
    ASSERT_EQ(history.status, 0) << history.output;
    const auto snapshots = nlohmann::json::parse(history.output)["snapshots"];
    ASSERT_EQ(int(snapshots.size()), summary->stored - summary->replaced);
    const double spanS =
        snapshots.back()["timestamp"].get<double>() - snapshots.front()["timestamp"].get<double>();
    EXPECT_NEAR(summary->wh, 18.0 * spanS / 3600, 1e-4);
    for (const auto& snapshot : snapshots) {
        EXPECT_DOUBLE_EQ(snapshot["totalDischargeW"].get<double>(), 18.0);
        EXPECT_EQ(snapshot["powerContext"]["onBatteryPower"], true);
        ASSERT_FALSE(snapshot["processes"].empty());
        for (const auto& process : snapshot["processes"]) {
            EXPECT_TRUE(process.contains("displayName") && process.contains("canonicalName") &&
                        process.contains("processGroupKey"))
                << process;
        }
    }
    const auto details =
        testing::runJoulix("details --json --window 1h --db " + machine.database());
    ASSERT_EQ(details.status, 0) << details.output;
    EXPECT_EQ(nlohmann::json::parse(details.output)["snapshotCount"], snapshots.size());
    const std::string page = machine.folder.string() + "/report.html";
    const auto report =
        testing::runJoulix("report --db " + machine.database() + " --out " + page + " 2>&1");
    ASSERT_EQ(report.status, 0) << report.output;
    EXPECT_NE(testing::readFile(page).find(std::to_string(snapshots.size()) + " snapshots from "),
              std::string::npos);
}

TEST(RecordCommand, SIGTERMEndsItWithinOneIntervalWithTheSummary) {
    REQUIRE_FAKE_MACHINE();
    FakeMachine machine;
    const auto run = machine.start("record --db " + machine.database() + " --interval 3");
    ASSERT_TRUE(run.waitForOutput(" stored", 10)) << run.output();
    const auto sent = std::chrono::steady_clock::now();
    ::kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
    const auto summary = testing::recordSummary(run.output());
    ASSERT_TRUE(summary) << run.output();
    EXPECT_GE(summary->stored, 1);
}

TEST(RecordCommand, SIGKILLMidRunNeverCorruptsTheDatabaseAndTheNextRunAppends) {
    REQUIRE_FAKE_MACHINE();
    FakeMachine machine;
    std::mt19937 random(std::random_device{}());
    // The first pass comes one interval (1 s, the shortest) after the start.
    for (int kill = 0; kill < 6; ++kill) {
        const auto run = machine.start("record --db " + machine.database() + " --interval 1");
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution(1000, 1600)(random)));
        ::kill(run.pid(), SIGKILL);
        ASSERT_EQ(run.wait(), -SIGKILL) << run.output();
        if (run.output().find("exit 77") != std::string::npos) GTEST_SKIP();
        ASSERT_EQ(testing::integrityCheck(machine.database()), "ok") << "after kill " << kill;
    }
    const auto before = storedSnapshots(machine.database()).size();
    const auto run = testing::runCommand(
        machine.command("record --db " + machine.database() + " --interval 1 --duration 2"));
    ASSERT_EQ(run.status, 0) << run.output;
    const auto summary = testing::recordSummary(run.output);
    ASSERT_TRUE(summary) << run.output;
    EXPECT_GE(summary->stored, 1);
    EXPECT_EQ(storedSnapshots(machine.database()).size(),
              before + summary->stored - summary->replaced);
}

TEST(RecordCommand, AFullFileSystemFailsEachPassClearlyAndLeavesASoundFile) {
    REQUIRE_FAKE_MACHINE();
    FakeMachine machine;
    // The database lives on a 1 MiB tmpfs that a filler takes over after two seconds; the files
    // are copied out for the check when the recorder has ended.
    const std::string tiny = machine.folder.string() + "/tiny";
    const std::string copies = machine.folder.string() + "/copies";
    std::filesystem::create_directories(copies);
    const auto run = testing::runCommand(
        machine.inNamespace("mkdir -p " + tiny + " && mount -t tmpfs -o size=1m tmpfs " + tiny +
                            " || exit 77; (sleep 2; dd if=/dev/zero of=" + tiny +
                            "/filler bs=4k 2>/dev/null) & \"$0\" record --db " + tiny +
                            "/h.sqlite --interval 1 --duration 5; status=$?; wait; cp " + tiny +
                            "/h.sqlite* " + copies + "/; exit $status") +
        " 2>&1");
    if (run.status == 77) GTEST_SKIP() << "tmpfs or overlay mounts unavailable";
    ASSERT_EQ(run.status, 0) << run.output;
    const auto summary = testing::recordSummary(run.output);
    ASSERT_TRUE(summary) << run.output;
    EXPECT_GE(summary->stored, 1) << run.output;
    EXPECT_GE(summary->failed, 2) << run.output;
    const std::string fullLine = tiny + "/h.sqlite: database or disk is full\n";
    std::size_t fullLines = 0;
    for (auto at = run.output.find(fullLine); at != std::string::npos;
         at = run.output.find(fullLine, at + 1))
        ++fullLines;
    EXPECT_EQ(fullLines, std::size_t(summary->failed)) << run.output;
    EXPECT_EQ(testing::integrityCheck(copies + "/h.sqlite"), "ok");
}

TEST(RecordCommand, AnUnusableDatabasePathStopsItWithOneLine) {
    const auto run =
        testing::runJoulix("record --db /proc/self/none/h.sqlite --interval 1 --duration 1 2>&1");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_NE(run.output.find("joulix record: cannot use the database /proc/self/none/h.sqlite: "),
              std::string::npos)
        << run.output;
}

// The first line says what this machine can measure, on fake machines with no stand-in tools:
// fake power_supply and powercap trees, and no USB bus; having nothing to measure is said once.
TEST(RecordMeasurement, FirstLineSaysWhatThisMachineMeasuresAndNothingMeasuredIsSaidOnce) {
    REQUIRE_FAKE_MACHINE();
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;  // under the fake /sys
        const char* measures;                      // after "every 1 s: "
        bool measuresNothing;
    };
    const Case cases[] = {
        {"a laptop with RAPL",
         {{"class/power_supply/AC/type", "Mains"},
          {"class/power_supply/AC/online", "0"},
          {"class/power_supply/BAT0/type", "Battery"},
          {"class/power_supply/BAT0/status", "Discharging"},
          {"class/power_supply/BAT0/capacity", "50"},
          {"class/power_supply/BAT0/power_now", "9000000"},
          {"class/powercap/intel-rapl:0/name", "package-0"},
          {"class/powercap/intel-rapl:0/energy_uj", "1000"}},
         "battery discharge (power_supply) on battery; RAPL package power plus display and USB "
         "estimates on external power\n",
         false},
        {"a desktop without RAPL or USB",
         {{"class/power_supply/AC/type", "Mains"},
          {"class/power_supply/AC/online", "1"},
          {"class/powercap/.keep", ""}},
         "no battery; estimate only (display and USB): package power: no RAPL counters on this "
         "machine\n",
         true},
    };
    const std::string nothing =
        "\nno power measurement on this machine: no battery discharging, no RAPL counters\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMachine machine("");
        for (const auto& [path, value] : c.files)
            machine.sysFile(path, value);
        const auto run = testing::runCommand(
            machine.command("record --db " + machine.database() + " --interval 1 --duration 2.5") +
            " 2>&1");
        if (run.status == 77) GTEST_SKIP() << "bind mounts unavailable";
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(
            run.output.find("Recording into " + machine.database() + " every 1 s: " + c.measures),
            0u)
            << run.output;
        const auto said = run.output.find(nothing);
        EXPECT_EQ(said != std::string::npos, c.measuresNothing) << run.output;
        if (said != std::string::npos) {
            EXPECT_EQ(run.output.find(nothing, said + 1), std::string::npos) << run.output;
        }
        EXPECT_EQ(run.output.find("skipped:"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("[ERROR]"), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace joulix
