#include "MetricsCollectors/PowermetricsCollector.h"
#include "SharedModels/RuntimeLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

struct ScriptedShell final : ShellRunning {
    std::function<ShellResult()> answer;
    mutable std::vector<std::pair<std::string, std::vector<std::string>>> calls;
    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override {
        calls.emplace_back(executable, arguments);
        return answer();
    }
};

// Collects the lines the runtime log writes while the test runs.
class LogCapture {
  public:
    LogCapture() {
        RuntimeLog::setMinimumLevel(RuntimeLogLevel::info);
        RuntimeLog::setNotificationBroadcastEnabled(true);
        token_ = RuntimeLog::addObserver([this](const std::string& line) { lines_ += line; });
    }
    ~LogCapture() { RuntimeLog::removeObserver(token_); }
    bool contains(const std::string& text) const { return lines_.find(text) != lines_.npos; }

  private:
    uint64_t token_;
    std::string lines_;
};

class PowermetricsCollectorTests : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "jlx-pm-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        collector.temporaryDirectory = folder.string();
        collector.effectiveUserID = [] { return 501u; };
        ::unsetenv("JLX_PM_RAW_DUMP");
        ::unsetenv("JLX_PM_RAW_DUMP_PATH");
    }
    void TearDown() override { fs::remove_all(folder); }

    void answer(int32_t status, std::string out, std::string err = "") {
        shell->answer = [=] { return ShellResult{status, out, err}; };
    }
    std::optional<PowermetricsCollectorError> failure() {
        try {
            collector.collectNormalizedSample();
        } catch (const PowermetricsCollectorError& error) {
            return error;
        }
        return std::nullopt;
    }

    fs::path folder;
    std::shared_ptr<ScriptedShell> shell = std::make_shared<ScriptedShell>();
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
    EXPECT_EQ(shell->calls.back(), collector.command());
    EXPECT_TRUE(log.contains("[Powermetrics] Starting powermetrics fetch: /usr/bin/nice -n 20 "
                             "/usr/bin/powermetrics -n 1 --show-process-energy"));
    EXPECT_TRUE(log.contains("with status=0, stdoutBytes=15, stderrBytes=0"));
    EXPECT_TRUE(log.contains("Parsed powermetrics output: processes=0, packageW=1.00, "
                             "totalSystemWatts=nil"));
}

TEST_F(PowermetricsCollectorTests, FailuresBecomeTypedErrors) {
    using Kind = PowermetricsCollectorError::Kind;
    struct Case {
        int32_t status;
        std::string out;
        std::string err;
        Kind kind;
        std::string description;
    };
    const Case cases[] = {
        {1, "", "sudo: a PASSWORD is required\n", Kind::insufficientPrivileges,
         "powermetrics requires admin privileges: sudo: a PASSWORD is required"},
        {1, "", "\n\nme is Not In The Sudoers file.\nmore\n", Kind::insufficientPrivileges,
         "powermetrics requires admin privileges: me is Not In The Sudoers file."},
        {1, "", "", Kind::commandFailed, "powermetrics command failed: <empty>"},
        {127, "", "nice: powermetrics: No such file\n", Kind::commandFailed,
         "powermetrics command failed: nice: powermetrics: No such file"},
        {0, "*** Running tasks ***\nnothing here\n", "", Kind::emptyOrUnparseableOutput,
         "powermetrics returned no usable power data."},
    };
    for (const auto& c : cases) {
        LogCapture log;
        answer(c.status, c.out, c.err);
        const auto error = failure();
        ASSERT_TRUE(error) << c.description;
        EXPECT_EQ(error->kind(), c.kind);
        EXPECT_EQ(error->what(), c.description);
        EXPECT_EQ(log.contains("[ERROR] [Powermetrics] powermetrics non-zero status="),
                  c.status != 0);
    }

    LogCapture log;
    answer(0, "  *** Running tasks ***  \n\n   \nnothing here\n");
    failure();
    EXPECT_TRUE(log.contains("[ERROR] [Powermetrics] powermetrics parse produced no "
                             "process/package/system power. preview=*** Running tasks *** | "
                             "nothing here\n"));

    shell->answer = []() -> ShellResult { throw Error("Command timed out"); };
    const auto thrown = failure();
    ASSERT_TRUE(thrown);
    EXPECT_EQ(thrown->kind(), Kind::commandFailed);
    EXPECT_EQ(thrown->message(), "Command timed out");
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
    std::stringstream contents;
    contents << std::ifstream(dump).rdbuf();
    const std::string body = " -----\ncommand: /usr/bin/sudo -n /usr/bin/nice -n 20 "
                             "/usr/bin/powermetrics -n 1 --show-process-energy --samplers tasks "
                             "--show-all\nstatus: 0\nstderr-bytes: 4\nstdout-bytes: 14\nstdout:\n"
                             "CPU Power: 1 W\nstderr:\nwarn\n";
    const auto text = contents.str();
    ASSERT_EQ(text.size(), 2 * (std::string("----- 2026-12-05T19:40:01Z").size() + body.size()));
    EXPECT_TRUE(text.starts_with("----- "));
    EXPECT_EQ(text.substr(26, body.size()), body);
    EXPECT_EQ(text[16], 'T');

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
