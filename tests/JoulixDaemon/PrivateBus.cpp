#include "PrivateBus.h"

#include "JoulixDaemon/BatteryMetricsClient.h"

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace joulix::testing {

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
