// `joulix sample --json` on a Linux machine without the original platform's tools: inside a
// private mount namespace, fake power_supply, powercap and USB device trees stand over /sys/class
// and /sys/bus, and a writer advances the RAPL counter at a set rate.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

constexpr double counterWatts = 6.0;

// A child that advances the core zone's counter at `counterWatts`, replacing the file whole so
// that no reader sees it half written. The counter wraps at its range as the kernel's does.
struct CounterWriter {
    pid_t pid;
    explicit CounterWriter(const fs::path& zone) : pid(::fork()) {
        if (pid != 0) return;
        const auto start = std::chrono::steady_clock::now();
        const std::string file = (zone / "energy_uj").string();
        const std::string next = file + ".next";
        while (true) {
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            const auto uj =
                static_cast<long long>(90e6 + elapsed.count() * counterWatts * 1e6) % 100'000'000;
            if (FILE* out = std::fopen(next.c_str(), "w")) {
                std::fprintf(out, "%lld\n", uj);
                std::fclose(out);
                std::rename(next.c_str(), file.c_str());
            }
            ::usleep(10'000);
        }
    }
    ~CounterWriter() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

TEST(SampleCommandOnLinux, BatteryPowerSourcePackagePowerAndTotalFromThePlatform) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    const testing::TemporaryDirectory directory;
    const auto write = [&](const std::string& path, const std::string& value) {
        directory.writeFile(path, value + "\n");
    };
    const std::string battery = "class/power_supply/BAT0/";
    for (const auto& [name, value] :
         std::map<std::string, std::string>{{"type", "Battery"},
                                            {"status", "Discharging"},
                                            {"capacity", "61"},
                                            {"charge_now", "3000000"},
                                            {"charge_full", "5000000"},
                                            {"current_now", "1500000"},
                                            {"voltage_now", "12000000"}}) {
        write(battery + name, value);
    }
    write("class/power_supply/AC/type", "Mains");
    write("class/power_supply/AC/online", "0");
    write("class/powercap/intel-rapl:0:0/name", "core");
    write("class/powercap/intel-rapl:0:0/max_energy_range_uj", "100000000");
    write("class/powercap/intel-rapl:0:0/energy_uj", "90000000");
    for (const auto& [device, deviceClass] : std::map<std::string, std::string>{
             {"usb1", "09"}, {"1-1", "09"}, {"1-1.1", "00"}, {"1-1.1:1.0", "03"}, {"1-2", "ef"}}) {
        write("bus/usb/devices/" + device + "/bDeviceClass", deviceClass);
    }
    const CounterWriter writer(directory.path() / "class/powercap/intel-rapl:0:0");

    const auto at = directory.string();
    const auto runSample = [&] {
        const auto run = testing::runCommand(
            "unshare --mount /bin/sh -c 'mount --bind " + at +
            "/class /sys/class && mount --bind " + at +
            "/bus /sys/bus || exit 77; exec \"$0\" sample --json --interval 1' " +
            testing::joulixPath);
        if (run.status == 77) return nlohmann::json("unavailable");
        EXPECT_EQ(run.status, 0) << run.output;
        return nlohmann::json::parse(run.output, nullptr, false);
    };

    const auto discharging = runSample();
    if (discharging == "unavailable") GTEST_SKIP() << "bind mounts unavailable";
    ASSERT_TRUE(discharging.is_object());
    EXPECT_EQ(discharging["isOnBatteryPower"], true);
    EXPECT_EQ(discharging["batteryStatusSource"], "power_supply");
    EXPECT_DOUBLE_EQ(discharging["batteryStatus"]["levelPercent"].get<double>(), 61);
    EXPECT_DOUBLE_EQ(discharging["batteryStatus"]["dischargeWatts"].get<double>(), 18.0);
    EXPECT_EQ(discharging["totalPowerSource"], "power_supply");
    EXPECT_DOUBLE_EQ(discharging["input"]["totalDischargeW"].get<double>(), 18.0);
    EXPECT_EQ(discharging["packagePowerSource"], "RAPL");
    EXPECT_NEAR(discharging["packageW"].get<double>(), counterWatts, counterWatts * 0.1);

    // On mains: package + display (none here) + two USB devices.
    write("class/power_supply/AC/online", "1");
    write(battery + "status", "Charging");
    write(battery + "current_now", "2000000");
    const auto charging = runSample();
    ASSERT_TRUE(charging.is_object());
    EXPECT_EQ(charging["isOnBatteryPower"], false);
    EXPECT_EQ(charging["batteryStatus"]["isCharging"], true);
    EXPECT_EQ(charging["totalPowerSource"], "RAPL-Package+Components");
    EXPECT_EQ(charging["usbSource"], "sysfs");
    const double packageW = charging["packageW"].get<double>();
    EXPECT_NEAR(packageW, counterWatts, counterWatts * 0.1);
    EXPECT_NEAR(charging["input"]["totalDischargeW"].get<double>(), packageW + 0.9, 1e-9);
}

}  // namespace
}  // namespace joulix
