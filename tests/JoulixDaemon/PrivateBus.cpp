#include "PrivateBus.h"

#include "JoulixDaemon/BatteryMetricsClient.h"
#include "SharedModels/Error.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace joulix::testing {

namespace {
constexpr const char* openPolicy = R"(
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>)";

// The default policy of the system bus.
constexpr const char* systemPolicy = R"(
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>)";
}  // namespace

PrivateBus::PrivateBus(const std::string& policyFile) {
    char pattern[] = "/tmp/jlx-bus-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw Error("mkdtemp failed");
    directory_ = pattern;
    ::chmod(directory_.c_str(), 0755);  // other users of the security tests connect too
    const auto config = directory_ + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                          << "<busconfig>\n  <listen>unix:path=" << directory_
                          << "/socket</listen>\n"
                          << "  <auth>EXTERNAL</auth>\n"
                          << (policyFile.empty() ? openPolicy : systemPolicy) << "\n"
                          << (policyFile.empty() ? "" : "  <include>" + policyFile + "</include>\n")
                          << "</busconfig>\n";
    const auto configArgument = "--config-file=" + config;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw Error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
        ::dup2(pipeFds[1], 3);
        ::execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork",
                 "--print-address=3", nullptr);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[512];
    std::string line;
    ssize_t n;
    while (line.find('\n') == std::string::npos &&
           (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    if (line.find('\n') == std::string::npos) throw Error("dbus-daemon did not start");
    address_ = line.substr(0, line.find('\n'));
}

PrivateBus::~PrivateBus() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(directory_);
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

bool waitUntilServing(const std::string& address, const std::string& busName) {
    for (int attempt = 0; attempt < 250; ++attempt) {
        try {
            if (BatteryMetricsClient(BusSelection::at(address), busName).ping()) return true;
        } catch (const Error&) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

pid_t vacantPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

std::string binary(const std::string& relativePath) {
    return std::string(JOULIX_BINARY_DIR) + "/" + relativePath;
}

}  // namespace joulix::testing
