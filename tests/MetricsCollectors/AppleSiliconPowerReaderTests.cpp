#include "MetricsCollectors/AppleSiliconPowerReader.h"

#include "Platform/linux/PowercapEnergyChannels.h"
#include "TemporaryDirectory.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

// Channels whose next readings the test sets; a reading list that is absent fails the sample.
class ScriptedEnergyChannels final : public EnergyChannels {
  public:
    std::optional<std::vector<EnergyChannelReading>> next = std::vector<EnergyChannelReading>{};

    std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view group) override {
        struct Subscription final : EnergyChannelSubscription {
            ScriptedEnergyChannels* owner;
            std::optional<std::vector<EnergyChannelReading>> sample() override {
                return owner->next;
            }
        };
        if (group != "Energy Model") return nullptr;
        auto subscription = std::make_unique<Subscription>();
        subscription->owner = this;
        return subscription;
    }
};

EnergyChannelReading channel(const char* name, const char* unit, int64_t value) {
    return {"Energy Model", name, unit, value};
}

Date at(double seconds) {
    return Date{seconds};
}

TEST(AppleSiliconPowerReader, FirstCallIsTheBaselineThenWattsPerInterval) {
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    AppleSiliconPowerReader reader(channels);
    channels->next = {{channel("CPU Energy", "mJ", 1000)}};
    SystemPowerSnapshot baseline;
    baseline.supported = true;
    EXPECT_EQ(reader.sample(at(100)), baseline);

    channels->next = {{channel("CPU Energy", "mJ", 5000)}};
    const auto snapshot = reader.sample(at(102));
    EXPECT_DOUBLE_EQ(snapshot.cpuW, 2.0);
    EXPECT_DOUBLE_EQ(snapshot.intervalSeconds, 2.0);
    EXPECT_TRUE(snapshot.supported);
}

TEST(AppleSiliconPowerReader, ChannelsGoToTheirBuckets) {
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    AppleSiliconPowerReader reader(channels);
    const auto readings = [](int64_t scale) {
        return std::vector<EnergyChannelReading>{
            channel("ECPU Energy", "mJ", 1 * scale),
            channel("GPU Energy", "uJ", 2000 * scale),
            channel("ANE0", "mJ", 3 * scale),
            channel("DCS", "nJ", 4'000'000 * scale),
            channel("DRAM", "mJ", 5 * scale),
            channel("AMCC", "mJ", 6 * scale),
            channel("PCIe Port 0 Energy", "mJ", 7 * scale),
            channel("ISP", "mJ", 100 * scale),
            channel("CPU Energy", "W", 100 * scale),
            {"Energy Model", "CPU Energy", {}, 99 * scale},
            {"Other Group", "CPU Energy", "mJ", 99 * scale},
            {"Energy Model", {}, "mJ", 9 * scale},
        };
    };
    channels->next = readings(0);
    reader.sample(at(0));
    channels->next = readings(1000);  // each mJ figure above becomes that many watts over 1 s
    const auto snapshot = reader.sample(at(1));
    EXPECT_DOUBLE_EQ(snapshot.cpuW, 1);
    EXPECT_DOUBLE_EQ(snapshot.gpuW, 2);
    EXPECT_DOUBLE_EQ(snapshot.aneW, 3);
    EXPECT_DOUBLE_EQ(snapshot.displayW, 4);
    EXPECT_DOUBLE_EQ(snapshot.dramW, 5);
    EXPECT_DOUBLE_EQ(snapshot.memoryFabricW, 6);
    EXPECT_DOUBLE_EQ(snapshot.ramW, 11);
    EXPECT_DOUBLE_EQ(snapshot.pciW, 7);
}

TEST(AppleSiliconPowerReader, BackwardsTimeOrCountersGiveZeroAndRebase) {
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    AppleSiliconPowerReader reader(channels);
    channels->next = {{channel("CPU Energy", "mJ", 9000)}};
    reader.sample(at(10));
    channels->next = {{channel("CPU Energy", "mJ", 1000)}};
    EXPECT_EQ(reader.sample(at(12)).cpuW, 0);  // the counter went back
    channels->next = {{channel("CPU Energy", "mJ", 3000)}};
    const auto earlier = reader.sample(at(5));
    EXPECT_EQ(earlier.cpuW, 0);
    EXPECT_EQ(earlier.intervalSeconds, 0);
    channels->next = {{channel("CPU Energy", "mJ", 4000)}};
    EXPECT_DOUBLE_EQ(reader.sample(at(6)).cpuW, 1.0);  // measured from the re-based totals
}

TEST(AppleSiliconPowerReader, AFailedReadKeepsTheBaseline) {
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    AppleSiliconPowerReader reader(channels);
    channels->next = {{channel("GPU Energy", "mJ", 0)}};
    reader.sample(at(0));
    channels->next = std::nullopt;
    EXPECT_EQ(reader.sample(at(1)), SystemPowerSnapshot{});
    channels->next = {{channel("GPU Energy", "mJ", 8000)}};
    const auto snapshot = reader.sample(at(4));
    EXPECT_DOUBLE_EQ(snapshot.gpuW, 2.0);
    EXPECT_DOUBLE_EQ(snapshot.intervalSeconds, 4.0);
}

TEST(AppleSiliconPowerReader, RAPLZonesOfAFakePowercapTree) {
    testing::TemporaryDirectory sys;
    const auto zone = [&](const std::string& directory, const std::string& name, int64_t uj) {
        sys.writeFile("class/powercap/" + directory + "/name", name + "\n");
        sys.writeFile("class/powercap/" + directory + "/energy_uj", std::to_string(uj) + "\n");
    };
    sys.writeFile("class/powercap/intel-rapl/enabled", "1\n");  // the control type, no counter
    zone("intel-rapl:0", "package-0", 50'000'000);
    zone("intel-rapl:0:0", "core", 20'000'000);
    zone("intel-rapl:0:1", "uncore", 1'000'000);
    zone("intel-rapl:0:2", "dram", 4'000'000);
    zone("intel-rapl:1", "psys", 90'000'000);
    AppleSiliconPowerReader reader(std::make_shared<PowercapEnergyChannels>(sys.string()));

    SystemPowerSnapshot baseline;
    baseline.supported = true;
    EXPECT_EQ(reader.sample(at(0)), baseline);
    zone("intel-rapl:0:0", "core", 29'000'000);
    zone("intel-rapl:0:1", "uncore", 1'500'000);
    zone("intel-rapl:0:2", "dram", 5'500'000);
    zone("intel-rapl:0", "package-0", 99'000'000);
    const auto snapshot = reader.sample(at(2));
    EXPECT_DOUBLE_EQ(snapshot.cpuW, 4.5);
    EXPECT_DOUBLE_EQ(snapshot.gpuW, 0.25);
    EXPECT_DOUBLE_EQ(snapshot.dramW, 0.75);
    EXPECT_DOUBLE_EQ(snapshot.ramW, 0.75);
    EXPECT_EQ(snapshot.aneW + snapshot.pciW + snapshot.displayW, 0);
}

TEST(AppleSiliconPowerReader, UnsupportedWithoutZones) {
    testing::TemporaryDirectory sys;
    sys.writeFile("class/powercap/intel-rapl:0/name", "package-0\n");  // counter unreadable
    AppleSiliconPowerReader reader(std::make_shared<PowercapEnergyChannels>(sys.string()));
    EXPECT_FALSE(reader.sample(at(0)).supported);
    EXPECT_FALSE(reader.sample(at(1)).supported);
    AppleSiliconPowerReader none(std::make_shared<PowercapEnergyChannels>(sys.string() + "/x"));
    EXPECT_FALSE(none.sample(at(0)).supported);
}

}  // namespace
}  // namespace joulix
