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
    return terminateProcess(pid, [](const ProcessOwner&) { return std::nullopt; });
}

ProcessTerminationResult
DefaultProcessTerminator::terminateProcess(int32_t pid, const Authorize& authorize) const {
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

    const auto opened = signals_->open(pid);
    if (opened.error == ESRCH) {
        return ProcessTerminationResult::success("Process " + pidText + " is already stopped.");
    }
    if (opened.error != 0) {
        return ProcessTerminationResult::failure("Unable to inspect process " + pidText + ": " +
                                                 errorNumberText(opened.error) + ".");
    }
    auto result = signalHeld(pid, opened.handle, authorize);
    signals_->close(opened.handle);
    return result;
}

ProcessTerminationResult DefaultProcessTerminator::signalHeld(int32_t pid, int handle,
                                                              const Authorize& authorize) const {
    const std::string pidText = std::to_string(pid);
    const auto stopped = [&] {
        return ProcessTerminationResult::success("Process " + pidText + " is already stopped.");
    };
    if (const int probeError = signals_->sendSignal(handle, 0); probeError != 0) {
        if (probeError == ESRCH) return stopped();
        return ProcessTerminationResult::failure("Unable to inspect process " + pidText + ": " +
                                                 errorNumberText(probeError) + ".");
    }
    const auto owner = signals_->owner(pid, handle);
    if (!owner) {
        if (signals_->sendSignal(handle, 0) == ESRCH) return stopped();
        return ProcessTerminationResult::failure("Unable to inspect process " + pidText +
                                                 ": its owner cannot be read.");
    }
    if (auto refusal = authorize(*owner)) return ProcessTerminationResult::failure(*refusal);

    if (const int termError = signals_->sendSignal(handle, SIGTERM); termError != 0) {
        if (termError == ESRCH) {
            return ProcessTerminationResult::success("Process " + pidText +
                                                     " exited before termination completed.");
        }
        return ProcessTerminationResult::failure("Unable to terminate process " + pidText + ": " +
                                                 errorNumberText(termError) + ".");
    }
    if (waitForExit(handle, terminateWaitSeconds)) return ProcessTerminationResult::success();

    if (const int killError = signals_->sendSignal(handle, SIGKILL); killError != 0) {
        if (killError == ESRCH) {
            return ProcessTerminationResult::success("Process " + pidText +
                                                     " exited before SIGKILL completed.");
        }
        return ProcessTerminationResult::failure("Unable to force terminate process " + pidText +
                                                 ": " + errorNumberText(killError) + ".");
    }
    if (waitForExit(handle, killWaitSeconds)) {
        return ProcessTerminationResult::success("Process " + pidText + " required SIGKILL.");
    }
    return ProcessTerminationResult::failure("Process " + pidText +
                                             " ignored SIGTERM and SIGKILL.");
}

bool DefaultProcessTerminator::waitForExit(int handle, double timeoutSeconds) const {
    // A monotonic clock, so that a change of the wall clock neither cuts the wait short nor
    // holds the caller's thread for as long as the clock was set back.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeoutSeconds));
    while (true) {
        if (Clock::now() >= deadline) return false;
        if (const int probeError = signals_->sendSignal(handle, 0); probeError != 0) {
            return probeError == ESRCH;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pollIntervalMicroseconds));
    }
}

}  // namespace joulix
