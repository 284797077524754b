#include "MetricsCollectors/LiveAttributionInputBuilder.h"

#include "ScriptedShellRunner.h"
#include "SharedModels/RuntimeLog.h"
#include "TemporaryDirectory.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

namespace joulix {
namespace {

struct Task {
    int64_t pid;
    const char* name;
    double cpuMsPerSec;
    double gpuMsPerSec = 0;
};

// powermetrics output with a task table and package power lines.
std::string powermetricsText(const std::vector<Task>& tasks, double cpuMW, double gpuMW) {
    std::string text =
        "*** Running tasks ***\n\nName                 ID        CPU ms/s  GPU ms/s\n";
    char line[160];
    for (const auto& task : tasks) {
        std::snprintf(line, sizeof line, "  %-19s%-10lld%-10.3f%-10.3f\n", task.name,
                      static_cast<long long>(task.pid), task.cpuMsPerSec, task.gpuMsPerSec);
        text += line;
    }
    std::snprintf(line, sizeof line,
                  "\n**** Processor usage ****\n\nCPU Power: %g mW\nGPU Power: %g mW\n", cpuMW,
                  gpuMW);
    return text + line;
}

std::string batteryPlist(const std::string& body) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict>" + body +
           "</dict></array></plist>";
}
const std::string dischargingAt18W = batteryPlist(
    "<key>Voltage</key><integer>12000</integer><key>Amperage</key><integer>-1500</integer>");
const std::string chargingBattery = batteryPlist(
    "<key>Voltage</key><integer>12000</integer><key>Amperage</key><integer>900</integer>"
    "<key>IsCharging</key><true/><key>ExternalConnected</key><true/>");
const std::string dischargingAt0W = batteryPlist(
    "<key>Voltage</key><integer>0</integer><key>Amperage</key><integer>-1500</integer>");

std::string usbListing(int devices) {
    std::string text = "USB:\n";
    for (int i = 0; i < devices; ++i)
        text += "          Product ID: 0x0001\n";
    return text;
}

class FixedDisplayReading final : public SMCDisplayPowerReading {
  public:
    explicit FixedDisplayReading(double watts) : watts_(watts) {}
    std::optional<double> readDisplayPowerWatts() override { return watts_; }

  private:
    double watts_;
};

ProcessSample sampled(int64_t pid, const char* name, double cpuPercent = 1) {
    ProcessSample sample;
    sample.pid = pid;
    sample.name = name;
    sample.cpuPercent = cpuPercent;
    return sample;
}

// A builder whose tools, display reading, metadata and clock are scripted.
struct Pass {
    std::shared_ptr<testing::ScriptedShellRunner> shell =
        std::make_shared<testing::ScriptedShellRunner>();
    double displayW = 0;
    std::map<int32_t, RunningProcessMetadata> metadata;
    RunningProcessMetadataCache cache;
    testing::TemporaryDirectory traceDirectory;
    std::optional<ComponentProfiler> profiler;

    explicit Pass(bool profiling = false) {
        profiler.emplace(BenchmarkProcessKind::daemon, "tests",
                         traceDirectory.string() + "/trace.jsonl", 0.0, 1000, profiling);
    }

    LiveAttributionInputBuilder builder() {
        PowermetricsCollector powermetrics(shell);
        powermetrics.effectiveUserID = [] { return 0u; };
        LiveAttributionInputBuilder built(
            ProcessSampler(shell), powermetrics,
            DisplayPowerEstimator(shell, std::make_shared<FixedDisplayReading>(displayW)),
            USBPowerEstimator(shell), BatteryStatusCollector(shell));
        built.processSampler.componentProfiler = &*profiler;
        built.processMetadataResolver =
            [this](int32_t pid) -> std::optional<RunningProcessMetadata> {
            const auto found = metadata.find(pid);
            if (found == metadata.end()) return std::nullopt;
            return found->second;
        };
        built.metadataCache = &cache;
        built.nowProvider = [] { return Date{800'000'000}; };
        built.componentProfiler = &*profiler;
        return built;
    }

    void powermetrics(const std::string& text) { shell->answer("/usr/bin/nice", {0, text, ""}); }
    void battery(const std::string& plist) { shell->answer("/usr/sbin/ioreg", {0, plist, ""}); }
    void usbDevices(int count) {
        shell->answer("/usr/sbin/system_profiler", {0, usbListing(count), ""});
    }
};

SamplingConfig configOnBattery(bool onBattery) {
    SamplingConfig config;
    config.isOnBatteryPower = onBattery;
    return config;
}

// The lines the runtime log writes under "InputBuilder" while alive.
class CapturedLog {
  public:
    CapturedLog() {
        RuntimeLog::configure(RuntimeLogLevel::info, true);
        token_ = RuntimeLog::addObserver([this](const std::string& line) {
            std::lock_guard guard(lock_);
            if (line.find("[InputBuilder] ") != std::string::npos) lines_.push_back(line);
        });
    }
    ~CapturedLog() {
        RuntimeLog::removeObserver(token_);
        RuntimeLog::configure(RuntimeLogLevel::warn, false);
    }
    std::string containing(const std::string& part) {
        std::lock_guard guard(lock_);
        for (const auto& line : lines_) {
            if (line.find(part) != std::string::npos) return line;
        }
        return "";
    }

  private:
    uint64_t token_ = 0;
    std::mutex lock_;
    std::vector<std::string> lines_;
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
    pass.battery(dischargingAt18W);
    pass.usbDevices(0);
    pass.metadata[21] = {"/Applications/Foo.app/Contents/MacOS/Foo", "/Applications/Foo.app",
                         "com.example.foo"};
    const auto result = pass.builder().buildWithMetadata(
        {sampled(10, "/usr/bin/idle"), sampled(11, "/usr/bin/light"), sampled(30, "/bin/other")},
        {}, configOnBattery(true));

    const auto& processes = result.input.processes;
    ASSERT_EQ(processes.size(), 5u);
    EXPECT_EQ(processes[0].powermetricsPackageW, std::nullopt);  // 0 W enriches nothing
    EXPECT_NEAR(*processes[1].powermetricsPackageW, 0.005, 1e-12);
    EXPECT_NEAR(*processes[1].powermetricsCPUW, 0.005, 1e-12);
    EXPECT_EQ(processes[1].powermetricsGPUW, 0.0);
    EXPECT_EQ(processes[2].pid, 30);
    EXPECT_EQ(processes[2].powermetricsPackageW, std::nullopt);
    // Powermetrics-only processes: above 0.01 W, first record of a pid, named by metadata.
    EXPECT_EQ(processes[3].pid, 21);
    EXPECT_EQ(processes[3].name, "/Applications/Foo.app/Contents/MacOS/Foo");
    EXPECT_EQ(processes[3].bundleID, "com.example.foo");
    EXPECT_NEAR(*processes[3].powermetricsPackageW, 1.0, 1e-12);
    EXPECT_EQ(processes[4].pid, 22);
    EXPECT_EQ(processes[4].name, "ghost");
    EXPECT_EQ(processes[4].bundleID, std::nullopt);
    EXPECT_EQ(processes[4].cpuPercent, 0);
    EXPECT_EQ(processes[4].parentPID, std::nullopt);

    EXPECT_TRUE(result.metadata.powermetricsCommandOK);
    EXPECT_EQ(result.metadata.powermetricsParsedProcessCount, 6);
    EXPECT_TRUE(result.metadata.powermetricsHasPackagePower);
    EXPECT_FALSE(result.metadata.powermetricsHasSystemPower);
    EXPECT_EQ(result.input.timestamp, Date{800'000'000});
}

TEST(LiveAttributionInputBuilder, MarksGPUWattsSharedByCPUShare) {
    Pass pass;
    pass.powermetrics(powermetricsText({{40, "busy", 300}, {41, "quiet", 100}}, 1000, 2000));
    pass.battery(dischargingAt18W);
    pass.usbDevices(0);
    const auto result =
        pass.builder().buildWithMetadata({sampled(40, "/usr/bin/busy")}, {}, configOnBattery(true));
    ASSERT_EQ(result.input.processes.size(), 2u);
    EXPECT_NEAR(*result.input.processes[0].powermetricsGPUW, 1.5, 1e-12);
    EXPECT_TRUE(result.input.processes[0].powermetricsGPUFallbackAllocated);
    EXPECT_TRUE(result.input.processes[1].powermetricsGPUFallbackAllocated);
}

TEST(LiveAttributionInputBuilder, TotalPowerAndItsSource) {
    struct Case {
        const char* name;
        bool powermetricsWorks;
        std::optional<std::string> battery;  // absent: ioreg fails
        bool configOnBattery;
        double displayW;
        double expectedTotalW;
        const char* expectedSource;
        bool usedEstimated;
    };
    // Package power 1.5 W; USB 2 devices = 0.9 W.
    const Case cases[] = {
        {"on AC, powermetrics failing", false, chargingBattery, true, 2.5, 3.4,
         "PM-Package+Components", true},
        {"on AC with package power", true, chargingBattery, true, 2.5, 4.9, "PM-Package+Components",
         true},
        {"on battery, measured", true, dischargingAt18W, false, 2.5, 18.0, "IOKit", false},
        {"on battery at 0 W", true, dischargingAt0W, true, 2.5, 0, "none", false},
        {"no battery status, configured for AC", true, std::nullopt, false, 0, 2.4,
         "PM-Package+Components", true},
        {"no battery status, configured for battery", true, std::nullopt, true, 2.5, 0, "none",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        Pass pass;
        pass.displayW = c.displayW;
        if (c.powermetricsWorks) {
            pass.powermetrics(powermetricsText({{50, "task", 10}}, 1500, 0));
        } else {
            pass.shell->answer("/usr/bin/nice", {1, "", "powermetrics: not permitted\n"});
        }
        if (c.battery) pass.battery(*c.battery);
        pass.usbDevices(2);
        const auto result =
            pass.builder().buildWithMetadata({}, {}, configOnBattery(c.configOnBattery));

        EXPECT_NEAR(result.input.totalDischargeW, c.expectedTotalW, 1e-9);
        EXPECT_EQ(result.metadata.usedEstimatedTotalPower, c.usedEstimated);
        EXPECT_EQ(result.metadata.powermetricsCommandOK, c.powermetricsWorks);
        EXPECT_EQ(result.metadata.screenModelAvailable, c.displayW > 0);
        EXPECT_TRUE(result.metadata.usbModelAvailable);
        EXPECT_NEAR(result.input.usbModelW, 0.9, 1e-12);
        EXPECT_EQ(result.batteryStatus.has_value(), c.battery.has_value());
        // The line reports the configuration's flag, whatever the battery decided.
        const std::string line = log.containing("sources ");
        EXPECT_NE(line.find(std::string("sources isOnBattery=") +
                            (c.configOnBattery ? "true" : "false") +
                            ", powerSource=" + c.expectedSource),
                  std::string::npos)
            << line;
        if (!c.powermetricsWorks) {
            EXPECT_NE(log.containing("powermetrics collection failed: powermetrics command "
                                     "failed: powermetrics: not permitted"),
                      "");
        }
    }
}

TEST(LiveAttributionInputBuilder, SamplesProcessesItselfAndSurvivesAFailingPs) {
    Pass pass;
    pass.powermetrics(powermetricsText({{1, "init", 10}}, 10, 0));
    pass.battery(dischargingAt18W);
    pass.usbDevices(0);
    pass.shell->answer("/bin/ps", {0, "    1     0  12.5  0.1 /sbin/init\n", ""});
    const auto result = pass.builder().buildWithMetadata({}, true);
    ASSERT_EQ(result.input.processes.size(), 1u);
    EXPECT_EQ(result.input.processes[0].pid, 1);
    EXPECT_NEAR(*result.input.processes[0].powermetricsPackageW, 0.01, 1e-12);
    EXPECT_TRUE(result.input.developerMode);

    pass.shell->answer("/bin/ps", {1, "", "ps: failed"});
    const auto withoutPs = pass.builder().build({}, false);
    ASSERT_EQ(withoutPs.processes.size(), 0u);  // 0.01 W is not above the threshold
}

TEST(LiveAttributionInputBuilder, TimesEveryStageUnderOneCorrelationID) {
    Pass pass(true);
    pass.powermetrics(powermetricsText({{60, "task", 10}, {61, "other", 30}}, 40, 0));
    pass.battery(dischargingAt18W);
    pass.usbDevices(1);
    pass.builder().buildWithMetadata({sampled(60, "/bin/task")}, {}, configOnBattery(true));
    pass.profiler->flush();

    std::ifstream trace(pass.traceDirectory.string() + "/trace.jsonl");
    std::map<std::string, nlohmann::json> events;
    for (std::string line; std::getline(trace, line);) {
        const auto event = nlohmann::json::parse(line);
        events[event["component"].get<std::string>()] = event;
    }
    const auto& build = events.at("daemon.inputBuilder.build");
    EXPECT_FALSE(build.contains("parentComponent"));
    EXPECT_EQ(build["context"]["processSamples"], "1");
    EXPECT_EQ(build["context"]["samplingMode"], "background");
    EXPECT_EQ(build["context"]["powermetricsParsed"], "2");
    const std::string correlationID = build["correlationID"];
    EXPECT_EQ(correlationID.rfind("input-builder-", 0), 0u);
    for (const char* stage :
         {"daemon.inputBuilder.powermetrics", "daemon.inputBuilder.mergeProcesses",
          "daemon.inputBuilder.batteryStatus", "daemon.inputBuilder.displayEstimate",
          "daemon.inputBuilder.usbEstimate"}) {
        SCOPED_TRACE(stage);
        const auto& event = events.at(stage);
        EXPECT_EQ(event["parentComponent"], "daemon.inputBuilder.build");
        EXPECT_EQ(event["correlationID"], correlationID);
    }
    EXPECT_EQ(events.at("daemon.inputBuilder.powermetrics")["context"]["mode"], "direct");
    EXPECT_EQ(events.at("daemon.inputBuilder.mergeProcesses")["context"]["mergedProcesses"], "2");
    EXPECT_EQ(events.at("daemon.inputBuilder.mergeProcesses")["context"]["powermetricsOnly"], "1");
}

}  // namespace
}  // namespace joulix
