#pragma once
// Random snapshot histories for the presentation builders' property tests and benchmarks:
// timestamps 5 s apart with near duplicates and long gaps, processes that come and go (apps,
// their helpers, command-line tools, the monitor itself), hidden workloads and battery levels.
// Seeded, so that a failure repeats.
#include "SharedModels/DrainSnapshot.h"

#include <random>
#include <string>
#include <vector>

namespace joulix::testing {

class HistoryGenerator {
  public:
    // Steady processes run in every snapshot and never report a negative drain.
    explicit HistoryGenerator(unsigned seed, int processCount = 12, bool steadyProcesses = false)
        : random_(seed), steady_(steadyProcesses) {
        for (int i = 0; i < processCount; ++i) {
            const std::string n = std::to_string(i);
            ProcessDrain process{.pid = 100 + i};
            switch (i % 4) {
            case 0:
                process.name = "/Applications/App" + n + ".app/Contents/MacOS/App" + n;
                process.bundleID = "com.example.app" + n;
                break;
            case 1:
                process.name = "/Applications/App" + std::to_string(i - 1) +
                               ".app/Contents/Frameworks/Helper.app/Contents/MacOS/Helper";
                process.parentPID = 100 + i - 1;
                break;
            case 2:
                process.name = "/usr/bin/tool" + n;
                break;
            default:
                process.name = i == 3 ? "joulix-recorder" : "worker" + n;
                break;
            }
            pool_.push_back(process);
        }
    }

    // The next snapshot, dt seconds after the previous one.
    DrainSnapshot next(double dt) {
        now_ += dt;
        DrainSnapshot snapshot{.timestamp = Date::fromTimeIntervalSince1970(1'700'000'000 + now_)};
        double sum = 0;
        for (const auto& candidate : pool_) {
            if (!steady_ && uniform(0, 1) < 0.2) continue;  // not running now
            ProcessDrain process = candidate;
            process.drainW = !steady_ && uniform(0, 1) < 0.05 ? -0.1 : uniform(0.05, 4);
            sum += std::max(process.drainW, 0.0);
            snapshot.processes.push_back(std::move(process));
        }
        snapshot.components.screenW = uniform(0, 3);
        snapshot.components.usbW = uniform(0, 0.5);
        snapshot.components.cpuW = uniform(0, 5);
        snapshot.unattributedW = uniform(-0.2, 2);
        snapshot.totalDischargeW = sum + snapshot.components.displayPlusUsbW() + uniform(0, 3);
        if (uniform(0, 1) < 0.5) {
            snapshot.hidden.push_back({HiddenDrainKind::dockerContainer, "db", uniform(0, 2)});
        }
        if (uniform(0, 1) < 0.3) {
            snapshot.hidden.push_back({HiddenDrainKind::launchdService, "backup", uniform(0, 1)});
        }
        if (uniform(0, 1) < 0.9) {
            level_ = std::max(level_ - uniform(0, 0.05), 1.0);
            snapshot.powerContext = PowerUsageContext{.onBatteryPower = uniform(0, 1) < 0.7,
                                                      .batteryLevelPercent = level_};
        }
        return snapshot;
    }

    // A gap: mostly 5 s, sometimes a near duplicate, sometimes minutes or half an hour.
    double gap() {
        const double roll = uniform(0, 1);
        if (roll < 0.08) return 0.2;
        if (roll < 0.12) return 120;
        if (roll < 0.14) return 1800;
        return 5;
    }

    std::vector<DrainSnapshot> history(int count) {
        std::vector<DrainSnapshot> snapshots;
        for (int i = 0; i < count; ++i)
            snapshots.push_back(next(i == 0 ? 0 : gap()));
        return snapshots;
    }

    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }
    int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }

  private:
    std::mt19937 random_;
    bool steady_;
    std::vector<ProcessDrain> pool_;
    double now_ = 0;
    double level_ = 100;
};

}  // namespace joulix::testing
