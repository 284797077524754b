#include "SharedModels/RuntimeLog.h"

#include "Platform/SystemLog.h"
#include "SharedModels/SharedRoot.h"
#include "SharedModels/Truthiness.h"
#include "tests/Platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

using namespace joulix;
namespace fs = std::filesystem;

namespace {

using Entry = std::tuple<std::string, std::string, bool, std::string>;

class RecordingSystemLog final : public SystemLog {
  public:
    void write(std::string_view subsystem, std::string_view category, bool isError,
               std::string_view message) override {
        std::lock_guard guard(lock);
        entries.emplace_back(subsystem, category, isError, message);
    }
    std::mutex lock;
    std::vector<Entry> entries;
};

using joulix::testing::readFile;

// Each test: minimum level warn, no broadcasting, no bundle, a recording system log, fresh root.
class RuntimeLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("JLX_LOG_DISABLED");
        setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, std::nullopt));
        previousRoot = sharedRoot();
        setSharedRoot(root.string());
        RuntimeLog::setSystemLog(systemLog);
        RuntimeLog::configure(RuntimeLogLevel::warn, false);
        token = RuntimeLog::addObserver([this](const std::string& line) {
            std::lock_guard guard(observedLock);
            observed.push_back(line);
        });
    }
    void TearDown() override {
        RuntimeLog::removeObserver(token);
        RuntimeLog::setSystemLog(nullptr);
        setSharedRoot(previousRoot);
        setMainBundle(nullptr);
        unsetenv("JLX_LOG_DISABLED");
    }
    static std::string stderrOf(RuntimeLogLevel level, std::string_view component,
                                std::string_view message) {
        ::testing::internal::CaptureStderr();
        RuntimeLog::write(level, component, message);
        return ::testing::internal::GetCapturedStderr();
    }
    fs::path logFile() const { return root / "Joulix" / "runtime.log"; }
    joulix::testing::TemporaryDirectory temporary;
    fs::path root = temporary.path();
    std::string previousRoot;
    std::shared_ptr<RecordingSystemLog> systemLog = std::make_shared<RecordingSystemLog>();
    uint64_t token = 0;
    std::mutex observedLock;
    std::vector<std::string> observed;
};

TEST(RuntimeLogLevel, DefaultLevelResolvesEnvironmentThenInfoThenVerbose) {
    using L = RuntimeLogLevel;
    const auto levelIn = [](InfoValue value) { return InfoDictionary{{"JLX_LOG_LEVEL", value}}; };
    const std::tuple<Environment, std::optional<InfoDictionary>, L> cases[] = {
        {{}, std::nullopt, L::warn},
        {{{"JLX_LOG_LEVEL", "  Info \n"}}, levelIn(" error\n"), L::info},
        {{{"JLX_LOG_LEVEL", "debug"}}, levelIn(" error\n"), L::error},
        {{{"JLX_LOG_LEVEL", "debug"}, {"JLX_LOG_VERBOSE", "1"}}, levelIn("loud"), L::info},
        {{{"JLX_LOG_VERBOSE", "1"}}, levelIn(int64_t{2}), L::info},
        {{{"JLX_LOG_VERBOSE", "true"}}, std::nullopt, L::warn},
        {{{"JLX_LOG_VERBOSE", " 1"}}, std::nullopt, L::warn},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [environment, info, expected] = cases[i];
        EXPECT_EQ(RuntimeLog::defaultLevelFromEnvironment(environment, info), expected) << i;
    }
    EXPECT_EQ(runtimeLogLevelFromRawValue("Info"), std::nullopt);
}

TEST(Truthiness, AcceptsTheFiveWordsAfterTrimmingAndLowerCasing) {
    for (const char* truthy : {"1", "true", " YES ", "y", "On\n", "\u00a0TRUE\u2028"})
        EXPECT_TRUE(parseTruthiness(truthy)) << truthy;
    for (const char* falsy : {"", "0", "false", "no", "2", "yess", "t", "o n"})
        EXPECT_FALSE(parseTruthiness(falsy)) << falsy;
}

TEST(RuntimeLogDisabled, EnvironmentWinsOverInfoDictionary) {
    const auto disabledIn = [](InfoValue v) { return InfoDictionary{{"JLX_LOG_DISABLED", v}}; };
    const std::tuple<Environment, std::optional<InfoDictionary>, bool> cases[] = {
        {{}, std::nullopt, false},
        {{{"JLX_LOG_DISABLED", "YES"}}, std::nullopt, true},
        {{{"JLX_LOG_DISABLED", "0"}}, disabledIn(true), false},
        {{}, disabledIn(" on "), true},
        {{}, disabledIn(int64_t{2}), true},
        {{}, disabledIn(0.0), false},
        {{}, disabledIn(InfoOther{}), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [environment, info, expected] = cases[i];
        EXPECT_EQ(RuntimeLog::loggingDisabled(environment, info), expected) << i;
    }
}

TEST_F(RuntimeLogTest, LineToStandardErrorAndMessageAloneToTheSystemLogUnderItsCategory) {
    const std::tuple<RuntimeLogLevel, std::string, std::string, std::string, bool> cases[] = {
        {RuntimeLogLevel::error, "Daemon", "ERROR", "Daemon", true},
        {RuntimeLogLevel::warn, "  ", "WARN", "General", true},
        {RuntimeLogLevel::info, " two words ", "INFO", "two_words", false},
    };
    RuntimeLog::setMinimumLevel(RuntimeLogLevel::info);
    for (const auto& [level, component, levelText, category, isError] : cases) {
        systemLog->entries.clear();
        const auto now = static_cast<double>(std::time(nullptr));
        const auto line = stderrOf(level, component, "took 4.2 s");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match,
                                     std::regex(R"(\[(\d+\.\d{3})\] \[)" + levelText + R"(\] \[)" +
                                                component + R"(\] took 4\.2 s\n)")))
            << line;
        EXPECT_NEAR(std::stod(match[1]), now, 5.0);
        EXPECT_EQ(systemLog->entries,
                  (std::vector<Entry>{{"com.joulix.runtime", category, isError, "took 4.2 s"}}));
    }
}

TEST_F(RuntimeLogTest, OneNotificationPerAcceptedLineAndNoOutputForARefusedOne) {
    RuntimeLog::warn("Daemon", "not broadcast");
    EXPECT_TRUE(observed.empty());
    RuntimeLog::setNotificationBroadcastEnabled(true);
    EXPECT_EQ(stderrOf(RuntimeLogLevel::info, "Daemon", "below the minimum"), "");
    RuntimeLog::warn("Daemon", "first");
    setenv("JLX_LOG_DISABLED", "YES", 1);
    EXPECT_EQ(stderrOf(RuntimeLogLevel::error, "Daemon", "disabled"), "");
    setenv("JLX_LOG_DISABLED", "0", 1);
    setMainBundle(std::make_shared<FixedMainBundle>(InfoDictionary{{"JLX_LOG_DISABLED", true}},
                                                    std::nullopt));
    EXPECT_NE(stderrOf(RuntimeLogLevel::error, "Daemon", "second"), "");
    unsetenv("JLX_LOG_DISABLED");
    EXPECT_EQ(stderrOf(RuntimeLogLevel::error, "Daemon", "disabled by Info"), "");
    ASSERT_EQ(observed.size(), 2u);
    EXPECT_TRUE(observed[0].ends_with("] [WARN] [Daemon] first\n"));
    EXPECT_TRUE(observed[1].ends_with("] [ERROR] [Daemon] second\n"));
    EXPECT_EQ(systemLog->entries.size(), 3u);
    EXPECT_TRUE(readFile(logFile()).ends_with("second\n"));
}

TEST_F(RuntimeLogTest, ConcurrentWritersEachAppendWholeLinesToTheSharedFile) {
    EXPECT_EQ(RuntimeLog::sharedLogPath(), logFile().string());
    RuntimeLog::setNotificationBroadcastEnabled(true);
    ::testing::internal::CaptureStderr();
    {
        std::vector<std::jthread> writers;
        for (int writer = 0; writer < 4; ++writer) {
            writers.emplace_back([writer] {
                for (int i = 0; i < 50; ++i)
                    RuntimeLog::warn("Writer" + std::to_string(writer), std::string(300, 'x'));
            });
        }
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(observed.size(), 200u);
    std::ifstream in(logFile());
    const std::regex shape(R"(\[\d+\.\d{3}\] \[WARN\] \[Writer[0-3]\] x{300})");
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines)
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    EXPECT_EQ(lines, 200);
}

TEST_F(RuntimeLogTest, PlantedLinkOrFifoNeverReceivesTheLine) {
    fs::create_directories(logFile().parent_path());
    const auto victim = root / "victim.txt";
    std::ofstream(victim) << "original\n";
    const auto dangling = root / "created-through-link.txt";
    RuntimeLog::setNotificationBroadcastEnabled(true);

    fs::create_symlink(victim, logFile());
    RuntimeLog::warn("Daemon", "through a link");
    EXPECT_EQ(readFile(victim), "original\n");
    EXPECT_TRUE(fs::is_symlink(logFile()));

    fs::remove(logFile());
    fs::create_symlink(dangling, logFile());
    RuntimeLog::warn("Daemon", "through a dangling link");
    EXPECT_FALSE(fs::exists(dangling));

    fs::remove(logFile());
    ASSERT_EQ(mkfifo(logFile().c_str(), 0600), 0);
    RuntimeLog::warn("Daemon", "into a fifo without reader");  // returns instead of blocking
    EXPECT_TRUE(fs::is_fifo(logFile()));

    fs::remove_all(logFile().parent_path());
    const auto elsewhere = root / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, logFile().parent_path());
    RuntimeLog::warn("Daemon", "through a linked directory");
    EXPECT_FALSE(fs::exists(elsewhere / "runtime.log"));

    fs::remove(logFile().parent_path());
    fs::create_directories(logFile().parent_path());
    fs::create_hard_link(victim, logFile());
    RuntimeLog::warn("Daemon", "through a hard link");
    EXPECT_EQ(readFile(victim), "original\n");

    EXPECT_EQ(observed.size(), 5u) << "the other outputs still get every line";
}

TEST_F(RuntimeLogTest, TheSharedLogRollsOnceToStayUnderItsBound) {
    fs::create_directories(logFile().parent_path());
    // Just below the bound: the next line rolls the log, and the one after goes to the new one.
    std::ofstream(logFile()) << std::string(RuntimeLog::sharedLogMaxBytes - 10, 'x');
    std::ofstream(logFile().string() + ".1") << "older\n";
    ::testing::internal::CaptureStderr();
    RuntimeLog::warn("Daemon", "first after the bound");
    RuntimeLog::warn("Daemon", "second after the bound");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(fs::file_size(logFile().string() + ".1"), RuntimeLog::sharedLogMaxBytes - 10);
    const std::string current = readFile(logFile());
    EXPECT_NE(current.find("first after the bound"), std::string::npos);
    EXPECT_NE(current.find("second after the bound"), std::string::npos);
    EXPECT_LT(current.size(), 200u);
}

TEST_F(RuntimeLogTest, AnotherUsersLogIsNeitherWrittenNorRolled) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the log to another user";
    fs::create_directories(logFile().parent_path());
    std::ofstream(logFile()) << "forged\n";
    ASSERT_EQ(::chown(logFile().c_str(), 65534, 65534), 0);
    ::testing::internal::CaptureStderr();
    RuntimeLog::warn("Daemon", "not into a forged log");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(readFile(logFile()), "forged\n");
    EXPECT_FALSE(fs::exists(logFile().string() + ".1"));
}

TEST_F(RuntimeLogTest, StandardErrorWithoutAReaderNeverStopsTheProcess) {
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe(ends) != 0) std::_Exit(2);
            close(ends[0]);
            dup2(ends[1], STDERR_FILENO);
            RuntimeLog::error("Daemon", "nobody reads this");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
