#include "MetricsCollectors/PowermetricsCollector.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

using testing::LogCapture;

class PowermetricsCollectorTests : public ::testing::Test {
  protected:
    PowermetricsCollectorTests() {
        collector.temporaryDirectory = folder.string();
        collector.effectiveUserID = [] { return 501u; };
        ::unsetenv("JLX_PM_RAW_DUMP");
        ::unsetenv("JLX_PM_RAW_DUMP_PATH");
    }

    void answer(int32_t status, std::string out, std::string err = "") {
        shell->answer("*", {status, out, err});
    }
    std::optional<PowermetricsCollectorError> failure() {
        try {
            collector.collectNormalizedSample();
        } catch (const PowermetricsCollectorError& error) {
            return error;
        }
        return std::nullopt;
    }

    testing::TemporaryDirectory temporary;
    fs::path folder = temporary.path();
    testing::Shell shell = testing::scriptedShell();
    PowermetricsCollector collector{shell};
};

TEST_F(PowermetricsCollectorTests, RootRunsNiceDirectlyOthersGoThroughSudo) {
    const std::vector<std::string> tail{"-n",         "20",    "/usr/bin/powermetrics",
                                        "-n",         "1",     "--show-process-energy",
                                        "--samplers", "tasks", "--show-all"};
    auto sudoArguments = tail;
    sudoArguments.insert(sudoArguments.begin(), {"-n", "/usr/bin/nice"});
    EXPECT_EQ(collector.command(), std::make_pair(std::string("/usr/bin/sudo"), sudoArguments));
    collector.effectiveUserID = [] { return 0u; };
    EXPECT_EQ(collector.command(), std::make_pair(std::string("/usr/bin/nice"), tail));

    LogCapture log;
    answer(0, "CPU Power: 1 W\n");
    collector.collectNormalizedSample();
    EXPECT_EQ(shell->calls().back().executable, "/usr/bin/nice");
    EXPECT_EQ(shell->calls().back().arguments, tail);
    EXPECT_TRUE(log.contains("[Powermetrics] Starting powermetrics fetch: /usr/bin/nice -n 20 "
                             "/usr/bin/powermetrics -n 1 --show-process-energy"));
    EXPECT_TRUE(log.contains("with status=0, stdoutBytes=15, stderrBytes=0"));
    EXPECT_TRUE(log.contains("Parsed powermetrics output: processes=0, packageW=1.00, "
                             "totalSystemWatts=nil"));
}

TEST_F(PowermetricsCollectorTests, FailuresBecomeTypedErrors) {
    using Kind = PowermetricsCollectorError::Kind;
    const std::tuple<int32_t, std::string, Kind, std::string> cases[] = {
        {1, "sudo: a PASSWORD is required\n", Kind::insufficientPrivileges,
         "powermetrics requires admin privileges: sudo: a PASSWORD is required"},
        {1, "\n\nme is Not In The Sudoers file.\nmore\n", Kind::insufficientPrivileges,
         "powermetrics requires admin privileges: me is Not In The Sudoers file."},
        {1, "", Kind::commandFailed, "powermetrics command failed: <empty>"},
        {127, "nice: powermetrics: No such file\n", Kind::commandFailed,
         "powermetrics command failed: nice: powermetrics: No such file"},
        {0, "", Kind::emptyOrUnparseableOutput, "powermetrics returned no usable power data."},
    };
    for (const auto& [status, err, kind, description] : cases) {
        LogCapture log;
        answer(status, status == 0 ? "*** Running tasks ***\nnothing here\n" : "", err);
        const auto error = failure();
        ASSERT_TRUE(error) << description;
        EXPECT_EQ(error->kind(), kind);
        EXPECT_EQ(error->what(), description);
        EXPECT_EQ(log.contains("[ERROR] [Powermetrics] powermetrics non-zero status="),
                  status != 0);
    }

    LogCapture log;
    answer(0, "  *** Running tasks ***  \n\n   \nnothing here\n");
    failure();
    EXPECT_TRUE(log.contains("[ERROR] [Powermetrics] powermetrics parse produced no "
                             "process/package/system power. preview=*** Running tasks *** | "
                             "nothing here\n"));

    shell->script("*", [](const auto&) -> ShellResult { throw Error("Command timed out"); });
    EXPECT_EQ(failure().value().message(), "Command timed out");
    EXPECT_EQ(failure().value().kind(), Kind::commandFailed);
}

// Without the tool installed nothing is started (nice would only fail to find it): the
// collection fails as a launch.
TEST(PowermetricsCollectorWithoutTheTool, FailsWithoutStartingAChild) {
    if (::access("/usr/bin/powermetrics", F_OK) == 0) GTEST_SKIP() << "powermetrics installed";
    PowermetricsCollector collector(std::make_shared<DefaultShellRunner>());
    collector.effectiveUserID = [] { return 0u; };
    try {
        collector.collectNormalizedSample();
        ADD_FAILURE() << "collected without powermetrics";
    } catch (const PowermetricsCollectorError& error) {
        EXPECT_EQ(error.kind(), PowermetricsCollectorError::Kind::commandFailed);
        EXPECT_STREQ(error.what(), "powermetrics command failed: Failed to launch command: No "
                                   "such file or directory");
    }
}

TEST_F(PowermetricsCollectorTests, UsableOutputs) {
    answer(0, "System Average Power: 4.5 W\n");
    EXPECT_EQ(*collector.collectNormalizedSample().totalSystemWatts, 4.5);
    answer(0, "*** Running tasks ***\nName  ID  CPU ms/s  GPU ms/s\n  a   9   0         0\n");
    EXPECT_EQ(collector.collectNormalizedSample().processes.size(), 1u);
}

TEST_F(PowermetricsCollectorTests, RawDumpAppendsEntriesAndNeverFollowsALink) {
    answer(0, "CPU Power: 1 W", "warn");
    collector.collectNormalizedSample();
    const auto dump = folder / "jlx-powermetrics-raw.log";
    EXPECT_FALSE(fs::exists(dump));  // off by default

    std::ofstream(folder / "jlx-powermetrics-debug.flag") << "";
    ::setenv("JLX_PM_RAW_DUMP_PATH", "", 1);  // empty: the default path
    collector.collectNormalizedSample();
    collector.collectNormalizedSample();
    const std::string body = " -----\ncommand: /usr/bin/sudo -n /usr/bin/nice -n 20 "
                             "/usr/bin/powermetrics -n 1 --show-process-energy --samplers tasks "
                             "--show-all\nstatus: 0\nstderr-bytes: 4\nstdout-bytes: 14\nstdout:\n"
                             "CPU Power: 1 W\nstderr:\nwarn\n";
    const auto text = testing::readFile(dump);
    ASSERT_EQ(text.size(), 2 * (26 + body.size()));  // each after "----- 2026-12-05T19:40:01Z"
    EXPECT_TRUE(text.starts_with("----- "));
    EXPECT_EQ(text.substr(26, body.size()), body);

    const auto target = folder / "victim";
    std::ofstream(target) << "keep";
    const auto link = folder / "planted.log";
    fs::create_symlink(target, link);
    ::setenv("JLX_PM_RAW_DUMP_PATH", link.c_str(), 1);
    LogCapture log;
    EXPECT_NO_THROW(collector.collectNormalizedSample());
    EXPECT_EQ(fs::file_size(target), 4u);
    EXPECT_TRUE(log.contains("[WARN] [Powermetrics] Failed to write raw dump file: "));
    ::unsetenv("JLX_PM_RAW_DUMP_PATH");
}

}  // namespace
}  // namespace joulix
