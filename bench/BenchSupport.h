#pragma once
// Timing two jobs side by side in the same run, in alternation, so that interruptions by other
// programs on a shared machine weigh on both alike; a shared area of the benchmark's own; child
// programs and their CPU time.
#include "SharedModels/SharedRoot.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace joulix::bench {

// While it lives, the shared area (the shared log the measured code writes, the shared history)
// is a temporary folder, for this process and the programs it starts.
class PrivateSharedRoot {
  public:
    PrivateSharedRoot() {
        root_ = (std::filesystem::temp_directory_path() / "jlx-bench-shared-XXXXXX").string();
        if (::mkdtemp(root_.data()) == nullptr) std::abort();
        ::setenv("JLX_SHARED_ROOT", root_.c_str(), 1);
        setSharedRoot(root_);
    }
    ~PrivateSharedRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    PrivateSharedRoot(const PrivateSharedRoot&) = delete;
    PrivateSharedRoot& operator=(const PrivateSharedRoot&) = delete;

  private:
    std::string root_;
};

// A folder of this process's own under the temporary directory, removed with what it holds.
struct TemporaryFolder {
    std::filesystem::path path;
    explicit TemporaryFolder(const std::string& prefix)
        : path(std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
};

// One run of a child program.
struct ChildRun {
    double wallS = 0;
    double peakMB = 0;
    int status = 0;
};

// Runs the program (an absolute path) with its output discarded; its wall time and peak resident
// memory.
inline ChildRun runDiscardingOutput(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    ChildRun result;
    result.status = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (result.status != 0) return result;
    rusage usage{};
    ::wait4(pid, &result.status, 0, &usage);
    result.wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakMB = static_cast<double>(usage.ru_maxrss) / 1024;
    return result;
}

// Starts `command` under /bin/sh as a child; its pid.
inline pid_t startShell(const std::string& command) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        ::_exit(127);
    }
    return pid;
}

// Waits for the child; its CPU time and that of the children it waited for, in seconds.
inline double cpuSecondsOf(pid_t pid) {
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Microseconds that `first` and then `second` take for `calls` calls each, in one block.
template <class First, class Second>
std::pair<double, double> timeBlock(First& first, Second& second, int calls) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i)
        first();
    const auto middle = Clock::now();
    for (int i = 0; i < calls; ++i)
        second();
    const auto end = Clock::now();
    return {std::chrono::duration<double, std::micro>(middle - start).count(),
            std::chrono::duration<double, std::micro>(end - middle).count()};
}

// Per-call microseconds of each job: the fastest of `blocks` interleaved blocks of `calls` calls,
// for jobs that run in-process, whose slow blocks are interruptions.
template <class First, class Second>
std::pair<double, double> fastestInterleaved(First first, Second second, int blocks, int calls) {
    double bestFirst = 1e300, bestSecond = 1e300;
    for (int block = 0; block < blocks; ++block) {
        const auto [a, b] = timeBlock(first, second, calls);
        bestFirst = std::min(bestFirst, a);
        bestSecond = std::min(bestSecond, b);
    }
    return {bestFirst / calls, bestSecond / calls};
}

// Per-call microseconds of each job: the mean over `rounds` alternating calls, for jobs whose
// time varies by nature (child processes).
template <class First, class Second>
std::pair<double, double> meanInterleaved(First first, Second second, int rounds) {
    double totalFirst = 0, totalSecond = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto [a, b] = timeBlock(first, second, 1);
        totalFirst += a;
        totalSecond += b;
    }
    return {totalFirst / rounds, totalSecond / rounds};
}

}  // namespace joulix::bench
