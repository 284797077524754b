#include "MetricsCollectors/ProcessTerminator.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace joulix {
namespace {

constexpr int32_t ownPid = 4242;

// A process that answers each signal with a scripted error and records every signal sent.
class ScriptedSignals final : public ProcessSignaling {
  public:
    int probeError = 0, termError = 0, killError = 0;
    int waitProbeError = 0;  // error of the probes while waiting, when not yet gone
    int exitsOn = 0;         // the signal that ends the process, if any

    int sendSignal(int32_t pid, int signal) const override {
        std::lock_guard guard(lock);
        sent.push_back({pid, signal});
        if (signal == 0) {
            if (gone) return ESRCH;
            return sent.size() == 1 ? probeError : waitProbeError;
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

TEST(ProcessTerminatorTests, RefusesWithoutSendingAnySignal) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "Invalid PID 0."},
        {-1, "Invalid PID -1."},
        {ownPid, "Refusing to terminate the current process (4242)."},
        {1, "Refusing to terminate the init process (1)."},
    };
    for (const auto& [pid, message] : cases) {
        ScriptedSignals signals;
        const auto result = DefaultProcessTerminator(signals).terminateProcess(pid);
        EXPECT_EQ(result, ProcessTerminationResult::failure(message)) << pid;
        EXPECT_TRUE(signals.sent.empty()) << pid;
    }
}

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
    };
    // clang-format off
    const Case cases[] = {
        {"already gone", ESRCH, 0, 0, 0, 0, ok("Process 77 is already stopped."), 0},
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
        signals.probeError = c.probeError;
        signals.termError = c.termError;
        signals.killError = c.killError;
        signals.waitProbeError = c.waitProbeError;
        signals.exitsOn = c.exitsOn;
        EXPECT_EQ(DefaultProcessTerminator(signals).terminateProcess(77), c.expected) << c.name;
        std::vector<int> expectedSignals{SIGTERM, SIGKILL};
        expectedSignals.resize(c.signalCount);
        EXPECT_EQ(signals.signalsSent(), expectedSignals) << c.name;
    }
}

}  // namespace
}  // namespace joulix
