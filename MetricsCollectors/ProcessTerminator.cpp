#include "MetricsCollectors/ProcessTerminator.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

namespace joulix {

namespace {
constexpr int32_t initProcessIdentifier = 1;
}

ProcessTerminationResult DefaultProcessTerminator::terminateProcess(int32_t pid) const {
    const std::string pidText = std::to_string(pid);
    if (pid < 1) return ProcessTerminationResult::failure("Invalid PID " + pidText + ".");
    if (pid == signals_->currentProcessIdentifier()) {
        return ProcessTerminationResult::failure("Refusing to terminate the current process (" +
                                                 pidText + ").");
    }
    // Signalling init as root would take the whole machine down.
    if (pid == initProcessIdentifier) {
        return ProcessTerminationResult::failure("Refusing to terminate the init process (1).");
    }

    if (const int probeError = signals_->sendSignal(pid, 0); probeError != 0) {
        if (probeError == ESRCH) {
            return ProcessTerminationResult::success("Process " + pidText + " is already stopped.");
        }
        return ProcessTerminationResult::failure("Unable to inspect process " + pidText + ": " +
                                                 errorNumberText(probeError) + ".");
    }

    if (const int termError = signals_->sendSignal(pid, SIGTERM); termError != 0) {
        if (termError == ESRCH) {
            return ProcessTerminationResult::success("Process " + pidText +
                                                     " exited before termination completed.");
        }
        return ProcessTerminationResult::failure("Unable to terminate process " + pidText + ": " +
                                                 errorNumberText(termError) + ".");
    }
    if (waitForExit(pid, terminateWaitSeconds)) return ProcessTerminationResult::success();

    if (const int killError = signals_->sendSignal(pid, SIGKILL); killError != 0) {
        if (killError == ESRCH) {
            return ProcessTerminationResult::success("Process " + pidText +
                                                     " exited before SIGKILL completed.");
        }
        return ProcessTerminationResult::failure("Unable to force terminate process " + pidText +
                                                 ": " + errorNumberText(killError) + ".");
    }
    if (waitForExit(pid, killWaitSeconds)) {
        return ProcessTerminationResult::success("Process " + pidText + " required SIGKILL.");
    }
    return ProcessTerminationResult::failure("Process " + pidText +
                                             " ignored SIGTERM and SIGKILL.");
}

bool DefaultProcessTerminator::waitForExit(int32_t pid, double timeoutSeconds) const {
    // A monotonic clock, so that a change of the wall clock neither cuts the wait short nor
    // holds the caller's thread for as long as the clock was set back.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    while (true) {
        if (Clock::now() >= deadline) return false;
        if (const int probeError = signals_->sendSignal(pid, 0); probeError != 0) {
            return probeError == ESRCH;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pollIntervalMicroseconds));
    }
}

}  // namespace joulix
