#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/InMemoryListener.h"
#include "JoulixDaemon/PmsetLowPowerMode.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/SharedRoot.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>
#include <variant>

namespace joulix {
namespace {

// Collects the runtime log's lines without their time stamp: "[LEVEL] [Component] message\n".
struct LogCapture {
    LogCapture() { RuntimeLog::configure(RuntimeLogLevel::info, true); }
    ~LogCapture() {
        RuntimeLog::removeObserver(token);
        RuntimeLog::configure(RuntimeLogLevel::warn, false);
    }
    std::string text() {
        std::lock_guard guard(lock);
        return lines;
    }
    std::mutex lock;
    std::string lines;
    const uint64_t token = RuntimeLog::addObserver([this](const std::string& line) {
        std::lock_guard guard(lock);
        lines += line.substr(line.find("] ") + 2);
    });
};

using Answer = std::variant<ShellResult, ShellRunnerError>;

ShellResult exited(int32_t status, std::string out = {}, std::string err = {}) {
    return ShellResult{status, std::move(out), std::move(err)};
}

// The service makes a runner per request; each passes its runs on to the harness's one.
struct Forwarder final : ShellRunning {
    explicit Forwarder(const ShellRunning& to) : target(to) {}
    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override {
        return target.run(executable, arguments);
    }
    const ShellRunning& target;
};

struct ServiceHarness {
    testing::ScriptedShellRunner shell;
    BatteryMetricsService service{
        {.makeShellRunner = [this] { return std::make_unique<Forwarder>(shell); },
         .pmsetInstalled = [] { return true; }}};
    InMemoryListener listener;
    ServiceHarness() {
        listener.setDelegate(service);
        listener.resume();
    }
    // pmset gives the first answer to the set, the second to the read-back "-g".
    void scriptPmset(std::vector<Answer> answers) {
        shell.script("/usr/bin/pmset", [answers](const std::vector<std::string>& arguments) {
            const std::size_t step = arguments.front() == "-g" ? 1 : 0;
            if (step >= answers.size()) throw ShellRunnerError::failedToLaunch("unscripted");
            if (const auto* error = std::get_if<ShellRunnerError>(&answers[step])) throw *error;
            return std::get<ShellResult>(answers[step]);
        });
    }
};

TEST(BatteryMetricsServiceTests, PingAndTerminationRepliesAndLogs) {
    LogCapture log;
    ServiceHarness harness;
    auto client = harness.listener.connect();
    EXPECT_TRUE(client.ping().get());
    EXPECT_EQ(client.terminateProcess(0).get(), (ServiceReply{false, "Invalid PID 0."}));
    // Above the kernel's pid limit: no such process.
    EXPECT_EQ(client.terminateProcess(2147483647).get(),
              (ServiceReply{true, "Process 2147483647 is already stopped."}));
    EXPECT_EQ(log.text(), "[INFO] [Daemon] BatteryMetricsService initialized.\n"
                          "[INFO] [Daemon] Accepted XPC connection.\n"
                          "[INFO] [Daemon] ping received.\n"
                          "[INFO] [Daemon] terminateProcess request received: pid=0\n"
                          "[ERROR] [Daemon] terminateProcess failed for pid=0: Invalid PID 0.\n"
                          "[INFO] [Daemon] terminateProcess request received: pid=2147483647\n"
                          "[INFO] [Daemon] terminateProcess succeeded for pid=2147483647\n");
}

TEST(BatteryMetricsServiceTests, LowPowerModeRepliesAndLogsEveryOutcome) {
    const auto timeout = ShellRunnerError::timedOut("/usr/bin/pmset -a", 4.0);
    const auto launch = [](const char* what) -> Answer {
        return ShellRunnerError::failedToLaunch(what);
    };
    // How the log words the outcome, before the message.
    const std::string error = "command error: ", failed = "failed: ",
                      verify = "verification failed: ";
    const std::string unlaunched = "Failed to launch command: ";
    const std::string undecided = "Unable to determine lowpowermode state from pmset output.";
    const std::string exitedThree = "Command exited with status 3: ";
    const std::string unchanged = "pmset completed but lowpowermode remained 0";
    struct Case {
        bool enabled;
        std::vector<Answer> answers;  // of the set, then of the read-back
        std::string logged;
        std::string message;  // empty: success
    };
    const Case cases[] = {
        {true, {launch("gone")}, error, unlaunched + "gone"},
        {true, {timeout}, error, timeout.what()},
        {true, {exited(1)}, failed, "pmset returned status 1"},
        {false, {exited(2, "", "\n  must be root\nsecond line\n")}, failed, "  must be root"},
        {true, {exited(0), launch("gone")}, error, unlaunched + "gone"},
        {true, {exited(0), exited(3, "lowpowermode 1", "x")}, error, exitedThree + "x"},
        {true, {exited(0), exited(0, " powermode 1\n")}, error, unlaunched + undecided},
        {true, {exited(0), exited(0, " lowpowermode 0\n")}, verify, unchanged},
        {false, {exited(0), exited(0, " lowpowermode 0\n")}, "applied successfully.", ""},
    };
    for (const auto& c : cases) {
        ServiceHarness harness;
        harness.scriptPmset(c.answers);
        LogCapture log;
        const bool success = c.message.empty();
        EXPECT_EQ(harness.listener.connect().setLowPowerMode(c.enabled).get(),
                  (ServiceReply{success, success ? std::nullopt : std::optional(c.message)}))
            << c.logged << c.message;
        std::vector<std::vector<std::string>> runs,
            expected = {{"-a", "lowpowermode", c.enabled ? "1" : "0"}, {"-g"}};
        expected.resize(c.answers.size());
        for (const auto& call : harness.shell.calls())
            runs.push_back(call.arguments);
        EXPECT_EQ(runs, expected) << c.logged << c.message;
        EXPECT_EQ(log.text(), std::string("[INFO] [Daemon] Accepted XPC connection.\n"
                                          "[INFO] [Daemon] setLowPowerMode request received: "
                                          "enabled=") +
                                  (c.enabled ? "true\n" : "false\n") +
                                  (success ? "[INFO]" : "[ERROR]") + " [Daemon] setLowPowerMode " +
                                  c.logged + c.message + "\n")
            << c.logged << c.message;
    }
}

TEST(BatteryMetricsServiceTests, WidensTheSharedDatabaseLocationAtStart) {
    namespace fs = std::filesystem;
    const testing::TemporaryDirectory root;
    const auto database = root.path() / "Joulix" / "battery_history.sqlite";
    root.writeFile("Joulix/battery_history.sqlite", "x");
    fs::permissions(root.path() / "Joulix", fs::perms::owner_all);
    fs::permissions(database, fs::perms::owner_read);
    const std::string previousRoot = sharedRoot();
    setSharedRoot(root.string());
    BatteryMetricsService service;
    setSharedRoot(previousRoot);
    EXPECT_EQ(fs::status(root.path() / "Joulix").permissions(),
              fs::perms::all | fs::perms::sticky_bit);
    EXPECT_EQ(fs::status(database).permissions(), static_cast<fs::perms>(0666));
}

// Every client of the in-memory listener is uid `callerUid`; polkit answers `answer`.
struct FakeAuthority final : CallerAuthority {
    std::optional<uint32_t> callerUid;
    Answer answer = Answer::notAuthorized;
    mutable std::vector<std::string> asked;
    std::optional<uint32_t> unixUser(const std::string&) const override { return callerUid; }
    Answer checkAuthorization(const std::string&, const std::string& action) const override {
        asked.push_back(action);
        return answer;
    }
};

// A process that exits on SIGTERM, owned by `owner`.
struct OwnedProcess final : ProcessSignaling {
    ProcessOwner processOwner;
    mutable bool ended = false;
    Opened open(int32_t) const override { return {3, 0}; }
    void close(int) const override {}
    int sendSignal(int, int signal) const override {
        if (ended) return ESRCH;
        ended = signal != 0;
        return 0;
    }
    std::optional<ProcessOwner> owner(int32_t, int) const override { return processOwner; }
    int32_t currentProcessIdentifier() const override { return 1; }
};

TEST(BatteryMetricsServiceTests, TerminationIsAuthorisedByOwnershipRootOrPolkit) {
    using PolkitAnswer = CallerAuthority::Answer;
    const std::string refusal = "Not authorised to end process 77 of user root";
    struct Case {
        std::optional<uint32_t> caller;
        ProcessOwner owner;
        PolkitAnswer polkit;
        bool ended;
        bool polkitAsked;
    };
    const Case cases[] = {
        {1000, {1000, 1000}, PolkitAnswer::notAuthorized, true, false},  // its own
        {0, {1000, 1000}, PolkitAnswer::notAuthorized, true, false},     // root
        {1000, {0, 0}, PolkitAnswer::notAuthorized, false, true},
        {1000, {0, 0}, PolkitAnswer::noAuthority, false, true},  // no polkit: owner and root only
        {1000, {0, 0}, PolkitAnswer::authorized, true, true},
        {1000, {1000, 0}, PolkitAnswer::notAuthorized, false, true},  // set-uid root: not its own
        {std::nullopt, {0, 0}, PolkitAnswer::authorized, false, false},  // caller left the bus
    };
    for (const auto& c : cases) {
        auto authority = std::make_shared<FakeAuthority>();
        authority->callerUid = c.caller;
        authority->answer = c.polkit;
        OwnedProcess process;
        process.processOwner = c.owner;
        BatteryMetricsService service{
            {.processTerminator = DefaultProcessTerminator(process), .callers = authority}};
        InMemoryListener listener;
        listener.setDelegate(service);
        listener.resume();
        const auto reply = listener.connect().terminateProcess(77).get();
        SCOPED_TRACE(std::to_string(c.caller.value_or(-1)) + " ends " +
                     std::to_string(c.owner.realUid) + "/" + std::to_string(c.owner.effectiveUid));
        EXPECT_EQ(process.ended, c.ended);
        EXPECT_EQ(reply,
                  (c.ended ? ServiceReply{true, std::nullopt} : ServiceReply{false, refusal}));
        EXPECT_EQ(authority->asked, std::vector<std::string>(c.polkitAsked ? 1 : 0,
                                                             CallerAuthority::terminateAnyAction));
    }
}

TEST(PmsetLowPowerModeTests, ReadsTheSettingFromPmsetOutput) {
    const std::pair<std::string, std::optional<bool>> cases[] = {
        {"Currently in use:\n   lowpowermode     1  \n", true},
        {" LowPowerMode 0\n", false},
        {" lowpowermodeextra 1\n", true},
        {" lowpowermode\n lowpowermode on\n lowpowermode 1\n", true},  // undecided lines skipped
        {" lowpowermode 0\r\n lowpowermode 1\r\n", false},             // the first decisive wins
        {"standby 1\u2028lowpowermode\t1\u2029", true},
        {" powermode 1\n **lowpowermode 0**\n", std::nullopt},  // the name must come first
        {"System-wide power settings:\n sleep 1\n", std::nullopt},
        {"", std::nullopt},
        {testing::fixture("pmset/laptop-lowpowermode-on.txt"), true},
        {testing::fixture("pmset/laptop-lowpowermode-off.txt"), false},
        {testing::fixture("pmset/desktop-powermode-only.txt"), std::nullopt},
    };
    for (const auto& [output, expected] : cases) {
        EXPECT_EQ(lowPowerModeFromPmsetOutput(output), expected) << output;
    }
}

}  // namespace
}  // namespace joulix
