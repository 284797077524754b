#include "MetricsCollectors/ResponsibleProcessSampler.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

class ResponsibleProcessSamplerTests : public ::testing::Test {
  protected:
    std::unique_ptr<ResponsibleProcessSampler> make(ResponsiblePIDFunction responsibility) {
        auto sampler =
            std::make_unique<ResponsibleProcessSampler>(table, std::move(responsibility));
        sampler->metadataCache = &cache;
        sampler->metadataResolver = [](int32_t pid) -> std::optional<RunningProcessMetadata> {
            if (pid == 4242) return std::nullopt;
            return RunningProcessMetadata{"/bin/p" + std::to_string(pid), std::nullopt,
                                          std::nullopt};
        };
        return sampler;
    }

    std::shared_ptr<testing::FakeProcessTable> table =
        std::make_shared<testing::FakeProcessTable>();
    RunningProcessMetadataCache cache;
};

TEST_F(ResponsibleProcessSamplerTests, FirstCallPrimesAndCountersThatGoBackAreSkipped) {
    const auto sampler = make({});
    table->cpuTime = {{1, 1'000'000'000}, {2, 5'000'000'000}};
    EXPECT_EQ(sampler->sample(10, Date{100}), (ResponsibleProcessSnapshot{{}, 0}));
    table->cpuTime = {{1, 1'500'000'000}, {2, 6'000'000'000}};
    EXPECT_EQ(sampler->sample(10, Date{100}), (ResponsibleProcessSnapshot{{}, 0}));

    // pid 2 went back (reused); pid 3 is new: neither contributes this time.
    table->cpuTime = {{1, 2'000'000'000}, {2, 100}, {3, 50}};
    const auto snapshot = sampler->sample(10, Date{102});
    EXPECT_DOUBLE_EQ(snapshot.intervalSeconds, 2);
    // Its own group, named from its own metadata.
    EXPECT_EQ(snapshot.processes, (std::vector<ProcessSample>{{.pid = 1,
                                                               .responsiblePID = 1,
                                                               .name = "/bin/p1",
                                                               .cpuPercent = 25,
                                                               .cpuTimeDeltaNs = 500'000'000,
                                                               .samplingIntervalMs = 2000}}));

    // pid 2 is compared against its new value from now on.
    table->cpuTime = {{1, 2'000'000'000}, {2, 1'000'000'100}, {3, 50}};
    const auto next = sampler->sample(10, Date{103});
    ASSERT_EQ(next.processes.size(), 1u);
    EXPECT_EQ(next.processes[0].pid, 2);
    EXPECT_EQ(next.processes[0].cpuTimeDeltaNs, 1'000'000'000u);
}

TEST_F(ResponsibleProcessSamplerTests, GroupsUnderTheResponsibleProcess) {
    const auto sampler = make([](int32_t pid) { return pid >= 10 ? 4242 : 0; });
    table->cpuTime = {{5, 0}, {6, 0}, {10, 0}, {11, 0}};
    sampler->sample(2, Date{0});
    table->cpuTime = {{5, 300}, {6, 300}, {10, 100}, {11, 250}};
    const auto snapshot = sampler->sample(2, Date{1});
    ASSERT_EQ(snapshot.processes.size(), 2u);
    EXPECT_EQ(snapshot.processes[0].pid, 4242);
    EXPECT_EQ(snapshot.processes[0].name, "pid-4242");
    EXPECT_EQ(snapshot.processes[0].cpuTimeDeltaNs, 350u);
    EXPECT_EQ(snapshot.processes[1].pid, 5);                      // ties: the smaller pid
    EXPECT_EQ(sampler->sample(0, Date{2}).processes.size(), 0u);  // nothing moved
}

}  // namespace
}  // namespace joulix
