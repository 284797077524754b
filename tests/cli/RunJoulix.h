#pragma once
// Runs a shell command, or the built joulix command, for its exit status and standard output
// (append " 2>&1" to the command to take standard error too), in the foreground or in the
// background, and waits for a condition.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A shell command running in the background, its standard output and error in `outputPath`;
// ended (SIGTERM, then SIGKILL) and reaped at the end if it still runs.
class BackgroundCommand {
  public:
    BackgroundCommand(const std::string& shellCommand, std::string outputFile)
        : outputPath(std::move(outputFile)) {
        const std::string line = "exec " + shellCommand + " >'" + outputPath + "' 2>&1";
        pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
            ::_exit(127);
        }
    }
    ~BackgroundCommand() {
        if (running()) stop(1);
    }
    BackgroundCommand(const BackgroundCommand&) = delete;
    BackgroundCommand& operator=(const BackgroundCommand&) = delete;

    std::string output() const {
        std::stringstream text;
        text << std::ifstream(outputPath, std::ios::binary).rdbuf();
        return text.str();
    }
    bool waitForOutput(const std::string& text, double seconds) const {
        return eventually(seconds, [&] { return output().find(text) != std::string::npos; });
    }
    bool running() const {
        if (!reaped_) reaped_ = ::waitpid(pid, &status_, WNOHANG) != 0;
        return !reaped_;
    }
    // Waits for the exit: the exit status, or -signal when a signal ended it.
    int wait() const {
        if (!reaped_) ::waitpid(pid, &status_, 0);
        reaped_ = true;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
    }
    // Sends SIGTERM, and SIGKILL after `graceS`; then as wait().
    int stop(double graceS = 5) const {
        if (!reaped_) ::kill(pid, SIGTERM);
        if (!eventually(graceS, [this] { return !running(); })) ::kill(pid, SIGKILL);
        return wait();
    }

    pid_t pid = -1;
    const std::string outputPath;

  private:
    mutable int status_ = 0;
    mutable bool reaped_ = false;
};

}  // namespace joulix::testing
