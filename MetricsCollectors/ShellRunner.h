#pragma once
// Runs one external tool: starts the executable with its arguments, captures standard output
// and standard error whole (decoded as UTF-8, invalid bytes become U+FFFD), waits with a
// time-out chosen per command from JLX_SHELL_TIMEOUT_SEC / JLX_PM_TIMEOUT_SEC, and stops a
// child that overruns with SIGTERM, then SIGKILL. Safe to call from many threads at once.
//
// The child reads /dev/null and runs in a process group of its own; the stopping signals go to
// the whole group. Reading never outlasts the time-out: output pipes that a background
// grandchild keeps open are closed at the deadline and what was read is returned. Each stream
// holds at most 64 MiB; beyond that, or when memory runs out while capturing, the child is
// stopped and the run fails with outputNotCaptured. SIGCHLD ignored by the process would hide
// every exit status, so the runner restores its default disposition first.
#include "SharedModels/Error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace joulix {

struct ShellResult {
    int32_t status = 0;
    std::string stdout;
    std::string stderr;

    friend bool operator==(const ShellResult&, const ShellResult&) = default;
};

class ShellRunnerError : public Error {
  public:
    enum class Kind { failedToLaunch, nonZeroExit, timedOut, outputNotCaptured, statusLost };

    static ShellRunnerError failedToLaunch(const std::string& description);
    static ShellRunnerError nonZeroExit(const ShellResult& result);
    static ShellRunnerError timedOut(const std::string& command, double timeoutSeconds);
    // "Command output not captured (<reason>): <command>"
    static ShellRunnerError outputNotCaptured(const std::string& command,
                                              const std::string& reason);
    // "Command exit status lost (the child was reaped elsewhere in this process): <command>"
    static ShellRunnerError statusLost(const std::string& command);

    Kind kind() const { return kind_; }
    // The case's payload; fields of the other cases stay empty or 0.
    const std::string& launchErrorDescription() const { return launchErrorDescription_; }
    const ShellResult& result() const { return result_; }
    const std::string& command() const { return command_; }
    double timeoutSeconds() const { return timeoutSeconds_; }

  private:
    ShellRunnerError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
    std::string launchErrorDescription_;
    ShellResult result_;
    std::string command_;
    double timeoutSeconds_ = 0;
};

class ShellRunning {
  public:
    virtual ~ShellRunning() = default;
    // Runs `executable` (an absolute path) with `arguments`; throws ShellRunnerError.
    virtual ShellResult run(const std::string& executable,
                            const std::vector<std::string>& arguments) const = 0;
    // Throws the launch failure that running `executable` would meet (missing, not executable);
    // for a tool another one starts. A runner that stands in for tools may start any of them.
    virtual void checkLaunchable(const std::string& executable) const { (void)executable; }
};

class DefaultShellRunner final : public ShellRunning {
  public:
    double terminateGraceSeconds = 0.75;
    double killGraceSeconds = 1.0;

    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override;
    // A tool that is missing or not executable (to the effective user) fails to launch.
    void checkLaunchable(const std::string& executable) const override;

    // The time-out in seconds for one command, read afresh from the environment.
    static double resolveTimeoutSeconds(const std::string& executable,
                                        const std::vector<std::string>& arguments);

    // Sets SIGCHLD back to its default disposition when it is ignored (or children are
    // auto-reaped), so that waiting for a child yields its real status.
    static void restoreChildExitStatuses();

    static constexpr std::size_t outputLimitBytes = 64 * 1024 * 1024;
};

}  // namespace joulix
