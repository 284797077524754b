#include "MetricsCollectors/ProcessTerminator.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace joulix {
namespace {

constexpr int32_t ownPid = 4242;

// A process that answers each signal with a scripted error and records every signal sent.
class ScriptedSignals final : public ProcessSignaling {
  public:
    int openError = 0, probeError = 0, termError = 0, killError = 0;
    int waitProbeError = 0;  // error of the probes while waiting, when not yet gone
    int exitsOn = 0;         // the signal that ends the process, if any
    std::optional<ProcessOwner> processOwner = ProcessOwner{1000, 1000};

    Opened open(int32_t pid) const override { return {pid, openError}; }
    void close(int) const override {}
    std::optional<ProcessOwner> owner(int32_t, int) const override { return processOwner; }
    int sendSignal(int pid, int signal) const override {
        std::lock_guard guard(lock);
        sent.push_back({pid, signal});
        if (signal == 0) {
            if (gone) return ESRCH;
            return sent.size() <= 2 ? probeError : waitProbeError;
        }
        const int error = signal == SIGTERM ? termError : killError;
        if (error == 0 && signal == exitsOn) gone = true;
        return error;
    }
    int32_t currentProcessIdentifier() const override { return ownPid; }

    std::vector<int> signalsSent() const {
        std::vector<int> result;
        for (const auto& [pid, signal] : sent) {
            if (signal != 0) result.push_back(signal);
        }
        return result;
    }

    mutable std::mutex lock;
    mutable std::vector<std::pair<int32_t, int>> sent;
    mutable bool gone = false;
};

TEST(ProcessTerminatorTests, EveryOutcomeOfTheSignalSequence) {
    const auto ok = ProcessTerminationResult::success;
    const auto fail = ProcessTerminationResult::failure;
    const std::string eperm = ": " + errorNumberText(EPERM) + ".";
    const std::string ignored = "Process 77 ignored SIGTERM and SIGKILL.";
    struct Case {
        const char* name;
        int probeError, termError, killError, waitProbeError, exitsOn;
        ProcessTerminationResult expected;
        size_t signalCount;  // of SIGTERM, SIGKILL in that order
        int32_t pid = 77;
    };
    // clang-format off
    const Case cases[] = {
        {"pid 0", 0, 0, 0, 0, 0, fail("Invalid PID 0."), 0, 0},
        {"pid -1", 0, 0, 0, 0, 0, fail("Invalid PID -1."), 0, -1},
        {"this process", 0, 0, 0, 0, 0,
         fail("Refusing to terminate the current process (4242)."), 0, ownPid},
        {"init", 0, 0, 0, 0, 0, fail("Refusing to terminate the init process (1)."), 0, 1},
        {"already gone", ESRCH, 0, 0, 0, 0, ok("Process 77 is already stopped."), 0},
        {"no such pid", -ESRCH, 0, 0, 0, 0, ok("Process 77 is already stopped."), 0},
        {"not opened", -EPERM, 0, 0, 0, 0, fail("Unable to inspect process 77" + eperm), 0},
        {"probe denied", EPERM, 0, 0, 0, 0, fail("Unable to inspect process 77" + eperm), 0},
        {"gone at TERM", 0, ESRCH, 0, 0, 0,
         ok("Process 77 exited before termination completed."), 1},
        {"TERM denied", 0, EPERM, 0, 0, 0, fail("Unable to terminate process 77" + eperm), 1},
        {"exits on TERM", 0, 0, 0, 0, SIGTERM, ok(std::nullopt), 1},
        {"gone at KILL", 0, 0, ESRCH, 0, 0, ok("Process 77 exited before SIGKILL completed."), 2},
        {"KILL denied", 0, 0, EPERM, 0, 0, fail("Unable to force terminate process 77" + eperm), 2},
        {"exits on KILL", 0, 0, 0, 0, SIGKILL, ok("Process 77 required SIGKILL."), 2},
        // A probe error other than ESRCH while waiting does not count as gone.
        {"wait probe denied", 0, 0, 0, EPERM, 0, fail(ignored), 2},
        {"survives both", 0, 0, 0, 0, 0, fail(ignored), 2},
    };
    // clang-format on
    for (const auto& c : cases) {
        ScriptedSignals signals;
        // A negative probe error is the error of taking the process by its pid.
        (c.probeError < 0 ? signals.openError : signals.probeError) = std::abs(c.probeError);
        signals.termError = c.termError;
        signals.killError = c.killError;
        signals.waitProbeError = c.waitProbeError;
        signals.exitsOn = c.exitsOn;
        EXPECT_EQ(DefaultProcessTerminator(signals).terminateProcess(c.pid), c.expected) << c.name;
        std::vector<int> expectedSignals{SIGTERM, SIGKILL};
        expectedSignals.resize(c.signalCount);
        EXPECT_EQ(signals.signalsSent(), expectedSignals) << c.name;
        EXPECT_TRUE(c.pid == 77 || signals.sent.empty()) << c.name << ": refused, nothing sent";
    }
}

TEST(ProcessTerminatorTests, AuthorisationDecidesOnTheHeldProcessBeforeAnySignal) {
    ScriptedSignals signals;
    signals.processOwner = ProcessOwner{0, 0};
    std::optional<ProcessOwner> asked;
    const auto result = DefaultProcessTerminator(signals).terminateProcess(
        77, [&](const ProcessOwner& owner) -> std::optional<std::string> {
            asked = owner;
            return "Not authorised";
        });
    EXPECT_EQ(result, ProcessTerminationResult::failure("Not authorised"));
    EXPECT_EQ(asked, (ProcessOwner{0, 0}));
    EXPECT_TRUE(signals.signalsSent().empty());

    // An owner that cannot be read, of a process still there, is not taken as anyone's.
    signals.processOwner.reset();
    EXPECT_EQ(DefaultProcessTerminator(signals).terminateProcess(77),
              ProcessTerminationResult::failure(
                  "Unable to inspect process 77: its owner cannot be read."));
    EXPECT_TRUE(signals.signalsSent().empty());
}

// Exit codes of the reused-pid scenario below, which runs in a process of its own.
enum ReuseOutcome { reuseHeld = 0, reuseNotArranged = 10, reuseWrongResult, reuseSignalled };

pid_t sleeper() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        while (true)
            ::pause();
    }
    return pid;
}

// Ends the target by pid and hands its pid to a new process just before the terminator's
// SIGTERM: the signal goes through the handle taken before, so the newcomer is never hit.
class PidReusingSignals final : public ProcessSignaling {
  public:
    Opened open(int32_t pid) const override { return systemProcessSignals().open(pid); }
    void close(int handle) const override { systemProcessSignals().close(handle); }
    std::optional<ProcessOwner> owner(int32_t pid, int handle) const override {
        return systemProcessSignals().owner(pid, handle);
    }
    int32_t currentProcessIdentifier() const override { return ::getpid(); }
    int sendSignal(int handle, int signal) const override {
        if (signal == SIGTERM && successor == 0) {
            ::kill(target, SIGKILL);
            ::waitpid(target, nullptr, 0);
            std::ofstream("/proc/sys/kernel/ns_last_pid") << target - 1;
            successor = sleeper();
        }
        return systemProcessSignals().sendSignal(handle, signal);
    }
    pid_t target = 0;
    mutable pid_t successor = 0;
};

// Runs as the first process of a new pid namespace (with its own /proc), where nothing else
// takes pids, so the pid can be handed on at will.
int reusedPidScenario() {
    if (::mount("proc", "/proc", "proc", 0, nullptr) != 0) return reuseNotArranged;
    PidReusingSignals signals;
    signals.target = sleeper();
    const auto result = DefaultProcessTerminator(signals).terminateProcess(signals.target);
    if (signals.successor != signals.target) return reuseNotArranged;
    if (result != ProcessTerminationResult::success("Process " + std::to_string(signals.target) +
                                                    " exited before termination completed.")) {
        return reuseWrongResult;
    }
    const bool alive = ::waitpid(signals.successor, nullptr, WNOHANG) == 0;
    return alive ? reuseHeld : reuseSignalled;
}

TEST(ProcessTerminatorTests, ReusedPidIsNeverSignalled) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a pid namespace";
    const pid_t runner = ::fork();
    if (runner == 0) {
        // A private mount namespace, so the namespace's /proc is mounted over nobody else's.
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            ::_exit(reuseNotArranged);
        }
        const pid_t first = ::fork();
        if (first == 0) ::_exit(reusedPidScenario());
        int status = 0;
        ::waitpid(first, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : reuseNotArranged);
    }
    int status = 0;
    ::waitpid(runner, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), reuseHeld);
}

}  // namespace
}  // namespace joulix
