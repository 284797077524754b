#include "MetricsCollectors/ProcessTerminator.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace joulix {
namespace {

constexpr int32_t ownPid = 4242;
constexpr int32_t target = 77;
constexpr int never = -1;

// A process that answers each signal as scripted and exits on `exitsOn` (SIGTERM, SIGKILL or
// never). Records every signal sent.
class ScriptedSignals final : public ProcessSignaling {
  public:
    int probeError = 0;
    int termError = 0;
    int killError = 0;
    int waitProbeError = 0;  // error of the probes while waiting, when not yet gone
    int exitsOn = never;

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
    struct Case {
        int32_t pid;
        const char* message;
    };
    const Case cases[] = {
        {0, "Invalid PID 0."},
        {-1, "Invalid PID -1."},
        {ownPid, "Refusing to terminate the current process (4242)."},
        {1, "Refusing to terminate the init process (1)."},
    };
    for (const auto& c : cases) {
        ScriptedSignals signals;
        const auto result = DefaultProcessTerminator(signals).terminateProcess(c.pid);
        EXPECT_EQ(result, ProcessTerminationResult::failure(c.message)) << c.pid;
        EXPECT_TRUE(signals.sent.empty()) << c.pid;
    }
}

TEST(ProcessTerminatorTests, EveryOutcomeOfTheSignalSequence) {
    const std::string eperm = errorNumberText(EPERM);
    struct Case {
        const char* name;
        int probeError, termError, killError, waitProbeError, exitsOn;
        ProcessTerminationResult expected;
        std::vector<int> signals;
    };
    const Case cases[] = {
        {"already gone",
         ESRCH,
         0,
         0,
         0,
         never,
         ProcessTerminationResult::success("Process 77 is already stopped."),
         {}},
        {"probe denied",
         EPERM,
         0,
         0,
         0,
         never,
         ProcessTerminationResult::failure("Unable to inspect process 77: " + eperm + "."),
         {}},
        {"gone before SIGTERM",
         0,
         ESRCH,
         0,
         0,
         never,
         ProcessTerminationResult::success("Process 77 exited before termination completed."),
         {SIGTERM}},
        {"SIGTERM denied",
         0,
         EPERM,
         0,
         0,
         never,
         ProcessTerminationResult::failure("Unable to terminate process 77: " + eperm + "."),
         {SIGTERM}},
        {"exits on SIGTERM", 0, 0, 0, 0, SIGTERM, ProcessTerminationResult::success(), {SIGTERM}},
        {"gone before SIGKILL",
         0,
         0,
         ESRCH,
         0,
         never,
         ProcessTerminationResult::success("Process 77 exited before SIGKILL completed."),
         {SIGTERM, SIGKILL}},
        {"SIGKILL denied",
         0,
         0,
         EPERM,
         0,
         never,
         ProcessTerminationResult::failure("Unable to force terminate process 77: " + eperm + "."),
         {SIGTERM, SIGKILL}},
        {"exits on SIGKILL",
         0,
         0,
         0,
         0,
         SIGKILL,
         ProcessTerminationResult::success("Process 77 required SIGKILL."),
         {SIGTERM, SIGKILL}},
        // A probe error other than ESRCH while waiting does not count as gone.
        {"wait probe denied",
         0,
         0,
         0,
         EPERM,
         never,
         ProcessTerminationResult::failure("Process 77 ignored SIGTERM and SIGKILL."),
         {SIGTERM, SIGKILL}},
        {"survives both",
         0,
         0,
         0,
         0,
         never,
         ProcessTerminationResult::failure("Process 77 ignored SIGTERM and SIGKILL."),
         {SIGTERM, SIGKILL}},
    };
    for (const auto& c : cases) {
        ScriptedSignals signals;
        signals.probeError = c.probeError;
        signals.termError = c.termError;
        signals.killError = c.killError;
        signals.waitProbeError = c.waitProbeError;
        signals.exitsOn = c.exitsOn;
        EXPECT_EQ(DefaultProcessTerminator(signals).terminateProcess(target), c.expected) << c.name;
        EXPECT_EQ(signals.signalsSent(), c.signals) << c.name;
    }
}

}  // namespace
}  // namespace joulix
