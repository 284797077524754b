#include "MetricsCollectors/ProcessSampler.h"
#include "MetricsCollectors/RecentProcessCPUTracker.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace joulix {
namespace {

using namespace std::chrono_literals;

// A fake /proc tree whose stat lines give each pid its CPU ticks and start time.
struct FakeProc {
    testing::TemporaryDirectory root;
    std::chrono::steady_clock::time_point now{};
    void process(int pid, long cpuTicks, long startTime) const {
        std::string fields = std::to_string(pid) + " (worker) S 1 1 1 0 -1 0 0 0 0 0 " +
                             std::to_string(cpuTicks) + " 0 0 0 20 0 1 0 " +
                             std::to_string(startTime) + " 1000 25\n";
        root.writeFile(std::to_string(pid) + "/stat", fields);
    }
    std::shared_ptr<RecentProcessCPUTracker> tracker() {
        return std::make_shared<RecentProcessCPUTracker>(makeProcfsProcessTable(root.string()),
                                                         [this] { return now; });
    }
};

TEST(RecentProcessCPUTracker, SharesSinceThePreviousObservation) {
    const long tick = ::sysconf(_SC_CLK_TCK);
    FakeProc proc;
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
    EXPECT_DOUBLE_EQ(tracker->observe().at(12), 50.0);
}

// The sampler ranks by the recent share; a process new to the tracker keeps the ps figure.
TEST(RecentProcessCPUTracker, SamplerRanksByRecentShare) {
    const long tick = ::sysconf(_SC_CLK_TCK);
    FakeProc proc;
    proc.process(20, 0, 1);
    proc.process(21, 3000 * tick, 1);
    const auto shell = testing::scriptedShell();
    shell->answer("/bin/ps", {0,
                              "20 1 1.0 0 /bin/busy\n21 1 80.0 0 /bin/idle\n"
                              "22 1 5.0 0 /bin/new\n",
                              ""});
    ProcessSampler sampler(shell);
    RunningProcessMetadataCache cache;
    sampler.metadataCache = &cache;
    sampler.metadataResolver = [](int32_t) { return std::nullopt; };
    sampler.recentCPU = proc.tracker();
    sampler.recentCPU->observe();
    proc.now += 1s;
    proc.process(20, tick * 9 / 10, 1);
    const auto top = sampler.sampleTopProcesses(3);
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].pid, 20);
    EXPECT_NEAR(top[0].cpuPercent, 90.0, 1.0);
    EXPECT_EQ(top[1].pid, 22);
    EXPECT_DOUBLE_EQ(top[1].cpuPercent, 5.0);
    EXPECT_EQ(top[2].pid, 21);
    EXPECT_DOUBLE_EQ(top[2].cpuPercent, 0.0);
}

}  // namespace
}  // namespace joulix
