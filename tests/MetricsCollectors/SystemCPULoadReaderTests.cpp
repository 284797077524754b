#include "MetricsCollectors/SystemCPULoadReader.h"

#include "Platform/linux/ProcStatCPULoadCounters.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

TEST(SystemCPULoadReader, BusyFractionFromProcStat) {
    testing::TemporaryDirectory proc;
    // user nice system idle iowait irq softirq steal
    proc.writeFile("stat", "cpu  100 10 50 800 40 5 5 7 0 0\ncpu0 1 2 3 4 5 6 7 8\n");
    SystemCPULoadReader reader(8, std::make_shared<ProcStatCPULoadCounters>(proc.string()));
    EXPECT_EQ(reader.sample(Date{50}), (SystemCPUSample{0, 8, 0}));

    // +60 user, +0 nice, +20 system, +10 irq, +100 idle, +10 iowait, +99 steal (not counted)
    proc.writeFile("stat", "cpu  160 10 70 900 50 15 5 106 0 0\n");
    const auto sample = reader.sample(Date{52});
    EXPECT_DOUBLE_EQ(sample.busyFraction, 90.0 / 200.0);
    EXPECT_EQ(sample.intervalSeconds, 2);
}

TEST(SystemCPULoadReader, WrappingCountersStillGiveTheirDelta) {
    testing::TemporaryDirectory proc;
    proc.writeFile("stat", "cpu  4294967290 0 0 4294967295 0 0 0\n");
    SystemCPULoadReader reader(4, std::make_shared<ProcStatCPULoadCounters>(proc.string()));
    reader.sample(Date{0});
    proc.writeFile("stat", "cpu  4294967300 0 0 4294967305 0 0 0\n");  // both past 2^32
    EXPECT_DOUBLE_EQ(reader.sample(Date{1}).busyFraction, 10.0 / 20.0);
}

TEST(SystemCPULoadReader, CountAndUnreadableCounters) {
    SystemCPULoadReader reader(0, std::make_shared<ProcStatCPULoadCounters>("/nonexistent"));
    EXPECT_EQ(reader.sample(Date{1}), (SystemCPUSample{0, 1, 0}));
    EXPECT_EQ(ProcStatCPULoadCounters::parseCPULine("cpu  1 2 3"), std::nullopt);
    EXPECT_EQ(ProcStatCPULoadCounters::parseCPULine("cpu  1 2 x 4 5"), std::nullopt);
    EXPECT_EQ(ProcStatCPULoadCounters::parseCPULine("intr 1 2 3 4 5"), std::nullopt);
}

}  // namespace
}  // namespace joulix
