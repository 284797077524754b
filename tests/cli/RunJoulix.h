#pragma once
// Runs a shell command, or the built joulix command, for its exit status and standard output
// (append " 2>&1" to the command to take standard error too); runs a child process in the
// background; waits for a condition.
#include "tests/Platform/TemporaryDirectory.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace joulix::testing {

struct CommandOutput {
    int status = -1;  // exit status; -1 when the command did not exit
    std::string output;
};

inline CommandOutput runCommand(const std::string& shellCommand) {
    CommandOutput result;
    FILE* pipe = ::popen(shellCommand.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.output.append(buffer, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Asks `condition` every `pollS` until it holds or `seconds` have passed; its last answer.
inline bool eventually(double seconds, const std::function<bool()>& condition,
                       double pollS = 0.02) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::duration<double>(pollS));
    }
    return true;
}

inline const std::string joulixPath = JOULIX_BINARY_DIR "/cli/joulix";

inline CommandOutput runJoulix(const std::string& arguments) {
    return runCommand(joulixPath + " " + arguments);
}

// Runs `argv` in the background (ignoring SIGTERM across exec with `ignoreSigterm`, standard
// output and error into `outputPath` when given). A thread reaps it as soon as it ends, so it
// never lingers as a zombie; it is killed at the end if it still runs.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& argv, bool ignoreSigterm = false,
                          std::string outputFile = {})
        : outputPath(std::move(outputFile)) {
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (ignoreSigterm) ::signal(SIGTERM, SIG_IGN);
            if (!outputPath.empty()) {
                const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(out, STDOUT_FILENO);
                ::dup2(out, STDERR_FILENO);
            }
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        reaper_ = std::thread([this] {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            waitStatus_ = status;
            exited_ = true;
            exited_.notify_all();
        });
    }
    ~ChildProcess() {
        if (!exited_) ::kill(pid_, SIGKILL);
        reaper_.join();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The argv that runs `command` through /bin/sh, which execs it: the pid is the command's.
    static std::vector<std::string> shell(const std::string& command) {
        return {"/bin/sh", "-c", "exec " + command};
    }

    pid_t pid() const { return pid_; }
    bool exited() const { return exited_; }
    // Whether it has exited, waiting up to `seconds` for it.
    bool exitsWithin(double seconds) const {
        return eventually(seconds, [this] { return exited(); });
    }
    // Waits for the exit: the exit status, or -signal when a signal ended it.
    int wait() const {
        exited_.wait(false);
        const int status = waitStatus_;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    // Sends SIGTERM, and SIGKILL after `graceS`; then as wait().
    int stop(double graceS = 5) const {
        if (!exited_) ::kill(pid_, SIGTERM);
        if (!exitsWithin(graceS)) ::kill(pid_, SIGKILL);
        return wait();
    }

    std::string output() const { return readFile(outputPath); }
    bool waitForOutput(const std::string& text, double seconds) const {
        return eventually(seconds, [&] { return output().find(text) != std::string::npos; });
    }

    const std::string outputPath;

  private:
    pid_t pid_ = -1;
    std::atomic<int> waitStatus_ = 0;
    std::atomic<bool> exited_ = false;
    std::thread reaper_;
};

}  // namespace joulix::testing
