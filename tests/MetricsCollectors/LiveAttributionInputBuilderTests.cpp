#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "Platform/linux/PowercapEnergyChannels.h"
#include "Platform/linux/SysfsPowerSources.h"

#include "TestSupport.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

namespace joulix {
namespace {

struct Task {
    int64_t pid;
    const char* name;
    double cpuMsPerSec;
};

// powermetrics output with a task table and package power lines.
std::string powermetricsText(const std::vector<Task>& tasks, double cpuMW, double gpuMW) {
    std::string text =
        "*** Running tasks ***\n\nName                 ID        CPU ms/s  GPU ms/s\n";
    char line[160];
    for (const auto& task : tasks) {
        std::snprintf(line, sizeof line, "  %-19s%-10lld%-10.3f0\n", task.name,
                      static_cast<long long>(task.pid), task.cpuMsPerSec);
        text += line;
    }
    std::snprintf(line, sizeof line,
                  "\n**** Processor usage ****\n\nCPU Power: %g mW\nGPU Power: %g mW\n", cpuMW,
                  gpuMW);
    return text + line;
}

ProcessSample sampled(int64_t pid, const char* name) {
    return {.pid = pid, .name = name, .cpuPercent = 1};
}

// A builder whose tools, display reading, metadata and clock are scripted; by default the
// battery discharges at 18 W and no USB device is listed.
struct Pass {
    testing::Shell shell = testing::scriptedShell();
    double displayW = 0;
    std::map<int32_t, RunningProcessMetadata> metadata;
    RunningProcessMetadataCache cache;

    Pass() {
        battery(testing::batteryPlist("Voltage=12000 Amperage=-1500"));
        usbDevices(0);
    }

    LiveAttributionInputBuilder builder() {
        PowermetricsCollector powermetrics(shell);
        powermetrics.effectiveUserID = [] { return 0u; };
        LiveAttributionInputBuilder built(
            ProcessSampler(shell), powermetrics,
            DisplayPowerEstimator(shell, std::make_shared<testing::FixedDisplayReading>(displayW)),
            USBPowerEstimator(shell), BatteryStatusCollector(shell));
        built.processMetadataResolver = [this](int32_t pid) {
            return testing::lookup(metadata, pid);
        };
        built.metadataCache = &cache;
        built.nowProvider = [] { return Date{800'000'000}; };
        return built;
    }
    AttributionBuildResult build(const std::vector<ProcessSample>& samples, bool onBattery = true) {
        SamplingConfig config;
        config.isOnBatteryPower = onBattery;
        return builder().buildWithMetadata(samples, {}, config);
    }

    void powermetrics(const std::string& text) { shell->answer("/usr/bin/nice", {0, text, ""}); }
    void battery(const std::string& plist) { shell->answer("/usr/sbin/ioreg", {0, plist, ""}); }
    void usbDevices(int count) {
        std::string listing = "USB:\n";
        for (int i = 0; i < count; ++i)
            listing += "          Product ID: 0x0001\n";
        shell->answer("/usr/sbin/system_profiler", {0, listing, ""});
    }
};

TEST(LiveAttributionInputBuilder, MergesPowermetricsWattsWithTheirThresholds) {
    Pass pass;
    // CPU power in mW equals the task total, so each task's package watts are its ms/s / 1000.
    pass.powermetrics(powermetricsText({{10, "idle", 0},
                                        {11, "light", 5},
                                        {20, "tiny-only", 5},
                                        {21, "Foo", 1000},
                                        {22, "ghost", 2000},
                                        {22, "ghost-again", 1000}},
                                       4010, 0));
    pass.metadata[21] = {"/Applications/Foo.app/Contents/MacOS/Foo", "/Applications/Foo.app",
                         "com.example.foo"};
    const auto result = pass.build(
        {sampled(10, "/usr/bin/idle"), sampled(11, "/usr/bin/light"), sampled(30, "/bin/other")});

    const auto& processes = result.input.processes;
    ASSERT_EQ(processes.size(), 5u);
    EXPECT_EQ(processes[0].powermetricsPackageW, std::nullopt);  // 0 W enriches nothing
    EXPECT_NEAR(*processes[1].powermetricsPackageW, 0.005, 1e-12);
    EXPECT_NEAR(*processes[1].powermetricsCPUW, 0.005, 1e-12);
    EXPECT_EQ(processes[1].powermetricsGPUW, 0.0);
    EXPECT_EQ(processes[2].powermetricsPackageW, std::nullopt);
    // Powermetrics-only processes: above 0.01 W, first record of a pid, named by metadata.
    EXPECT_EQ(processes[3],
              (ProcessSample{.pid = 21,
                             .name = "/Applications/Foo.app/Contents/MacOS/Foo",
                             .bundleID = "com.example.foo",
                             .powermetricsPackageW = processes[3].powermetricsPackageW,
                             .powermetricsCPUW = processes[3].powermetricsCPUW,
                             .powermetricsGPUW = 0.0}));
    EXPECT_NEAR(*processes[3].powermetricsPackageW, 1.0, 1e-12);
    EXPECT_EQ(processes[4].pid, 22);
    EXPECT_EQ(processes[4].name, "ghost");
    EXPECT_TRUE(result.metadata.powermetricsCommandOK);
    EXPECT_EQ(result.metadata.powermetricsParsedProcessCount, 6);
    EXPECT_TRUE(result.metadata.powermetricsHasPackagePower);
    EXPECT_FALSE(result.metadata.powermetricsHasSystemPower);
    EXPECT_EQ(result.input.timestamp, Date{800'000'000});
}

TEST(LiveAttributionInputBuilder, MarksGPUWattsSharedByCPUShare) {
    Pass pass;
    pass.powermetrics(powermetricsText({{40, "busy", 300}, {41, "quiet", 100}}, 1000, 2000));
    const auto processes = pass.build({sampled(40, "/usr/bin/busy")}).input.processes;
    ASSERT_EQ(processes.size(), 2u);
    EXPECT_NEAR(*processes[0].powermetricsGPUW, 1.5, 1e-12);
    EXPECT_TRUE(processes[0].powermetricsGPUFallbackAllocated);
    EXPECT_TRUE(processes[1].powermetricsGPUFallbackAllocated);
}

TEST(LiveAttributionInputBuilder, TotalPowerAndItsSource) {
    const char* charging = "Voltage=12000 Amperage=900 IsCharging=true ExternalConnected=true";
    const char* at18W = "Voltage=12000 Amperage=-1500";
    const char* at0W = "Voltage=0 Amperage=-1500";
    const char* estimated = "PM-Package+Components";
    const char* estimateOnly = "Estimate-Display+USB";
    // Package power 1.5 W; USB 2 devices = 0.9 W. Columns: case, powermetrics works, battery
    // (null: ioreg fails), configured on battery, display watts, total watts, source.
    const std::tuple<const char*, bool, const char*, bool, double, double, const char*> cases[] = {
        {"on AC, powermetrics failing", false, charging, true, 2.5, 3.4, estimateOnly},
        {"on AC with package power", true, charging, true, 2.5, 4.9, estimated},
        {"on battery, measured", true, at18W, false, 2.5, 18.0, "IOKit"},
        {"on battery at 0 W", true, at0W, true, 2.5, 0, "none"},
        {"no battery status, configured for AC", true, nullptr, false, 0, 2.4, estimated},
        {"no battery status, configured for battery", true, nullptr, true, 2.5, 0, "none"},
    };
    for (const auto& [name, powermetricsWorks, battery, configOnBattery, displayW, totalW, source] :
         cases) {
        SCOPED_TRACE(name);
        testing::LogCapture log;
        Pass pass;
        pass.displayW = displayW;
        pass.shell->answer("/usr/bin/nice", {powermetricsWorks ? 0 : 1,
                                             powermetricsText({{50, "task", 10}}, 1500, 0),
                                             "powermetrics: not permitted\n"});
        pass.shell->answer("/usr/sbin/ioreg",
                           {battery ? 0 : 1, battery ? testing::batteryPlist(battery) : "", ""});
        pass.usbDevices(2);
        const auto result = pass.build({}, configOnBattery);

        EXPECT_NEAR(result.input.totalDischargeW, totalW, 1e-9);
        EXPECT_EQ(result.metadata.usedEstimatedTotalPower,
                  source == estimated || source == estimateOnly);
        EXPECT_EQ(result.metadata.totalIsEstimate, source == estimateOnly);
        EXPECT_EQ(result.metadata.powermetricsCommandOK, powermetricsWorks);
        EXPECT_EQ(result.metadata.screenModelAvailable, displayW > 0);
        EXPECT_TRUE(result.metadata.usbModelAvailable);
        EXPECT_NEAR(result.input.usbModelW, 0.9, 1e-12);
        EXPECT_EQ(result.batteryStatus.has_value(), battery != nullptr);
        // The line reports the configuration's flag, whatever the battery decided.
        EXPECT_TRUE(log.contains(std::string("[InputBuilder] sources isOnBattery=") +
                                 (configOnBattery ? "true" : "false") + ", powerSource=" + source));
        EXPECT_EQ(log.contains("powermetrics collection failed: powermetrics command failed: "
                               "powermetrics: not permitted"),
                  !powermetricsWorks);
    }
}

TEST(LiveAttributionInputBuilder, SamplesProcessesItselfAndSurvivesAFailingPs) {
    Pass pass;
    pass.powermetrics(powermetricsText({{1, "init", 10}}, 10, 0));
    pass.shell->answer("/bin/ps", {0, "    1     0  12.5  0.1 /sbin/init\n", ""});
    const auto result = pass.builder().buildWithMetadata({}, true);
    ASSERT_EQ(result.input.processes.size(), 1u);
    EXPECT_EQ(result.input.processes[0].pid, 1);
    EXPECT_NEAR(*result.input.processes[0].powermetricsPackageW, 0.01, 1e-12);
    EXPECT_TRUE(result.input.developerMode);

    pass.shell->answer("/bin/ps", {1, "", "ps: failed"});
    EXPECT_EQ(pass.builder().build({}, false).processes.size(), 0u);  // 0.01 W is no more
}

// Without ioreg, powermetrics and system_profiler, the pass takes the battery, the power source,
// package power and the USB count from the platform, and names each source.
TEST(LiveAttributionInputBuilder, PlatformSourcesStandInForMissingTools) {
    testing::TemporaryDirectory sys;
    const auto write = [&](const std::string& path, const std::string& value) {
        sys.writeFile(path, value + "\n");
    };
    for (const auto& [name, value] :
         std::map<std::string, std::string>{{"type", "Battery"},
                                            {"status", "Unknown"},
                                            {"capacity", "70"},
                                            {"current_now", "-1000000"},
                                            {"voltage_now", "12000000"}}) {
        write("class/power_supply/BAT0/" + name, value);
    }
    write("class/power_supply/AC/type", "Mains");
    write("class/power_supply/AC/online", "0");
    write("class/powercap/intel-rapl:0:0/name", "core");
    write("class/powercap/intel-rapl:0:0/energy_uj", "1000000");
    write("class/powercap/intel-rapl:0:2/name", "dram");
    write("class/powercap/intel-rapl:0:2/energy_uj", "0");
    write("bus/usb/devices/1-1/bDeviceClass", "00");

    Pass pass;
    pass.shell->answer("/usr/bin/nice", {127, "", "nice: '/usr/bin/powermetrics': not found"});
    pass.shell->script("/usr/sbin/ioreg", [](const auto&) -> ShellResult {
        throw ShellRunnerError::failedToLaunch("no ioreg");
    });
    pass.shell->script("/usr/sbin/system_profiler", [](const auto&) -> ShellResult {
        throw ShellRunnerError::failedToLaunch("no system_profiler");
    });
    auto builder = pass.builder();
    builder.usbEstimator.sysRoot = sys.string();
    builder.batteryReader = std::make_shared<DirectBatteryStatusReader>(
        std::make_shared<SysfsPowerSources>(sys.string()));
    builder.energyReader = std::make_shared<AppleSiliconPowerReader>(
        std::make_shared<PowercapEnergyChannels>(sys.string()));
    double seconds = 0;
    builder.nowProvider = [&] { return Date{seconds}; };

    builder.observeBaseline();
    seconds = 2;
    write("class/powercap/intel-rapl:0:0/energy_uj", "9000000");
    write("class/powercap/intel-rapl:0:2/energy_uj", "1000000");
    SamplingConfig config;
    config.isOnBatteryPower = false;
    auto result = builder.buildWithMetadata({}, {}, config);
    EXPECT_TRUE(result.metadata.isOnBatteryPower);
    EXPECT_EQ(result.metadata.batteryStatusSource, "power_supply");
    EXPECT_DOUBLE_EQ(*result.batteryStatus->levelPercent, 70);
    EXPECT_EQ(result.metadata.totalPowerSource, "power_supply");
    EXPECT_DOUBLE_EQ(result.input.totalDischargeW, 12.0);
    EXPECT_EQ(result.metadata.packagePowerSource, "RAPL");
    EXPECT_EQ(result.metadata.packageW, 4.5);  // 4 W CPU + 0.5 W DRAM
    EXPECT_EQ(result.metadata.usbSource, "sysfs");
    EXPECT_NEAR(result.input.usbModelW, 0.45, 1e-12);

    // The adapter comes online: the machine's word beats the configuration's default.
    write("class/power_supply/AC/online", "1");
    seconds = 3;
    write("class/powercap/intel-rapl:0:0/energy_uj", "12000000");
    config.isOnBatteryPower = true;
    result = builder.buildWithMetadata({}, {}, config);
    EXPECT_FALSE(result.metadata.isOnBatteryPower);
    EXPECT_EQ(result.metadata.totalPowerSource, "RAPL-Package+Components");
    EXPECT_EQ(result.metadata.packageW, 3.0);
    EXPECT_NEAR(result.input.totalDischargeW, 3.45, 1e-12);
}

// Energy counters that exist but that this user may not read.
struct RootOnlyCounters final : EnergyChannels {
    std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view) override {
        return nullptr;
    }
    std::string unavailableReason() const override {
        return "RAPL counters are readable only by root on this machine";
    }
};

// A desktop where a user's pass can measure nothing: no battery, root-only counters, no
// powermetrics. The total is the USB estimate, labelled as one; the missing tool and the
// counters are said at most once, and never as errors.
TEST(LiveAttributionInputBuilder, NothingMeasuredIsLabelledAndSaidOnce) {
    if (std::filesystem::exists("/usr/bin/powermetrics")) GTEST_SKIP() << "powermetrics exists";
    testing::TemporaryDirectory sys;
    sys.writeFile("class/power_supply/AC/type", "Mains\n");
    sys.writeFile("class/power_supply/AC/online", "1\n");
    testing::LogCapture log;
    Pass pass;
    pass.shell->missing("/usr/bin/powermetrics");
    pass.shell->answer("/usr/sbin/ioreg", {1, "", ""});
    pass.usbDevices(2);
    auto builder = pass.builder();
    builder.batteryReader = std::make_shared<DirectBatteryStatusReader>(
        std::make_shared<SysfsPowerSources>(sys.string()));
    builder.energyReader =
        std::make_shared<AppleSiliconPowerReader>(std::make_shared<RootOnlyCounters>());

    const auto plan = builder.measurementPlan();
    EXPECT_EQ(plan.batterySource, "");
    EXPECT_EQ(plan.packageSource, "");
    EXPECT_EQ(plan.packageReason, "RAPL counters are readable only by root on this machine");

    for (int round = 0; round < 2; ++round) {
        const auto result = builder.buildWithMetadata({}, {}, SamplingConfig{});
        EXPECT_FALSE(result.metadata.isOnBatteryPower);
        EXPECT_EQ(result.metadata.totalPowerSource, "Estimate-Display+USB");
        EXPECT_TRUE(result.metadata.totalIsEstimate);
        EXPECT_NEAR(result.input.totalDischargeW, 0.9, 1e-12);
        EXPECT_EQ(result.metadata.packageW, std::nullopt);
        EXPECT_EQ(result.metadata.packagePowerReason,
                  "RAPL counters are readable only by root on this machine");
        EXPECT_EQ(result.metadata.noMeasurementReason,
                  "no battery discharging, RAPL counters are readable only by root");
    }
    EXPECT_FALSE(log.contains("[ERROR]"));
    EXPECT_LE(log.count("powermetrics is not installed"), 1u);
    EXPECT_LE(log.count("package power: RAPL counters are readable only by root"), 1u);
}

}  // namespace
}  // namespace joulix
