#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/InMemoryListener.h"
#include "JoulixDaemon/PmsetLowPowerMode.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/SharedRoot.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <unistd.h>
#include <variant>

namespace joulix {
namespace {

// Collects the runtime log's lines as "LEVEL Component message", without the time stamp.
class LogCapture {
  public:
    LogCapture() {
        RuntimeLog::setMinimumLevel(RuntimeLogLevel::info);
        RuntimeLog::setNotificationBroadcastEnabled(true);
        token_ = RuntimeLog::addObserver([this](const std::string& line) {
            // "[1700000000.000] [INFO] [Daemon] message\n"
            auto rest = line.substr(line.find("] [") + 3);
            const auto level = rest.substr(0, rest.find(']'));
            rest = rest.substr(rest.find("] [") + 3);
            const auto component = rest.substr(0, rest.find(']'));
            auto message = rest.substr(rest.find("] ") + 2);
            if (!message.empty() && message.back() == '\n') message.pop_back();
            std::lock_guard guard(lock_);
            lines_.push_back(level + " " + component + " " + message);
        });
    }
    ~LogCapture() {
        RuntimeLog::removeObserver(token_);
        RuntimeLog::setNotificationBroadcastEnabled(false);
        RuntimeLog::setMinimumLevel(RuntimeLogLevel::warn);
    }
    std::vector<std::string> lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }

  private:
    uint64_t token_ = 0;
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// Plays one scripted answer per pmset run (a result or an error) and records the arguments.
using Answer = std::variant<ShellResult, ShellRunnerError>;
struct Script {
    std::vector<Answer> answers;
    std::vector<std::vector<std::string>> runs;
    std::mutex lock;
};

class ScriptedRunner final : public ShellRunning {
  public:
    explicit ScriptedRunner(Script& script) : script_(script) {}
    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override {
        std::lock_guard guard(script_.lock);
        EXPECT_EQ(executable, "/usr/bin/pmset");
        const auto index = script_.runs.size();
        script_.runs.push_back(arguments);
        if (index >= script_.answers.size()) throw ShellRunnerError::failedToLaunch("unscripted");
        if (const auto* error = std::get_if<ShellRunnerError>(&script_.answers[index])) {
            throw *error;
        }
        return std::get<ShellResult>(script_.answers[index]);
    }

  private:
    Script& script_;
};

ShellResult exited(int32_t status, std::string out = {}, std::string err = {}) {
    return ShellResult{status, std::move(out), std::move(err)};
}

struct ServiceHarness {
    Script script;
    BatteryMetricsService service{[this] { return std::make_unique<ScriptedRunner>(script); }};
    InMemoryListener listener;
    ServiceHarness() {
        listener.setDelegate(service);
        listener.resume();
    }
};

TEST(BatteryMetricsServiceTests, StartsAcceptsAndPings) {
    LogCapture log;
    ServiceHarness harness;
    auto client = harness.listener.connect();
    EXPECT_TRUE(client.ping().get());
    EXPECT_TRUE(client.ping().get());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO Daemon BatteryMetricsService initialized.",
                               "INFO Daemon Accepted XPC connection.",
                               "INFO Daemon ping received.",
                               "INFO Daemon ping received.",
                           }));
}

TEST(BatteryMetricsServiceTests, LowPowerModeOutcomes) {
    const std::string unparsable =
        "Failed to launch command: Unable to determine lowpowermode state from pmset output.";
    struct Case {
        const char* name;
        bool enabled;
        std::vector<Answer> answers;
        bool success;
        std::string message;  // empty: none
        std::string logLine;
        std::size_t runs;
    };
    const Case cases[] = {
        {"set cannot launch",
         true,
         {ShellRunnerError::failedToLaunch("No such file or directory")},
         false,
         "Failed to launch command: No such file or directory",
         "ERROR Daemon setLowPowerMode command error: Failed to launch command: No such file or "
         "directory",
         1},
        {"set times out",
         true,
         {ShellRunnerError::timedOut("/usr/bin/pmset -a", 4.0)},
         false,
         ShellRunnerError::timedOut("/usr/bin/pmset -a", 4.0).what(),
         std::string("ERROR Daemon setLowPowerMode command error: ") +
             ShellRunnerError::timedOut("/usr/bin/pmset -a", 4.0).what(),
         1},
        {"set fails silently",
         true,
         {exited(1)},
         false,
         "pmset returned status 1",
         "ERROR Daemon setLowPowerMode failed: pmset returned status 1",
         1},
        {"set fails with a reason",
         false,
         {exited(2, "", "\n  must be root\nsecond line\n")},
         false,
         "  must be root",
         "ERROR Daemon setLowPowerMode failed:   must be root",
         1},
        {"read-back cannot launch",
         true,
         {exited(0), ShellRunnerError::failedToLaunch("gone")},
         false,
         "Failed to launch command: gone",
         "ERROR Daemon setLowPowerMode command error: Failed to launch command: gone",
         2},
        {"read-back exits non-zero",
         true,
         {exited(0), exited(3, " lowpowermode 1\n", "busy")},
         false,
         "Command exited with status 3: busy",
         "ERROR Daemon setLowPowerMode command error: Command exited with status 3: busy",
         2},
        {"read-back undecided",
         true,
         {exited(0), exited(0, " powermode 1\n")},
         false,
         unparsable,
         "ERROR Daemon setLowPowerMode command error: " + unparsable,
         2},
        {"mode unchanged",
         true,
         {exited(0), exited(0, " lowpowermode 0\n")},
         false,
         "pmset completed but lowpowermode remained 0",
         "ERROR Daemon setLowPowerMode verification failed: pmset completed but lowpowermode "
         "remained 0",
         2},
        {"applied",
         false,
         {exited(0), exited(0, " lowpowermode 0\n")},
         true,
         "",
         "INFO Daemon setLowPowerMode applied successfully.",
         2},
    };
    for (const auto& c : cases) {
        ServiceHarness harness;
        harness.script.answers = c.answers;
        LogCapture log;
        const ServiceReply expected{
            c.success, c.message.empty() ? std::nullopt : std::optional<std::string>(c.message)};
        EXPECT_EQ(harness.listener.connect().setLowPowerMode(c.enabled).get(), expected) << c.name;
        const std::vector<std::vector<std::string>> runs = {
            {"-a", "lowpowermode", c.enabled ? "1" : "0"}, {"-g"}};
        EXPECT_EQ(harness.script.runs,
                  decltype(runs)(runs.begin(), runs.begin() + static_cast<long>(c.runs)))
            << c.name;
        const auto request = std::string("INFO Daemon setLowPowerMode request received: enabled=") +
                             (c.enabled ? "true" : "false");
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO Daemon Accepted XPC connection.",
                                                         request, c.logLine}))
            << c.name;
    }
}

TEST(BatteryMetricsServiceTests, TerminationRepliesAndLogs) {
    ServiceHarness harness;
    LogCapture log;
    auto client = harness.listener.connect();
    EXPECT_EQ(client.terminateProcess(0).get(), (ServiceReply{false, "Invalid PID 0."}));
    // A pid above the kernel's limit never exists.
    EXPECT_EQ(client.terminateProcess(2147483647).get(),
              (ServiceReply{true, "Process 2147483647 is already stopped."}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO Daemon Accepted XPC connection.",
                               "INFO Daemon terminateProcess request received: pid=0",
                               "ERROR Daemon terminateProcess failed for pid=0: Invalid PID 0.",
                               "INFO Daemon terminateProcess request received: pid=2147483647",
                               "INFO Daemon terminateProcess succeeded for pid=2147483647",
                           }));
}

TEST(BatteryMetricsServiceTests, WidensTheSharedDatabaseLocationAtStart) {
    const auto root =
        std::filesystem::temp_directory_path() / ("jlx-service-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "Joulix");
    std::ofstream(root / "Joulix" / "battery_history.sqlite") << "x";
    std::filesystem::permissions(root / "Joulix", std::filesystem::perms::owner_all);
    std::filesystem::permissions(root / "Joulix" / "battery_history.sqlite",
                                 std::filesystem::perms::owner_read);
    setSharedRoot(root.string());
    BatteryMetricsService service;
    setSharedRoot(defaultSharedRoot);
    EXPECT_EQ(std::filesystem::status(root / "Joulix").permissions(), std::filesystem::perms::all);
    EXPECT_EQ(std::filesystem::status(root / "Joulix" / "battery_history.sqlite").permissions(),
              static_cast<std::filesystem::perms>(0666));
    std::filesystem::remove_all(root);
}

TEST(PmsetLowPowerModeTests, ReadsTheSettingFromPmsetLines) {
    struct Case {
        const char* name;
        std::string output;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"blanks around", "Currently in use:\n   lowpowermode     1  \n", true},
        {"mixed case", " LowPowerMode 0\n", false},
        {"longer name", " lowpowermodeextra 1\n", true},
        {"undecided line skipped", " lowpowermode\n lowpowermode on\n lowpowermode 1\n", true},
        {"first decisive wins", " lowpowermode 0\r\n lowpowermode 1\r\n", false},
        {"unicode separators", "standby 1\u2028lowpowermode\t1\u2029", true},
        {"name not first", " powermode 1\n **lowpowermode 0**\n", std::nullopt},
        {"no such line", "System-wide power settings:\n sleep 1\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lowPowerModeFromPmsetOutput(c.output), c.expected) << c.name;
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

TEST(PmsetLowPowerModeTests, ReadsWholePmsetListings) {
    const std::filesystem::path folder = JOULIX_FIXTURES "/pmset";
    EXPECT_EQ(lowPowerModeFromPmsetOutput(readFile(folder / "laptop-lowpowermode-on.txt")), true);
    EXPECT_EQ(lowPowerModeFromPmsetOutput(readFile(folder / "laptop-lowpowermode-off.txt")), false);
    EXPECT_EQ(lowPowerModeFromPmsetOutput(readFile(folder / "desktop-powermode-only.txt")),
              std::nullopt);
}

}  // namespace
}  // namespace joulix
