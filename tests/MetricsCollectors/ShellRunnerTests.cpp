#include "MetricsCollectors/ShellRunner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <optional>
#include <thread>
#include <unistd.h>

using namespace joulix;

namespace {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { unsetenv(name_); }

  private:
    const char* name_;
};

size_t openDescriptorCount() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Children of this process, all of them or only those in state Z.
int children(bool zombiesOnly) {
    int zombies = 0;
    DIR* dir = opendir("/proc");
    while (dirent* entry = readdir(dir)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        auto close = line.rfind(')');
        char state = 0;
        int ppid = 0;
        if (close == std::string::npos ||
            sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) {
            continue;
        }
        zombies += ppid == getpid() && (state == 'Z' || !zombiesOnly);
    }
    closedir(dir);
    return zombies;
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
    struct Case {
        const char* shell;
        const char* pm;
        std::string executable;
        std::vector<std::string> arguments;
        double expected;
    };
    const std::string tinyWithoutExponent = "0." + std::string(400, '0') + "1";
    const Case cases[] = {
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
    for (const auto& c : cases) {
        ScopedEnv shell("JLX_SHELL_TIMEOUT_SEC", c.shell);
        ScopedEnv pm("JLX_PM_TIMEOUT_SEC", c.pm);
        EXPECT_EQ(DefaultShellRunner::resolveTimeoutSeconds(c.executable, c.arguments), c.expected)
            << c.executable << " shell=" << (c.shell ? c.shell : "-")
            << " pm=" << (c.pm ? c.pm : "-");
    }
}

TEST(ShellRunnerTest, DescribesErrors) {
    EXPECT_STREQ(ShellRunnerError::timedOut("/bin/ps -ax", 4).what(),
                 "Command timed out after 4.0s: /bin/ps -ax");
    EXPECT_STREQ(ShellRunnerError::timedOut("x", 0.25).what(), "Command timed out after 0.25s: x");
    EXPECT_STREQ(ShellRunnerError::timedOut("x", 0.1 + 0.2).what(),
                 "Command timed out after 0.30000000000000004s: x");
    EXPECT_STREQ(ShellRunnerError::timedOut("x", 100000).what(),
                 "Command timed out after 100000.0s: x");
    EXPECT_STREQ(ShellRunnerError::timedOut("x", 1e16).what(), "Command timed out after 1e+16s: x");
    const auto timedOut = ShellRunnerError::timedOut("/bin/ps -ax", 4);
    EXPECT_EQ(timedOut.command(), "/bin/ps -ax");
    EXPECT_EQ(timedOut.timeoutSeconds(), 4);
    const ShellResult failed{2, "", "bad\n"};
    EXPECT_EQ(ShellRunnerError::nonZeroExit(failed).result(), failed);
    EXPECT_EQ(ShellRunnerError::failedToLaunch("why").launchErrorDescription(), "why");
    EXPECT_STREQ(ShellRunnerError::nonZeroExit({2, "", "bad\n"}).what(),
                 "Command exited with status 2: bad\n");
    EXPECT_STREQ(ShellRunnerError::failedToLaunch("why").what(), "Failed to launch command: why");
}

TEST(ShellRunnerTest, ReturnsStatusAndBothStreamsWhateverTheStatus) {
    DefaultShellRunner runner;
    EXPECT_EQ(runner.run("/bin/true", {}), (ShellResult{0, "", ""}));
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "echo \"$1\"; echo oops >&2; exit 1", "sh", "a b"}),
              (ShellResult{1, "a b\n", "oops\n"}));
    EXPECT_EQ(runner.run("/bin/sh", {"-c", "kill -9 $$"}).status, 9);
    EXPECT_EQ(runner.run("/usr/bin/printf", {"\\377ok\\300"}).stdout, "\xEF\xBF\xBDok\xEF\xBF\xBD");
}

TEST(ShellRunnerTest, ReportsLaunchFailures) {
    DefaultShellRunner runner;
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
    for (int i = 0; i < 40 && children(false) > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
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
