#include "SharedModels/RuntimeLog.h"

#include "Platform/SystemLog.h"
#include "SharedModels/SharedRoot.h"
#include "SharedModels/Truthiness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace joulix;
namespace fs = std::filesystem;

namespace {

struct SystemLogEntry {
    std::string subsystem, category;
    bool isError;
    std::string message;
};

class RecordingSystemLog final : public SystemLog {
  public:
    void write(std::string_view subsystem, std::string_view category, bool isError,
               std::string_view message) override {
        std::lock_guard guard(lock);
        entries.push_back(
            {std::string(subsystem), std::string(category), isError, std::string(message)});
    }
    std::mutex lock;
    std::vector<SystemLogEntry> entries;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The log's state lives for the whole process, so every test starts from the same settings:
// minimum level warn, broadcasting off, no bundle, a recording system log and a fresh shared
// root; and puts the process-wide settings back when done.
class RuntimeLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("JLX_LOG_DISABLED");
        setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, std::nullopt));
        std::string pattern = testing::TempDir() + "runtime-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
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
        setSharedRoot(defaultSharedRoot);
        setMainBundle(nullptr);
        unsetenv("JLX_LOG_DISABLED");
        fs::remove_all(root);
    }
    // Standard error of one write.
    static std::string stderrOf(RuntimeLogLevel level, std::string_view component,
                                std::string_view message) {
        testing::internal::CaptureStderr();
        RuntimeLog::write(level, component, message);
        return testing::internal::GetCapturedStderr();
    }
    fs::path logFile() const { return root / "Joulix" / "runtime.log"; }

    fs::path root;
    std::shared_ptr<RecordingSystemLog> systemLog = std::make_shared<RecordingSystemLog>();
    uint64_t token = 0;
    std::mutex observedLock;
    std::vector<std::string> observed;
};

TEST(RuntimeLogLevel, DefaultLevelResolvesEnvironmentThenInfoThenVerbose) {
    const InfoDictionary infoError{{"JLX_LOG_LEVEL", " error\n"}};
    struct Case {
        const char* name;
        Environment environment;
        std::optional<InfoDictionary> info;
        RuntimeLogLevel expected;
    } cases[] = {
        {"nothing set", {}, std::nullopt, RuntimeLogLevel::warn},
        {"environment with blanks",
         {{"JLX_LOG_LEVEL", "  Info \n"}},
         infoError,
         RuntimeLogLevel::info},
        {"unknown environment value falls to Info",
         {{"JLX_LOG_LEVEL", "debug"}},
         infoError,
         RuntimeLogLevel::error},
        {"unknown values fall to verbose",
         {{"JLX_LOG_LEVEL", "debug"}, {"JLX_LOG_VERBOSE", "1"}},
         InfoDictionary{{"JLX_LOG_LEVEL", "loud"}},
         RuntimeLogLevel::info},
        {"Info number is ignored",
         {{"JLX_LOG_VERBOSE", "1"}},
         InfoDictionary{{"JLX_LOG_LEVEL", int64_t{2}}},
         RuntimeLogLevel::info},
        {"verbose true is not 1",
         {{"JLX_LOG_VERBOSE", "true"}},
         std::nullopt,
         RuntimeLogLevel::warn},
        {"verbose is not trimmed",
         {{"JLX_LOG_VERBOSE", " 1"}},
         std::nullopt,
         RuntimeLogLevel::warn},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RuntimeLog::defaultLevelFromEnvironment(c.environment, c.info), c.expected);
    }
    EXPECT_EQ(runtimeLogLevelFromRawValue("Info"), std::nullopt);
}

TEST(Truthiness, AcceptsTheFiveWordsAfterTrimmingAndLowerCasing) {
    for (const char* truthy : {"1", "true", " YES ", "y", "On\n", "\u00a0TRUE\u2028"}) {
        EXPECT_TRUE(parseTruthiness(truthy)) << truthy;
    }
    for (const char* falsy : {"", "0", "false", "no", "2", "yess", "t", "o n"}) {
        EXPECT_FALSE(parseTruthiness(falsy)) << falsy;
    }
}

TEST(RuntimeLogDisabled, EnvironmentWinsOverInfoDictionary) {
    struct Case {
        const char* name;
        Environment environment;
        std::optional<InfoDictionary> info;
        bool expected;
    } cases[] = {
        {"nothing", {}, std::nullopt, false},
        {"environment YES", {{"JLX_LOG_DISABLED", "YES"}}, std::nullopt, true},
        {"environment 0 beats Info true",
         {{"JLX_LOG_DISABLED", "0"}},
         InfoDictionary{{"JLX_LOG_DISABLED", true}},
         false},
        {"Info string", {}, InfoDictionary{{"JLX_LOG_DISABLED", " on "}}, true},
        {"Info non-zero number", {}, InfoDictionary{{"JLX_LOG_DISABLED", int64_t{2}}}, true},
        {"Info zero number", {}, InfoDictionary{{"JLX_LOG_DISABLED", 0.0}}, false},
        {"Info other type", {}, InfoDictionary{{"JLX_LOG_DISABLED", InfoOther{}}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RuntimeLog::loggingDisabled(c.environment, c.info), c.expected);
    }
}

TEST_F(RuntimeLogTest, LineHasTimeLevelComponentAndMessage) {
    const double before =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto line = stderrOf(RuntimeLogLevel::warn, "Powermetrics", "took 4.2 s");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        line, match, std::regex(R"(\[(\d+\.\d{3})\] \[WARN\] \[Powermetrics\] took 4\.2 s\n)")))
        << line;
    EXPECT_NEAR(std::stod(match[1]), before, 5.0);
}

TEST_F(RuntimeLogTest, SystemLogGetsMessageAloneUnderItsCategory) {
    struct Case {
        RuntimeLogLevel level;
        std::string component, category;
        bool isError;
    } cases[] = {
        {RuntimeLogLevel::error, "Daemon", "Daemon", true},
        {RuntimeLogLevel::warn, "  ", "General", true},
        {RuntimeLogLevel::info, " two words ", "two_words", false},
    };
    RuntimeLog::setMinimumLevel(RuntimeLogLevel::info);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.component);
        systemLog->entries.clear();
        const auto line = stderrOf(c.level, c.component, "message text");
        EXPECT_NE(line.find("[" + c.component + "] message text\n"), std::string::npos) << line;
        ASSERT_EQ(systemLog->entries.size(), 1u);
        const auto& entry = systemLog->entries.front();
        EXPECT_EQ(entry.subsystem, "com.joulix.runtime");
        EXPECT_EQ(entry.category, c.category);
        EXPECT_EQ(entry.isError, c.isError);
        EXPECT_EQ(entry.message, "message text");
    }
}

TEST_F(RuntimeLogTest, OneNotificationPerAcceptedLineOnlyWhileBroadcasting) {
    RuntimeLog::warn("Daemon", "not broadcast");
    EXPECT_TRUE(observed.empty());

    RuntimeLog::setNotificationBroadcastEnabled(true);
    RuntimeLog::info("Daemon", "below the minimum");
    RuntimeLog::warn("Daemon", "first");
    RuntimeLog::error("Daemon", "second");
    ASSERT_EQ(observed.size(), 2u);
    EXPECT_TRUE(observed[0].ends_with("] [WARN] [Daemon] first\n"));
    EXPECT_TRUE(observed[1].ends_with("] [ERROR] [Daemon] second\n"));
}

TEST_F(RuntimeLogTest, BelowMinimumLevelAndDisabledProduceNoOutputAtAll) {
    RuntimeLog::setNotificationBroadcastEnabled(true);
    EXPECT_EQ(stderrOf(RuntimeLogLevel::info, "Daemon", "quiet"), "");

    setenv("JLX_LOG_DISABLED", "YES", 1);
    EXPECT_EQ(stderrOf(RuntimeLogLevel::error, "Daemon", "suppressed"), "");

    setenv("JLX_LOG_DISABLED", "0", 1);
    setMainBundle(std::make_shared<FixedMainBundle>(InfoDictionary{{"JLX_LOG_DISABLED", true}},
                                                    std::nullopt));
    EXPECT_NE(stderrOf(RuntimeLogLevel::error, "Daemon", "shown"), "");
    EXPECT_EQ(systemLog->entries.size(), 1u);
    EXPECT_EQ(observed.size(), 1u);

    unsetenv("JLX_LOG_DISABLED");
    EXPECT_EQ(stderrOf(RuntimeLogLevel::error, "Daemon", "Info switch"), "");
    EXPECT_FALSE(readFile(logFile()).ends_with("Info switch\n"));
}

TEST_F(RuntimeLogTest, ConcurrentWritersEachAppendWholeLinesToTheSharedFile) {
    EXPECT_EQ(RuntimeLog::sharedLogPath(), logFile().string());
    RuntimeLog::setNotificationBroadcastEnabled(true);
    testing::internal::CaptureStderr();
    {
        std::vector<std::jthread> writers;
        for (int writer = 0; writer < 4; ++writer) {
            writers.emplace_back([writer] {
                for (int i = 0; i < 50; ++i) {
                    RuntimeLog::warn("Writer" + std::to_string(writer), std::string(300, 'x'));
                }
            });
        }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(observed.size(), 200u);
    std::ifstream in(logFile());
    const std::regex shape(R"(\[\d+\.\d{3}\] \[WARN\] \[Writer[0-3]\] x{300})");
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    }
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

    EXPECT_EQ(observed.size(), 4u) << "the other outputs still get every line";
}

TEST_F(RuntimeLogTest, StandardErrorWithoutAReaderNeverStopsTheProcess) {
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe(ends) != 0) std::_Exit(2);
            close(ends[0]);
            dup2(ends[1], STDERR_FILENO);
            RuntimeLog::error("Daemon", "nobody reads this");
            RuntimeLog::error("Daemon", "nor this");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
