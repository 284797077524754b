// One whole sampling pass (ps, powermetrics, ioreg, system_profiler, merge) with stand-in tools
// that print fixture outputs: our own CPU time (getrusage RUSAGE_SELF, every thread of this
// process) beside the CPU time of the child processes (RUSAGE_CHILDREN) in the same run.
// Target: our share at most 10 % of the pass's CPU time. The second benchmark runs the pass as
// on a Linux machine without those tools: the real ps, the recent-CPU tracker over /proc, and
// the battery, energy counters and USB devices from a fake sysfs tree; once over this machine's
// process table as it is, once with idle processes added up to a desktop's (about 370), since
// ps costs far more per process than the pass does and the pass's own work is largely per run.
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "Platform/linux/PowercapEnergyChannels.h"
#include "Platform/linux/SysfsPowerSources.h"

#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Runs the stand-in of a tool wherever the tool's path appears as the executable or an argument.
class StandInShellRunner final : public joulix::ShellRunning {
  public:
    std::map<std::string, std::string> standIns;

    joulix::ShellResult run(const std::string& executable,
                            const std::vector<std::string>& arguments) const override {
        std::vector<std::string> mapped;
        for (const auto& argument : arguments)
            mapped.push_back(replaced(argument));
        return runner_.run(replaced(executable), mapped);
    }

  private:
    std::string replaced(const std::string& path) const {
        const auto found = standIns.find(path);
        return found == standIns.end() ? path : found->second;
    }
    joulix::DefaultShellRunner runner_;
};

// A task table of `tasks` rows with package power lines, as powermetrics prints it.
std::string powermetricsOutput(int tasks) {
    std::string text =
        "*** Running tasks ***\n\nName                 ID        CPU ms/s  GPU ms/s\n";
    char line[128];
    for (int i = 0; i < tasks; ++i) {
        std::snprintf(line, sizeof line, "  %-19s%-10d%-10.2f%-10.2f\n",
                      ("task-" + std::to_string(i)).c_str(), 100000 + i, 1.0 + i % 37, 0.0);
        text += line;
    }
    return text + "\n**** Processor usage ****\n\nCPU Power: 2400 mW\nGPU Power: 310 mW\n";
}

struct StandIns {
    fs::path directory = fs::temp_directory_path() / ("joulix-bench-" + std::to_string(getpid()));
    std::shared_ptr<StandInShellRunner> shell = std::make_shared<StandInShellRunner>();

    StandIns() {
        fs::create_directories(directory);
        std::ofstream(directory / "powermetrics.txt") << powermetricsOutput(400);
        std::ofstream(directory / "usb.txt") << "USB:\n    Product ID: 0x0005\n";
        fs::copy_file(std::string(JOULIX_FIXTURES) + "/ioreg/apple-silicon-discharging.plist",
                      directory / "ioreg.plist", fs::copy_options::overwrite_existing);
        add("/usr/bin/powermetrics", "powermetrics.txt");
        add("/usr/sbin/ioreg", "ioreg.plist");
        add("/usr/sbin/system_profiler", "usb.txt");
    }
    ~StandIns() {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    void add(const std::string& tool, const std::string& output) {
        const auto script = directory / fs::path(tool).filename();
        std::ofstream(script) << "#!/bin/sh\nexec cat '" << (directory / output).string() << "'\n";
        fs::permissions(script, fs::perms::owner_all);
        shell->standIns[tool] = script.string();
    }

    joulix::LiveAttributionInputBuilder builder() const {
        joulix::PowermetricsCollector powermetrics(shell);
        powermetrics.effectiveUserID = [] { return 0u; };  // nice, not sudo
        return {joulix::ProcessSampler(shell), powermetrics, joulix::DisplayPowerEstimator(shell),
                joulix::USBPowerEstimator(shell), joulix::BatteryStatusCollector(shell)};
    }
};

double cpuMilliseconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::map<std::string, double> sharePercentByPass;

// Passes of `builder`, our CPU time beside the children's.
void measurePasses(benchmark::State& state, const std::string& pass,
                   const joulix::LiveAttributionInputBuilder& builder) {
    builder.buildWithMetadata({}, false);  // warms the metadata cache, as a running monitor has

    const double selfBefore = cpuMilliseconds(RUSAGE_SELF);
    const double childrenBefore = cpuMilliseconds(RUSAGE_CHILDREN);
    int64_t processes = 0;
    for (auto _ : state) {
        const auto result = builder.buildWithMetadata({}, false);
        processes = static_cast<int64_t>(result.input.processes.size());
        benchmark::DoNotOptimize(result);
    }
    const double passes = static_cast<double>(state.iterations());
    const double ours = (cpuMilliseconds(RUSAGE_SELF) - selfBefore) / passes;
    const double children = (cpuMilliseconds(RUSAGE_CHILDREN) - childrenBefore) / passes;
    const double share = ours / (ours + children) * 100.0;
    sharePercentByPass[pass] = share;
    state.counters["ourCPUms"] = ours;
    state.counters["childCPUms"] = children;
    state.counters["ourSharePercent"] = share;
    state.counters["processes"] = static_cast<double>(processes);
}

void BM_SamplingPass(benchmark::State& state) {
    const StandIns standIns;
    measurePasses(state, "stand-in tools", standIns.builder());
}
BENCHMARK(BM_SamplingPass)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// `count` idle child processes while it lives; each is ended and reaped by its pid.
class IdleProcesses {
  public:
    explicit IdleProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::pause();
                ::_exit(0);
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~IdleProcesses() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    IdleProcesses(const IdleProcesses&) = delete;
    IdleProcesses& operator=(const IdleProcesses&) = delete;

  private:
    std::vector<pid_t> pids_;
};

// Processes on a desktop: the machine's own, topped up to this with idle ones.
constexpr int desktopProcessCount = 370;

int runningProcessCount() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        count += !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    }
    return count;
}

void BM_SamplingPassLinuxSources(benchmark::State& state) {
    const bool desktopTable = state.range(0) != 0;
    const IdleProcesses idle(desktopTable ? std::max(0, desktopProcessCount - runningProcessCount())
                                          : 0);
    const StandIns standIns;
    const auto sys = standIns.directory / "sys";
    const auto write = [&](const std::string& path, const std::string& value) {
        fs::create_directories((sys / path).parent_path());
        std::ofstream(sys / path) << value << "\n";
    };
    // Each supply as the kernel shows it: a file per property, and all of them in its uevent.
    const auto supply = [&](const std::string& name,
                            const std::map<std::string, std::string>& properties) {
        std::string uevent = "POWER_SUPPLY_NAME=" + name + "\n";
        for (const auto& [property, value] : properties) {
            write("class/power_supply/" + name + "/" + property, value);
            std::string key = property;
            for (char& c : key)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            uevent += "POWER_SUPPLY_" + key + "=" + value + "\n";
        }
        std::ofstream(sys / "class/power_supply" / name / "uevent") << uevent;
    };
    supply("BAT0", {{"type", "Battery"},
                    {"status", "Discharging"},
                    {"present", "1"},
                    {"capacity", "55"},
                    {"energy_now", "30000000"},
                    {"energy_full", "50000000"},
                    {"energy_full_design", "57000000"},
                    {"power_now", "9000000"},
                    {"voltage_min_design", "11400000"},
                    {"voltage_now", "12000000"},
                    {"cycle_count", "120"},
                    {"model_name", "5B10W13930"},
                    {"serial_number", "2345"}});
    supply("AC", {{"type", "Mains"}, {"online", "0"}});
    for (const auto& [zone, name] :
         std::map<std::string, std::string>{{"intel-rapl:0", "package-0"},
                                            {"intel-rapl:0:0", "core"},
                                            {"intel-rapl:0:2", "dram"}}) {
        write("class/powercap/" + zone + "/name", name);
        write("class/powercap/" + zone + "/energy_uj", "1000");
    }
    write("bus/usb/devices/1-1/bDeviceClass", "00");

    auto builder = joulix::LiveAttributionInputBuilder::withPlatformSources(
        std::make_shared<joulix::DefaultShellRunner>());
    builder.batteryReader = std::make_shared<joulix::DirectBatteryStatusReader>(
        std::make_shared<joulix::SysfsPowerSources>(sys.string()));
    builder.energyReader = std::make_shared<joulix::AppleSiliconPowerReader>(
        std::make_shared<joulix::PowercapEnergyChannels>(sys.string()));
    builder.usbEstimator.sysRoot = sys.string();
    measurePasses(state,
                  desktopTable ? "Linux sources, a desktop's process table"
                               : "Linux sources, this machine's process table",
                  builder);
}
BENCHMARK(BM_SamplingPassLinuxSources)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
    const joulix::bench::PrivateSharedRoot sharedRoot;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [pass, share] : sharePercentByPass) {
        std::printf("%s: our share of the pass's CPU time: %.1f %% (target: at most 10 %%)\n",
                    pass.c_str(), share);
    }
    return 0;
}
