#pragma once
// Runs a shell command, or the built joulix command, for its exit status and standard output
// (append " 2>&1" to the command to take standard error too), and waits for a condition.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>

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

// Asks `condition` every 20 ms until it holds or `seconds` have passed; its last answer.
inline bool eventually(double seconds, const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline const std::string joulixPath = JOULIX_BINARY_DIR "/cli/joulix";

inline CommandOutput runJoulix(const std::string& arguments) {
    return runCommand(joulixPath + " " + arguments);
}

}  // namespace joulix::testing
