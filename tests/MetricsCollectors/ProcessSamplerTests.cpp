#include "MetricsCollectors/ProcessSampler.h"
#include "MetricsCollectors/RecentProcessCPUTracker.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ProcessSamplerTests : public ::testing::Test {
  protected:
    ProcessSamplerTests() {
        sampler.metadataCache = &cache;
        sampler.componentProfiler = &profiler;
        sampler.metadataResolver = [this](int32_t pid) -> std::optional<RunningProcessMetadata> {
            resolved.push_back(pid);
            if (pid == 300)
                return RunningProcessMetadata{"/Applications/A.app/Contents/MacOS/A",
                                              "/Applications/A.app", "com.example.A"};
            return std::nullopt;
        };
    }
    static std::vector<int64_t> pids(const std::vector<ProcessSample>& samples) {
        std::vector<int64_t> out;
        for (const auto& sample : samples)
            out.push_back(sample.pid);
        return out;
    }

    testing::Shell shell = testing::scriptedShell();
    ProcessSampler sampler{shell};
    RunningProcessMetadataCache cache;
    testing::TemporaryDirectory folder;
    ComponentProfiler profiler{
        BenchmarkProcessKind::daemon, "tests", folder.string() + "/profile.jsonl", 0, 24, false};
    std::vector<int32_t> resolved;
    void ps(const ShellResult& answer) { shell->answer("/bin/ps", answer); }
};

TEST_F(ProcessSamplerTests, ParsesPSLines) {
    using Row = ProcessSampler::Row;
    const std::pair<std::string, std::optional<Row>> cases[] = {
        {"   123    1  0.0  0.1 /usr/libexec/foo -x", Row{123, 1, 0.0, 0.1, "/usr/libexec/foo -x"}},
        {"7 0 12.5 3 [kworker/0:1]\r", Row{7, 0, 12.5, 3, "[kworker/0:1]"}},
        {"8\u00a01\u2003 1.5e1 0 a", Row{8, 1, 15, 0, "a"}},
        {" \r\u2028 9 1 0 0 b", Row{9, 1, 0, 0, "b"}},  // leading newlines trimmed
        {"9 1 0\n0 b", std::nullopt},                   // but none between numbers
        {"123 1 0.0 0.1   ", std::nullopt},             // blank command
        {"123 1 0.0 /bin/x", std::nullopt},             // fewer than four numbers
        {"", std::nullopt},
        {"PID PPID %CPU %MEM COMMAND", std::nullopt},
        {"4294967296 1 0 0 /bin/x", std::nullopt},  // does not fit in a pid
    };
    for (const auto& [line, row] : cases)
        EXPECT_EQ(ProcessSampler::parsePSLine(line), row) << line;
}

TEST_F(ProcessSamplerTests, KeepsTheBusiestInRankOrder) {
    ps({0,
        "  1 0 0.0 0.1 /sbin/init\n"
        "300 1 5.0 1.0 /Applications/A.app/Contents/MacOS/A -psn\n"
        "200 1 5.0 1.0 kernel_task -x\n"
        "  garbage line\n"
        "100 1 9.5 0.0 /no/such/tool --flag\n",
        ""});
    const auto top = sampler.sampleTopProcesses(3);
    EXPECT_EQ(shell->calls().at(0).arguments,
              (std::vector<std::string>{"-A", "-ww", "-o", "pid=,ppid=,%cpu=,%mem=,command="}));
    EXPECT_EQ(pids(top), (std::vector<int64_t>{100, 200, 300}));
    EXPECT_EQ(resolved, (std::vector<int32_t>{100, 200, 300}));  // only the kept rows
    EXPECT_EQ(top[0].name, "/no/such/tool --flag");
    EXPECT_EQ(top[1].name, "kernel_task -x");
    EXPECT_EQ(top[2], (ProcessSample{.pid = 300,
                                     .parentPID = 1,
                                     .name = "/Applications/A.app/Contents/MacOS/A",
                                     .bundleID = "com.example.A",
                                     .cpuPercent = 5.0}));

    EXPECT_EQ(pids(sampler.sampleTopProcesses(1)), std::vector<int64_t>{100});
    EXPECT_EQ(pids(sampler.sampleTopProcesses(0)), std::vector<int64_t>{100});
    EXPECT_TRUE(sampler.sampleProcesses(2, false).allProcesses.empty());

    const auto tree = sampler.sampleProcessTree(2);
    EXPECT_EQ(pids(tree.allProcesses), (std::vector<int64_t>{1, 300, 200, 100}));
    EXPECT_EQ(tree.allProcesses[0].parentPID, std::nullopt);  // ps reports 0 for pid 1
    ASSERT_EQ(tree.sampledProcesses.size(), 2u);
    EXPECT_EQ(tree.sampledProcesses[0], tree.allProcesses[3]);
    EXPECT_EQ(tree.sampledProcesses[1], tree.allProcesses[2]);
}

// Against a stable sort of every row: few CPU values and repeated pids make many ties, which
// keep their input order; the command line tells equal rows apart.
TEST_F(ProcessSamplerTests, TopKMatchesAStableSortOfAllRows) {
    std::mt19937 random(7);
    std::string output;
    std::vector<std::pair<ProcessSampler::Row, std::string>> rows;
    for (int i = 0; i < 3000; ++i) {
        const int pid = 1000 + static_cast<int>(random() % 400);
        const double cpu = static_cast<double>(random() % 8) / 2;
        const std::string command = "/bin/tool-" + std::to_string(i);
        output += std::to_string(pid) + " 1 " + std::to_string(cpu) + " 0 " + command + "\n";
        rows.push_back({ProcessSampler::Row{pid, 1, cpu, 0, {}}, command});
    }
    ps({0, output, ""});
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.first.cpuPercent > b.first.cpuPercent ||
               (a.first.cpuPercent == b.first.cpuPercent && a.first.pid < b.first.pid);
    });
    for (const std::size_t k : {1u, 20u, 1000u, 3000u, 5000u}) {
        const auto top = sampler.sampleTopProcesses(static_cast<int64_t>(k));
        ASSERT_EQ(top.size(), std::min<std::size_t>(k, rows.size())) << k;
        for (std::size_t i = 0; i < top.size(); ++i)
            ASSERT_EQ(top[i].name, rows[i].second) << "k=" << k << " rank " << i;
    }
}

TEST_F(ProcessSamplerTests, PSFailuresPropagate) {
    ps({1, "", "ps: bad option"});
    EXPECT_THROW(sampler.sampleTopProcesses(5), ShellRunnerError);
    ps({0, "\n\n", ""});
    EXPECT_EQ(sampler.sampleProcessTree(5), ProcessSamplingSnapshot{});
}

TEST_F(ProcessSamplerTests, NamesFromMetadataExecutableTokensAndPathsWithSpaces) {
    folder.writeFile("My Tools/run tool", "");
    const auto tool = folder.string() + "/My Tools/run tool";

    EXPECT_EQ(ProcessSampler::executableToken("\"/Apps/My App.app/My App\" --x"),
              "/Apps/My App.app/My App");
    EXPECT_EQ(ProcessSampler::executableToken("'/a \\'b\\' c' -x"), "/a 'b' c");
    EXPECT_EQ(ProcessSampler::executableToken("\"\" -x"), std::nullopt);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(tool + " --verbose -n 3"), tool);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath("\"" + tool + "\" -n"), tool);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath("kernel_task"), "kernel_task");

    const RunningProcessMetadata onlyBundle{std::nullopt, "/Apps/B.app", std::nullopt};
    const RunningProcessMetadata blankExecutable{"  ", "/Apps/B.app", std::nullopt};
    EXPECT_EQ(ProcessSampler::resolveProcessName("x", &onlyBundle), "/Apps/B.app");
    EXPECT_EQ(ProcessSampler::resolveProcessName(" kernel_task -x ", &blankExecutable),
              "kernel_task -x");
    EXPECT_EQ(ProcessSampler::resolveProcessName(tool + " -v", nullptr), tool);
}

// A path with spaces is still found behind a very long argument list; a NUL byte ends no path.
// Only the first maximumPathWords words make prefixes, so a line of thousands of words costs a
// bounded number of file checks: a file whose path needs one word more is not looked for.
TEST_F(ProcessSamplerTests, CommandPathPrefixesAreBounded) {
    folder.writeFile("my tool", "");
    const auto tool = folder.string() + "/my tool";
    std::string arguments;
    for (int i = 0; i < 100'000; ++i)
        arguments += " -x";
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(tool + arguments), tool);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(tool + std::string(1, '\0') + "x -y"),
              std::nullopt);

    std::string words = folder.string() + "/a";
    for (std::size_t i = 1; i < ProcessSampler::maximumPathWords; ++i)
        words += " a";
    const std::string longer = words + " a";
    for (const auto& file : {words, longer})
        folder.writeFile(file.substr(folder.string().size() + 1), "");
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(words + " -x"), words);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(longer + " -x"), words);
}

// A fake /proc tree whose stat lines give each pid its CPU ticks and start time.
struct FakeProc {
    testing::TemporaryDirectory root;
    std::chrono::steady_clock::time_point now{};
    const long tick = ::sysconf(_SC_CLK_TCK);
    void process(int pid, long cpuTicks, long startTime) const {
        root.writeFile(std::to_string(pid) + "/stat",
                       std::to_string(pid) + " (worker) S 1 1 1 0 -1 0 0 0 0 0 " +
                           std::to_string(cpuTicks) + " 0 0 0 20 0 1 0 " +
                           std::to_string(startTime) + " 1000 25\n");
    }
    std::shared_ptr<RecentProcessCPUTracker> tracker() {
        return std::make_shared<RecentProcessCPUTracker>(makeProcfsProcessTable(root.string()),
                                                         [this] { return now; });
    }
};

TEST(RecentProcessCPUTracker, SharesSinceThePreviousObservation) {
    FakeProc proc;
    const long tick = proc.tick;
    proc.process(10, 50 * tick, 7);   // busy
    proc.process(11, 900 * tick, 7);  // busy long ago, idle now
    proc.process(12, 5 * tick, 7);    // its pid will be reused
    auto tracker = proc.tracker();
    EXPECT_TRUE(tracker->observe().empty());

    proc.now += 2s;
    proc.process(10, 50 * tick + 3 * tick, 7);
    proc.process(12, 1, 99);  // a new process under the same pid
    proc.process(13, 4 * tick, 99);
    const auto shares = tracker->observe();
    EXPECT_DOUBLE_EQ(shares.at(10), 150.0);  // one and a half CPUs
    EXPECT_DOUBLE_EQ(shares.at(11), 0.0);
    EXPECT_FALSE(shares.contains(12));
    EXPECT_FALSE(shares.contains(13));

    proc.now += 1s;
    proc.process(12, 1 + tick / 2, 99);
    fs::remove_all(proc.root.path() / "10");  // ended: no longer listed
    const auto later = tracker->observe();
    EXPECT_DOUBLE_EQ(later.at(12), 50.0);
    EXPECT_FALSE(later.contains(10));
}

// The sampler ranks by the recent share; a process new to the tracker keeps the ps figure.
TEST_F(ProcessSamplerTests, RanksByRecentShare) {
    FakeProc proc;
    proc.process(20, 0, 1);
    proc.process(21, 3000 * proc.tick, 1);
    ps({0, "20 1 1.0 0 /bin/busy\n21 1 80.0 0 /bin/idle\n22 1 5.0 0 /bin/new\n", ""});
    sampler.recentCPU = proc.tracker();
    sampler.recentCPU->observe();
    proc.now += 1s;
    proc.process(20, proc.tick * 9 / 10, 1);
    const auto top = sampler.sampleTopProcesses(3);
    EXPECT_EQ(pids(top), (std::vector<int64_t>{20, 22, 21}));
    EXPECT_NEAR(top[0].cpuPercent, 90.0, 1.0);
    EXPECT_DOUBLE_EQ(top[1].cpuPercent, 5.0);
    EXPECT_DOUBLE_EQ(top[2].cpuPercent, 0.0);
}

TEST_F(ProcessSamplerTests, FindsItselfInTheMachinesProcessList) {
    ProcessSampler real;
    real.metadataCache = &cache;
    real.componentProfiler = &profiler;
    const auto tree = real.sampleProcessTree(5);
    EXPECT_LE(tree.sampledProcesses.size(), 5u);
    const auto self = std::find_if(tree.allProcesses.begin(), tree.allProcesses.end(),
                                   [](const auto& sample) { return sample.pid == getpid(); });
    ASSERT_NE(self, tree.allProcesses.end());
    EXPECT_EQ(self->name, fs::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(self->parentPID, getppid());
}

}  // namespace
}  // namespace joulix
