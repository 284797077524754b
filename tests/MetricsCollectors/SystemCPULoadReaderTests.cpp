#include "MetricsCollectors/SystemCPULoadReader.h"

#include "Platform/linux/ProcStatCPULoadCounters.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tuple>

namespace joulix {
namespace {

// The busy share of the counters' growth between two readings of the first line of /proc/stat.
TEST(SystemCPULoadReader, BusyFractionFromProcStat) {
    const std::tuple<const char*, const char*, double> cases[] = {
        // user nice system idle iowait irq softirq steal: +60 user, +20 system, +10 irq, +100
        // idle, +10 iowait, +99 steal (not counted)
        {"cpu  100 10 50 800 40 5 5 7 0 0\ncpu0 1 2 3 4 5 6 7 8\n",
         "cpu  160 10 70 900 50 15 5 106 0 0\n", 90.0 / 200.0},
        // counters past 2^32 still give their delta
        {"cpu  4294967290 0 0 4294967295 0 0 0\n", "cpu  4294967300 0 0 4294967305 0 0 0\n",
         10.0 / 20.0},
    };
    for (const auto& [before, after, busy] : cases) {
        testing::TemporaryDirectory proc;
        proc.writeFile("stat", before);
        SystemCPULoadReader reader(8, std::make_shared<ProcStatCPULoadCounters>(proc.string()));
        EXPECT_EQ(reader.sample(Date{50}), (SystemCPUSample{0, 8, 0}));
        proc.writeFile("stat", after);
        EXPECT_EQ(reader.sample(Date{52}), (SystemCPUSample{busy, 8, 2})) << before;
    }
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
