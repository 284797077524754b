#include "MetricsCollectors/ShellRunner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace joulix;

namespace {

struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : variable(name) {
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(variable); }
    const char* variable;
};

size_t openDescriptorCount() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// The state and parent of `pid` from its stat line, if it is there.
std::optional<std::pair<char, int>> stateAndParent(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    char state = 0;
    int ppid = 0;
    if (std::getline(stat, line) && line.rfind(')') != std::string::npos &&
        sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &ppid) == 2) {
        return std::pair{state, ppid};
    }
    return std::nullopt;
}

// Children of this process, all of them or only those in state Z.
int children(bool zombiesOnly) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const auto found = stateAndParent(entry.path().filename().string());
        count += found && found->second == getpid() && (found->first == 'Z' || !zombiesOnly);
    }
    return count;
}

// Whether `pid` is gone or a zombie within `limit`.
bool goneWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto alive = [pid] {
        const auto found = stateAndParent(std::to_string(pid));
        return found && found->first != 'Z';
    };
    for (auto waited = std::chrono::milliseconds(0); waited < limit && alive();
         waited += limit / 40)
        std::this_thread::sleep_for(limit / 40);
    return !alive();
}

std::string runFailure(const DefaultShellRunner& runner, const std::string& executable,
                       const std::vector<std::string>& arguments) {
    try {
        runner.run(executable, arguments);
    } catch (const ShellRunnerError& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(ShellRunnerTest, ResolvesTimeoutsFromTheEnvironment) {
    const std::string tinyWithoutExponent = "0." + std::string(400, '0') + "1";
    // JLX_SHELL_TIMEOUT_SEC, JLX_PM_TIMEOUT_SEC, command, seconds
    const std::tuple<const char*, const char*, std::string, std::vector<std::string>, double>
        cases[] = {
            {nullptr, nullptr, "/bin/ps", {}, 4.0},
            {"0.1", nullptr, "/bin/ps", {}, 0.25},
            {"abc", nullptr, "/bin/ps", {}, 4.0},
            {"2.5x", nullptr, "/bin/ps", {}, 4.0},
            {"", nullptr, "/bin/ps", {}, 4.0},
            {"nan", nullptr, "/bin/ps", {}, 0.25},
            {"-3", nullptr, "/bin/ps", {}, 0.25},
            {"600", nullptr, "/bin/ps", {}, 600.0},
            {"1e-400", nullptr, "/bin/ps", {}, 0.25},
            {tinyWithoutExponent.c_str(), nullptr, "/bin/ps", {}, 0.25},
            {"1e400", nullptr, "/bin/ps", {}, std::numeric_limits<double>::infinity()},
            {nullptr, "0.5", "/usr/bin/powermetrics", {}, 1.0},
            {nullptr, "0.5", "/bin/ps", {}, 4.0},
            {"9", "nan", "/usr/bin/powermetrics", {}, 1.0},
            {nullptr, "20", "/usr/bin/nice", {"-n", "10", "/usr/bin/powermetrics"}, 20.0},
            {nullptr, nullptr, "/usr/bin/nice", {"-n", "10", "/usr/bin/powermetrics"}, 15.0},
            {nullptr, nullptr, "/usr/bin/sudo", {"/usr/bin/powermetrics", "-i", "1"}, 15.0},
            {nullptr, nullptr, "/usr/bin/sudo", {"powermetrics"}, 4.0},
            {nullptr, nullptr, "/usr/bin/nice", {"/opt/bin/powermetrics"}, 4.0},
            {nullptr, nullptr, "/usr/bin/env", {"/usr/bin/powermetrics"}, 4.0},
            {nullptr, nullptr, "/opt/tools/powermetrics", {}, 15.0},
        };
    for (const auto& [shell, pm, executable, arguments, expected] : cases) {
        ScopedEnv shellTimeout("JLX_SHELL_TIMEOUT_SEC", shell);
        ScopedEnv pmTimeout("JLX_PM_TIMEOUT_SEC", pm);
        EXPECT_EQ(DefaultShellRunner::resolveTimeoutSeconds(executable, arguments), expected)
            << executable << " shell=" << (shell ? shell : "-") << " pm=" << (pm ? pm : "-");
    }
}

TEST(ShellRunnerTest, DescribesErrors) {
    const std::pair<double, const char*> timeouts[] = {{4, "4.0s"},
                                                       {0.25, "0.25s"},
                                                       {0.1 + 0.2, "0.30000000000000004s"},
                                                       {1e5, "100000.0s"},
                                                       {1e16, "1e+16s"}};
    for (const auto& [seconds, text] : timeouts) {
        EXPECT_EQ(ShellRunnerError::timedOut("/bin/ps -ax", seconds).what(),
                  std::string("Command timed out after ") + text + ": /bin/ps -ax");
    }
    const ShellResult failed{2, "", "bad\n"};
    EXPECT_STREQ(ShellRunnerError::nonZeroExit(failed).what(),
                 "Command exited with status 2: bad\n");
    EXPECT_STREQ(ShellRunnerError::failedToLaunch("why").what(), "Failed to launch command: why");
}

TEST(ShellRunnerTest, ReturnsStatusAndBothStreamsWhateverTheStatusOrTheLaunchFailure) {
    DefaultShellRunner runner;
    EXPECT_EQ(runner.run("/bin/true", {}), (ShellResult{0, "", ""}));
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo \"$1\"; echo oops >&2; exit 1", "sh", "a b"}),
              (ShellResult{1, "a b\n", "oops\n"}));
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "kill -9 $$"}).status, 9);
    EXPECT_EQ(runner.run("/usr/bin/printf", {"\\377ok\\300"}).stdout, "\xEF\xBF\xBDok\xEF\xBF\xBD");
    EXPECT_EQ(runFailure(runner, "/nonexistent/tool", {}),
              "Failed to launch command: No such file or directory");
    char notExecutable[] = "/tmp/jlx-shell-runner-XXXXXX";
    close(mkstemp(notExecutable));
    EXPECT_EQ(runFailure(runner, notExecutable, {}), "Failed to launch command: Permission denied");
    unlink(notExecutable);
}

TEST(ShellRunnerTest, KillsAChildThatIgnoresSigterm) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "0.3");
    DefaultShellRunner runner;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runFailure(runner, "/bin/sh", {"-c", "trap \"\" TERM; sleep 30"}),
              "Command timed out after 0.3s: /bin/sh -c trap \"\" TERM; sleep 30");
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed.count(), 0.3 + 0.75);
    EXPECT_LE(elapsed.count(), 0.3 + 1.75 + 0.25);
}

TEST(ShellRunnerTest, ReapsAChildAbandonedAfterSigkill) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "0.25");
    DefaultShellRunner runner;
    runner.terminateGraceSeconds = 0;
    runner.killGraceSeconds = 0;
    EXPECT_NE(runFailure(runner, "/bin/sleep", {"30"}), "no error");
    for (int i = 0; i < 40 && children(false) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(children(false), 0);
}

TEST(ShellRunnerTest, DrainsLargeOutputOnBothStreams) {
    auto result = DefaultShellRunner().run(
        "/bin/sh", {"-c", "head -c 4194304 /dev/zero | tr '\\0' a & "
                          "head -c 4194304 /dev/zero | tr '\\0' b >&2; wait"});
    EXPECT_EQ(result.stdout, std::string(4194304, 'a'));
    EXPECT_EQ(result.stderr, std::string(4194304, 'b'));
}

TEST(ShellRunnerTest, LeavesNoDescriptorOrZombieBehind) {
    int inheritable = open("/dev/null", O_RDONLY);
    auto probe = "[ -e /proc/$$/fd/" + std::to_string(inheritable) + " ] && echo leaked";
    EXPECT_EQ(DefaultShellRunner().run("/bin/sh", {"-c", probe}).stdout, "");
    close(inheritable);

    size_t before = openDescriptorCount();
    for (int i = 0; i < 500; ++i)
        DefaultShellRunner().run("/bin/true", {});
    for (int i = 0; i < 5; ++i)
        runFailure(DefaultShellRunner(), "/nonexistent", {});
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(children(true), 0);
}

TEST(ShellRunnerTest, RunsFromManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 25; ++i) {
                auto word = std::to_string(t) + "-" + std::to_string(i);
                auto result = DefaultShellRunner().run("/bin/echo", {word});
                mismatches[t] += result != ShellResult{0, word + "\n", ""};
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(8));
}

TEST(ShellRunnerTest, ReturnsByTheDeadlineWhenABackgroundGrandchildHoldsThePipes) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "1");
    auto start = std::chrono::steady_clock::now();
    auto result = DefaultShellRunner().run("/bin/sh", {"-c", "sleep 8 & echo $!"});
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const pid_t grandchild = std::stoi(result.stdout);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(elapsed.count(), 3.0);
    kill(grandchild, SIGKILL);
}

TEST(ShellRunnerTest, TimeOutStopsTheWholeProcessGroup) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "0.3");
    char pidFile[] = "/tmp/jlx-shell-runner-XXXXXX";
    close(mkstemp(pidFile));
    EXPECT_NE(runFailure(DefaultShellRunner(), "/bin/sh",
                         {"-c", std::string("sleep 30 & echo $! > ") + pidFile + "; wait"}),
              "no error");
    std::ifstream in(pidFile);
    pid_t grandchild = 0;
    ASSERT_TRUE(in >> grandchild);
    unlink(pidFile);
    EXPECT_TRUE(goneWithin(grandchild, std::chrono::milliseconds(2000)));
    kill(grandchild, SIGKILL);
}

TEST(ShellRunnerTest, BoundsCapturedOutput) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "20");
    EXPECT_EQ(runFailure(DefaultShellRunner(), "/usr/bin/yes", {}),
              "Command output not captured (more than 64 MiB on standard output): /usr/bin/yes");
    EXPECT_EQ(
        runFailure(DefaultShellRunner(), "/bin/sh", {"-c", "yes >&2"}),
        "Command output not captured (more than 64 MiB on standard error): /bin/sh -c yes >&2");
    EXPECT_EQ(children(false), 0);
}

TEST(ShellRunnerTest, SeesRealExitStatusesWhenSigchldWasIgnored) {
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    const auto status = DefaultShellRunner().run("/bin/sh", {"-c", "exit 3"}).status;
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(status, 3);
}

// Another thread makes the kernel reap the child on its own (SIGCHLD ignored) while the run
// waits: the run says the status was lost instead of reporting 0.
TEST(ShellRunnerTest, AStatusReapedElsewhereIsReportedLost) {
    struct sigaction previous = {};
    std::thread elsewhere([&previous] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGCHLD, &ignore, &previous);
    });
    std::optional<ShellRunnerError::Kind> kind;
    try {
        DefaultShellRunner().run("/bin/sh", {"-c", "sleep 1; exit 7"});
    } catch (const ShellRunnerError& error) {
        kind = error.kind();
    }
    elsewhere.join();
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(kind, ShellRunnerError::Kind::statusLost);
}

TEST(ShellRunnerTest, ChildReadsNothingFromTheCallersInput) {
    ScopedEnv timeout("JLX_SHELL_TIMEOUT_SEC", "3");
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(write(input[1], "secret\n", 7), 7);
    const int savedInput = dup(STDIN_FILENO);
    dup2(input[0], STDIN_FILENO);
    const auto result = [] {
        try {
            return DefaultShellRunner().run("/bin/cat", {});
        } catch (const ShellRunnerError& error) {
            return ShellResult{-1, "", error.what()};
        }
    }();
    dup2(savedInput, STDIN_FILENO);
    for (int fd : {savedInput, input[0], input[1]})
        close(fd);
    EXPECT_EQ(result, (ShellResult{0, "", ""}));
}

#if !defined(__SANITIZE_ADDRESS__)
// Under an address-space bound 80 MiB above the process's size, captures 60 MB, which the
// growing buffer cannot hold; exits 0 when that is an output-not-captured error.
[[noreturn]] void captureBeyondTheAddressSpace() {
    std::ifstream status("/proc/self/status");
    std::string word;
    long long sizeKiB = 0;
    while (status >> word && word != "VmSize:") {
    }
    status >> sizeKiB;
    const rlim_t limit = static_cast<rlim_t>(sizeKiB + 80 * 1024) * 1024;
    const rlimit bound{limit, limit};
    setrlimit(RLIMIT_AS, &bound);
    setenv("JLX_SHELL_TIMEOUT_SEC", "120", 1);  // a loaded machine must not make it a time-out
    try {
        DefaultShellRunner().run("/usr/bin/head", {"-c", "60000000", "/dev/zero"});
    } catch (const ShellRunnerError& error) {
        std::_Exit(error.kind() == ShellRunnerError::Kind::outputNotCaptured ? 0 : 1);
    } catch (...) {
        std::_Exit(2);
    }
    std::_Exit(3);
}

// Running out of memory while capturing is the runner's error, not std::bad_alloc. The death test
// re-executes this program for the case alone, so the heap is fresh: one that ran other tests
// may hold enough free memory for the capture.
TEST(ShellRunnerTest, RunningOutOfMemoryIsARunnerError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(captureBeyondTheAddressSpace(), ::testing::ExitedWithCode(0), "");
}
#endif
