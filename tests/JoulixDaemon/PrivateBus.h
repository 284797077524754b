#pragma once
// Test helpers for talking to the daemon over a real bus: a dbus-daemon of the test's own, child
// processes that are reaped as soon as they end, and the daemon executable serving on a bus.
#include "tests/cli/RunJoulix.h"

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace joulix::testing {

// With no policy file: a bus that lets everyone do everything. With one: a bus shaped like the
// system bus (method calls and name ownership denied by default) that includes it.
struct PrivateBus {
    explicit PrivateBus(const std::string& policyFile = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    std::string directory, address;
    pid_t pid = -1;
};

// Runs `argv` (ignoring SIGTERM across exec with `ignoreSigterm`); killed at the end if it runs.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm = false);
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

// The JoulixDaemon executable on `bus`; `serving` once it answers a ping (within 5 s).
struct RunningDaemon {
    explicit RunningDaemon(const PrivateBus& bus);
    ChildProcess process;
    bool serving;
};

// The shell command of busctl (a client we did not write) making `call` ("Method [signature
// arguments]") to the daemon on the bus at `address`, standard error included.
std::string busctl(const std::string& address, const std::string& call,
                   const std::string& daemon = "com.joulix.metricsd /com/joulix/metricsd "
                                               "com.joulix.metricsd.BatteryMetrics");

// A pid that no process has: a child's, after it has been reaped.
pid_t vacantPid();

}  // namespace joulix::testing
