#include "PrivateBus.h"

#include "JoulixDaemon/BatteryMetricsClient.h"
#include "SharedModels/Error.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace joulix::testing {

namespace {
const std::string openPolicy = R"(<policy context="default">
  <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow eavesdrop="true"/>
</policy>)";

// The default policy of the system bus.
const std::string systemPolicy = R"(<policy context="default">
  <allow user="*"/> <deny own="*"/> <deny send_type="method_call"/> <allow send_type="signal"/>
  <allow send_requested_reply="true" send_type="method_return"/>
  <allow send_requested_reply="true" send_type="error"/>
  <allow receive_type="method_call"/> <allow receive_type="method_return"/>
  <allow receive_type="error"/> <allow receive_type="signal"/>
  <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  <allow send_destination="org.freedesktop.DBus"
         send_interface="org.freedesktop.DBus.Introspectable"/>
</policy>)";
}  // namespace

PrivateBus::PrivateBus(const std::string& policyFile) {
    char pattern[] = "/tmp/jlx-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
    directory = pattern;
    ::chmod(directory.c_str(), 0755);  // other users of the security tests connect too
    std::ofstream(directory + "/bus.conf")
        << "<busconfig><listen>unix:path=" << directory << "/socket</listen><auth>EXTERNAL</auth>"
        << (policyFile.empty() ? openPolicy
                               : systemPolicy + "<include>" + policyFile + "</include>")
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

PrivateBus::~PrivateBus() {
    ::kill(pid, SIGTERM);
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (ignoreSigterm) ::signal(SIGTERM, SIG_IGN);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    reaper_ = std::thread([this] {
        ::waitpid(pid_, nullptr, 0);
        exited_ = true;
    });
}

ChildProcess::~ChildProcess() {
    if (!exited_) ::kill(pid_, SIGKILL);
    reaper_.join();
}

RunningDaemon::RunningDaemon(const PrivateBus& bus)
    : process({JOULIX_BINARY_DIR "/JoulixDaemon/JoulixDaemon", "--address", bus.address}),
      serving(false) {
    for (int attempt = 0; attempt < 250 && !serving; ++attempt) {
        try {
            serving = BatteryMetricsClient(BusSelection::at(bus.address)).ping();
        } catch (const Error&) {
        }
        if (!serving) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string busctl(const std::string& address, const std::string& call, const std::string& daemon) {
    return "busctl --address='" + address + "' call " + daemon + " " + call + " 2>&1";
}

pid_t vacantPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace joulix::testing
