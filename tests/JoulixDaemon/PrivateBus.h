#pragma once
// Test helpers for talking to the daemon over a real bus: a dbus-daemon of the test's own, child
// processes that are reaped as soon as they end, and the daemon executable serving on a bus. The
// bus is defined here, inline, so that the ping benchmark starts its own the same way.
#include "SharedModels/Error.h"
#include "tests/cli/RunJoulix.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
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
    pid_t pid = -1;  // a test that ends the bus itself sets it to 0
};

namespace detail {
inline const std::string openPolicy = R"(<policy context="default">
  <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow eavesdrop="true"/>
</policy>)";

// The default policy of the system bus.
inline const std::string systemPolicy = R"(<policy context="default">
  <allow user="*"/> <deny own="*"/> <deny send_type="method_call"/> <allow send_type="signal"/>
  <allow send_requested_reply="true" send_type="method_return"/>
  <allow send_requested_reply="true" send_type="error"/>
  <allow receive_type="method_call"/> <allow receive_type="method_return"/>
  <allow receive_type="error"/> <allow receive_type="signal"/>
  <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  <allow send_destination="org.freedesktop.DBus"
         send_interface="org.freedesktop.DBus.Introspectable"/>
</policy>)";
}  // namespace detail

inline PrivateBus::PrivateBus(const std::string& policyFile) {
    char pattern[] = "/tmp/jlx-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
    directory = pattern;
    ::chmod(directory.c_str(), 0755);  // other users of the security tests connect too
    std::ofstream(directory + "/bus.conf")
        << "<busconfig><listen>unix:path=" << directory << "/socket</listen><auth>EXTERNAL</auth>"
        << (policyFile.empty() ? detail::openPolicy
                               : detail::systemPolicy + "<include>" + policyFile + "</include>")
        << "</busconfig>\n";
    // The daemon prints its address and pid, then leaves the command running on its own.
    std::istringstream started(runCommand("dbus-daemon --fork --print-address=1 --print-pid=1 "
                                          "--config-file=" +
                                          directory + "/bus.conf")
                                   .output);
    if (!std::getline(started, address) || !(started >> pid)) {
        throw Error("dbus-daemon did not start");
    }
}

inline PrivateBus::~PrivateBus() {
    if (pid > 0) ::kill(pid, SIGTERM);
    // The exiting bus unlinks its socket while the folder is being removed, which can stop a
    // removal half-way; try again until the folder is gone.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code failed;
        std::filesystem::remove_all(directory, failed);
        if (!failed) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Runs `argv` (ignoring SIGTERM across exec with `ignoreSigterm`, standard error into
// `standardErrorFile` when given); killed at the end if it runs.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm = false,
                          const std::string& standardErrorFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool exited() const { return exited_; }
    // Whether it has exited, waiting up to `seconds` for it.
    bool exitsWithin(double seconds) const {
        return eventually(seconds, [this] { return exited(); });
    }
    // The wait status once exited().
    int waitStatus() const { return waitStatus_; }

  private:
    pid_t pid_ = -1;
    std::atomic<int> waitStatus_ = 0;
    std::atomic<bool> exited_ = false;
    std::thread reaper_;
};

// The JoulixDaemon executable on `bus`; `serving` once it answers a ping (within 5 s).
struct RunningDaemon {
    explicit RunningDaemon(const PrivateBus& bus, const std::string& standardErrorFile = {});
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

// Waits up to 5 s until process `pid` runs as user `uid` (a child started through setpriv has
// changed its user); false if it does not.
bool waitUntilRunsAs(pid_t pid, uid_t uid);

}  // namespace joulix::testing
