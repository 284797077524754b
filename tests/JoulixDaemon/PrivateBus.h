#pragma once
// Test helpers for talking to the daemon over a real bus: a dbus-daemon of the test's own and the
// daemon executable serving on it (the ping benchmark starts its own the same way).
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "SharedModels/Error.h"
#include "tests/cli/RunJoulix.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace joulix::testing {

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

// With no policy file: a bus that lets everyone do everything. With one: a bus shaped like the
// system bus (method calls and name ownership denied by default) that includes it.
struct PrivateBus {
    explicit PrivateBus(const std::string& policyFile = {}) {
        char pattern[] = "/tmp/jlx-bus-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
        directory = pattern;
        ::chmod(directory.c_str(), 0755);  // other users of the security tests connect too
        std::ofstream(directory + "/bus.conf")
            << "<busconfig><listen>unix:path=" << directory
            << "/socket</listen><auth>EXTERNAL</auth>"
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
    ~PrivateBus() {
        if (pid > 0) ::kill(pid, SIGTERM);
        // The exiting bus unlinks its socket while the folder is being removed, which can stop a
        // removal half-way; try again until the folder is gone.
        eventually(1, [this] {
            std::error_code failed;
            std::filesystem::remove_all(directory, failed);
            return !failed;
        });
    }
    PrivateBus(const PrivateBus&) = delete;
    std::string directory, address;
    pid_t pid = -1;  // a test that ends the bus itself sets it to 0
};

// The JoulixDaemon executable on `bus`; `serving` once it answers a ping (within 5 s). The
// private bus is its system bus too (polkit, the power profile service): the daemon under test
// never asks the machine's.
struct RunningDaemon {
    explicit RunningDaemon(const PrivateBus& bus, const std::string& outputFile = {})
        : process({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address,
                   JOULIX_BINARY_DIR "/JoulixDaemon/JoulixDaemon", "--address", bus.address},
                  false, outputFile),
          serving(eventually(5, [&] {
              try {
                  return BatteryMetricsClient(BusSelection::at(bus.address)).ping();
              } catch (const Error&) {
                  return false;
              }
          })) {}
    ChildProcess process;
    bool serving;
};

// The shell command of busctl (a client we did not write) making `call` ("Method [signature
// arguments]") to the daemon on the bus at `address`, standard error included.
inline std::string busctl(const std::string& address, const std::string& call,
                          const std::string& daemon = "com.joulix.metricsd /com/joulix/metricsd "
                                                      "com.joulix.metricsd.BatteryMetrics") {
    return "busctl --address='" + address + "' call " + daemon + " " + call + " 2>&1";
}

// A pid that no process has: a child's, after it has been reaped.
inline pid_t vacantPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// Waits up to 5 s until process `pid` runs as user `uid` (a child started through setpriv has
// changed its user); false if it does not.
inline bool waitUntilRunsAs(pid_t pid, uid_t uid) {
    // /proc/PID belongs to the process's effective user.
    const auto path = "/proc/" + std::to_string(pid);
    return eventually(5, [&] {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 && status.st_uid == uid;
    });
}

}  // namespace joulix::testing
