#include "MetricsCollectors/AppleSiliconPowerReader.h"

#include "Platform/MainBundle.h"
#include "Platform/linux/PowercapEnergyChannels.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <tuple>

namespace joulix {
namespace {

// Channels whose next readings the test sets; a reading list that is absent fails the sample.
class ScriptedEnergyChannels final : public EnergyChannels {
  public:
    std::optional<std::vector<EnergyChannelReading>> next = std::vector<EnergyChannelReading>{};

    std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view group) override {
        struct Subscription final : EnergyChannelSubscription {
            const ScriptedEnergyChannels* owner = nullptr;
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

// Writes a powercap zone's name and energy counter in `sys`.
void writeZone(const testing::TemporaryDirectory& sys, const std::string& directory,
               const std::string& name, int64_t uj) {
    sys.writeFile("class/powercap/" + directory + "/name", name + "\n");
    sys.writeFile("class/powercap/" + directory + "/energy_uj", std::to_string(uj) + "\n");
}

TEST(AppleSiliconPowerReader, BaselineThenWattsPerIntervalRebasingAfterFaults) {
    // step, time, CPU energy in mJ (absent: the read fails), watts, interval
    const std::tuple<const char*, double, std::optional<int64_t>, double, double> steps[] = {
        {"first call: the baseline", 100, 1000, 0, 0},
        {"watts over the interval", 102, 5000, 2, 2},
        {"counter went back", 104, 1000, 0, 2},
        {"failed read keeps the baseline", 105, std::nullopt, 0, 0},
        {"measured from the kept baseline", 108, 5000, 1, 4},
        {"time went back", 90, 6000, 0, 0},
        {"measured from the re-based totals", 91, 7000, 1, 1},
    };
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    AppleSiliconPowerReader reader(channels);
    for (const auto& [step, time, cpuMJ, cpuW, interval] : steps) {
        channels->next = std::nullopt;
        if (cpuMJ) channels->next = {{channel("CPU Energy", "mJ", *cpuMJ)}};
        EXPECT_EQ(reader.sample(Date{time}),
                  (SystemPowerSnapshot{
                      .cpuW = cpuW, .intervalSeconds = interval, .supported = cpuMJ.has_value()}))
            << step;
    }
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
    reader.sample(Date{0});
    channels->next = readings(1000);  // each mJ figure above becomes that many watts over 1 s
    // cpu, gpu, ane, dram, memory fabric, ram, pci, display, interval, supported
    EXPECT_EQ(reader.sample(Date{1}), (SystemPowerSnapshot{1, 2, 3, 5, 6, 11, 7, 4, 1, true}));
}

// Package power is the packages' own counters (plus DRAM outside them), the platform counter
// stands apart, the CPU is the package where there is no core zone, and the uncore is the GPU.
// Counters rise by the given joules over 2 s; the control type's own directory is no zone.
TEST(AppleSiliconPowerReader, RAPLPackageAndPlatformOfEachLayout) {
    struct Case {
        const char* name;
        std::map<std::string, std::pair<std::string, int64_t>> zones;  // directory: name, J
        double cpuW, gpuW, dramW;
        std::optional<double> packageW;
        std::optional<double> platformW;
    };
    // clang-format off
    const Case cases[] = {
        {"package zones only", {{"intel-rapl:0", {"package-0", 30}}}, 15, 0, 0, 15, {}},
        {"a package with sub-zones",
         {{"intel-rapl:0", {"package-0", 30}}, {"intel-rapl:0:0", {"core", 20}},
          {"intel-rapl:0:1", {"uncore", 4}}, {"intel-rapl:0:2", {"dram", 2}}},
         10, 2, 1, 15, {}},
        {"two packages",
         {{"intel-rapl:0", {"package-0", 30}}, {"intel-rapl:0:0", {"core", 20}},
          {"intel-rapl:1", {"package-1", 10}}, {"intel-rapl:1:0", {"core", 6}}},
         13, 0, 0, 20, {}},
        {"a platform zone",
         {{"intel-rapl:0", {"package-0", 30}}, {"intel-rapl:1", {"psys", 50}}}, 15, 0, 0, 15, 25},
        {"a DRAM zone outside the package",
         {{"intel-rapl:0", {"package-0", 30}}, {"intel-rapl:1", {"dram", 8}}}, 15, 0, 4, 19, {}},
        {"the MMIO view of a package counts once",
         {{"intel-rapl-mmio:0", {"package-0", 30}}, {"intel-rapl:0", {"package-0", 30}}},
         15, 0, 0, 15, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TemporaryDirectory sys;
        sys.writeFile("class/powercap/intel-rapl/enabled", "1\n");
        const auto write = [&](int64_t scale) {
            for (const auto& [directory, zone] : c.zones)
                writeZone(sys, directory, zone.first, 1'000'000 + scale * zone.second * 1'000'000);
        };
        write(0);
        AppleSiliconPowerReader reader(std::make_shared<PowercapEnergyChannels>(sys.string()));
        EXPECT_EQ(reader.sample(Date{0}), (SystemPowerSnapshot{.supported = true}));
        write(1);
        const auto snapshot = reader.sample(Date{2});
        EXPECT_DOUBLE_EQ(snapshot.cpuW, c.cpuW);
        EXPECT_DOUBLE_EQ(snapshot.gpuW, c.gpuW);
        EXPECT_DOUBLE_EQ(snapshot.dramW, c.dramW);
        EXPECT_DOUBLE_EQ(snapshot.ramW, c.dramW);
        EXPECT_EQ(snapshot.packageW, c.packageW);
        EXPECT_EQ(snapshot.platformW, c.platformW);
    }
}

// A counter that passes its range between readings is unwrapped; a reading in which one zone
// cannot be read fails whole and the next good reading spans both intervals.
TEST(AppleSiliconPowerReader, RAPLCounterWrapsAndUnreadableZone) {
    testing::TemporaryDirectory sys;
    const auto zone = [&](const std::string& directory, const std::string& name, int64_t uj) {
        writeZone(sys, directory, name, uj);
        sys.writeFile("class/powercap/" + directory + "/max_energy_range_uj", "100000000\n");
    };
    zone("intel-rapl:0:0", "core", 99'000'000);
    zone("intel-rapl:0:2", "dram", 10'000'000);
    AppleSiliconPowerReader reader(std::make_shared<PowercapEnergyChannels>(sys.string()));
    reader.sample(Date{0});
    zone("intel-rapl:0:0", "core", 3'000'000);  // 99 J → 100 J (wrap) → 3 J: 4 J
    zone("intel-rapl:0:2", "dram", 12'000'000);
    auto snapshot = reader.sample(Date{2});
    EXPECT_DOUBLE_EQ(snapshot.cpuW, 2.0);
    EXPECT_DOUBLE_EQ(snapshot.dramW, 1.0);

    std::filesystem::remove(sys.path() / "class/powercap/intel-rapl:0:2/energy_uj");
    zone("intel-rapl:0:0", "core", 7'000'000);
    EXPECT_FALSE(reader.sample(Date{3}).supported);
    zone("intel-rapl:0:0", "core", 11'000'000);
    zone("intel-rapl:0:2", "dram", 16'000'000);
    snapshot = reader.sample(Date{4});
    EXPECT_DOUBLE_EQ(snapshot.cpuW, 4.0);
    EXPECT_DOUBLE_EQ(snapshot.dramW, 2.0);
    EXPECT_DOUBLE_EQ(snapshot.intervalSeconds, 2.0);
}

TEST(AppleSiliconPowerReader, UnsupportedWithoutZones) {
    testing::TemporaryDirectory sys;
    sys.writeFile("class/powercap/intel-rapl:0/name", "package-0\n");  // counter unreadable
    AppleSiliconPowerReader reader(std::make_shared<PowercapEnergyChannels>(sys.string()));
    EXPECT_FALSE(reader.sample(Date{0}).supported);
    EXPECT_FALSE(reader.sample(Date{1}).supported);
    AppleSiliconPowerReader none(std::make_shared<PowercapEnergyChannels>(sys.string() + "/x"));
    EXPECT_FALSE(none.sample(Date{0}).supported);
    EXPECT_EQ(none.unsupportedReason(), "no RAPL counters on this machine");
}

// Channel names go once to the bundle's debug log, never to the ordinary one.
class DebugOnlyLog final : public SystemLog {
  public:
    void write(std::string_view, std::string_view, bool, std::string_view) override {
        ADD_FAILURE() << "channel names are a debug entry";
    }
    void writeDebug(std::string_view subsystem, std::string_view category,
                    std::string_view message) override {
        entries.push_back(std::string(subsystem) + "|" + std::string(category) + "|" +
                          std::string(message));
    }
    std::vector<std::string> entries;
};

TEST(AppleSiliconPowerReader, ChannelNamesGoOnceToTheBundlesDebugLog) {
    setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, "org.example.monitor"));
    auto channels = std::make_shared<ScriptedEnergyChannels>();
    channels->next = {{channel("CPU Energy", "mJ", 5),
                       channel("ISP", "mJ", 1),
                       {"Other", "GPU Energy", "mJ", 1}}};
    auto log = std::make_shared<DebugOnlyLog>();
    AppleSiliconPowerReader reader(channels, log);
    setMainBundle(nullptr);
    reader.sample(Date{0});
    reader.sample(Date{1});
    EXPECT_EQ(log->entries, std::vector<std::string>{"org.example.monitor|AppleSiliconPowerReader|"
                                                     "IOReport Energy Model channels: CPU Energy, "
                                                     "ISP"});
}

}  // namespace
}  // namespace joulix
