#pragma once
// Test helpers for talking to the daemon over a real bus: a dbus-daemon of the test's own, and
// child processes that are reaped as soon as they end.
#include "tests/cli/RunJoulix.h"

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace joulix::testing {

class PrivateBus {
  public:
    // With no policy file: a bus that lets everyone do everything. With one: a bus shaped like
    // the system bus (method calls and name ownership denied by default) that includes it.
    explicit PrivateBus(const std::string& policyFile = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }

  private:
    std::string directory_;
    std::string address_;
    pid_t pid_ = -1;
};

class ChildProcess {
  public:
    // Starts `argv`; with `ignoreSigterm`, the child ignores SIGTERM across exec.
    explicit ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm = false);
    // Kills the child if it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool exited() const { return exited_; }

  private:
    pid_t pid_ = -1;
    std::atomic<bool> exited_ = false;
    std::thread reaper_;
};

// Waits up to 5 s for the daemon at `busName` on `address` to answer a ping.
bool waitUntilServing(const std::string& address, const std::string& busName);

// A pid that no process has: a child's, after it has been reaped.
pid_t vacantPid();

std::string binary(const std::string& relativePath);  // under the build directory

}  // namespace joulix::testing
