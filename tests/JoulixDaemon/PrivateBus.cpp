#include "PrivateBus.h"

#include "JoulixDaemon/BatteryMetricsClient.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace joulix::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm,
                           const std::string& standardErrorFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (ignoreSigterm) ::signal(SIGTERM, SIG_IGN);
        if (!standardErrorFile.empty()) {
            const int log = ::open(standardErrorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, STDERR_FILENO);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    reaper_ = std::thread([this] {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waitStatus_ = status;
        exited_ = true;
    });
}

ChildProcess::~ChildProcess() {
    if (!exited_) ::kill(pid_, SIGKILL);
    reaper_.join();
}

RunningDaemon::RunningDaemon(const PrivateBus& bus, const std::string& standardErrorFile)
    // The private bus is its system bus too (polkit, the power profile service): the daemon
    // under test never asks the machine's.
    : process({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address,
               JOULIX_BINARY_DIR "/JoulixDaemon/JoulixDaemon", "--address", bus.address},
              false, standardErrorFile),
      serving(eventually(5, [&] {
          try {
              return BatteryMetricsClient(BusSelection::at(bus.address)).ping();
          } catch (const Error&) {
              return false;
          }
      })) {}

std::string busctl(const std::string& address, const std::string& call, const std::string& daemon) {
    return "busctl --address='" + address + "' call " + daemon + " " + call + " 2>&1";
}

pid_t vacantPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

bool waitUntilRunsAs(pid_t pid, uid_t uid) {
    // /proc/PID belongs to the process's effective user.
    const auto path = "/proc/" + std::to_string(pid);
    return eventually(5, [&] {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 && status.st_uid == uid;
    });
}

}  // namespace joulix::testing
