// `joulix sample --json` on a Linux machine without the original platform's tools: inside a
// private mount namespace, fake power_supply, powercap and USB device trees stand over /sys/class
// and /sys/bus, and a writer advances the RAPL counter at a set rate.
#include "FakeMachine.h"

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
    if (!testing::FakeMachine::available()) GTEST_SKIP() << "needs root for a mount namespace";
    testing::FakeMachine machine("");
    const fs::path sys = machine.folder.path() / "sys";
    const std::string battery = "class/power_supply/BAT0/";
    machine.sysFiles(battery, {{"type", "Battery"},
                               {"status", "Discharging"},
                               {"capacity", "61"},
                               {"charge_now", "3000000"},
                               {"charge_full", "5000000"},
                               {"current_now", "1500000"},
                               {"voltage_now", "12000000"}});
    machine.sysFile("class/power_supply/AC/type", "Mains");
    machine.sysFile("class/power_supply/AC/online", "0");
    machine.sysFile("class/powercap/intel-rapl:0:0/name", "core");
    machine.sysFile("class/powercap/intel-rapl:0:0/max_energy_range_uj", "100000000");
    machine.sysFile("class/powercap/intel-rapl:0:0/energy_uj", "90000000");
    for (const auto& [device, deviceClass] : std::map<std::string, std::string>{
             {"usb1", "09"}, {"1-1", "09"}, {"1-1.1", "00"}, {"1-1.1:1.0", "03"}, {"1-2", "ef"}}) {
        machine.sysFile("bus/usb/devices/" + device + "/bDeviceClass", deviceClass);
    }
    const CounterWriter writer(sys / "class/powercap/intel-rapl:0:0");

    const auto runSampleWith = [&](const std::string& arguments) {
        return testing::runCommand(machine.command("sample " + arguments));
    };
    const auto runSample = [&] {
        const auto run = runSampleWith("--json --interval 1");
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
    const auto summary = runSampleWith("--interval 0.5").output;
    for (const auto* line :
         {"Total power   18.00 W (source power_supply)\n", "Power source  battery\n",
          "Battery       61.0 %, discharging at 18.00 W, 120 min remaining (from power_supply)\n",
          "\nPackage       ", " W (from RAPL)\n", "(USB from sysfs)\n"}) {
        EXPECT_NE(summary.find(line), std::string::npos) << line << " in:\n" << summary;
    }

    // On mains: package + display (none here) + two USB devices.
    machine.sysFile("class/power_supply/AC/online", "1");
    machine.sysFile(battery + "status", "Charging");
    machine.sysFile(battery + "current_now", "2000000");
    const auto charging = runSample();
    ASSERT_TRUE(charging.is_object());
    EXPECT_EQ(charging["isOnBatteryPower"], false);
    EXPECT_EQ(charging["batteryStatus"]["isCharging"], true);
    EXPECT_EQ(charging["totalPowerSource"], "RAPL-Package+Components");
    EXPECT_EQ(charging["usbSource"], "sysfs");
    const double packageW = charging["packageW"].get<double>();
    EXPECT_NEAR(packageW, counterWatts, counterWatts * 0.1);
    EXPECT_NEAR(charging["input"]["totalDischargeW"].get<double>(), packageW + 0.9, 1e-9);

    // Supplies that are not the machine's adapter: a tablet's charger (scope Device) while
    // the laptop discharges, then an online wireless charger, which is external power.
    machine.sysFile("class/power_supply/AC/online", "0");
    machine.sysFile(battery + "status", "Discharging");
    machine.sysFile(battery + "current_now", "1500000");
    machine.sysFile("class/power_supply/wacom_ac_0/type", "Mains");
    machine.sysFile("class/power_supply/wacom_ac_0/scope", "Device");
    machine.sysFile("class/power_supply/wacom_ac_0/online", "1");
    const auto tablet = runSample();
    ASSERT_TRUE(tablet.is_object());
    EXPECT_EQ(tablet["isOnBatteryPower"], true);
    EXPECT_EQ(tablet["totalPowerSource"], "power_supply");
    EXPECT_DOUBLE_EQ(tablet["input"]["totalDischargeW"].get<double>(), 18.0);

    machine.sysFile(battery + "status", "Charging");
    machine.sysFile(battery + "current_now", "500000");
    machine.sysFile("class/power_supply/qi/type", "Wireless");
    machine.sysFile("class/power_supply/qi/online", "1");
    const auto wireless = runSample();
    ASSERT_TRUE(wireless.is_object());
    EXPECT_EQ(wireless["isOnBatteryPower"], false);
    EXPECT_EQ(wireless["batteryStatus"]["externalPowerConnected"], true);
    EXPECT_EQ(wireless["totalPowerSource"], "RAPL-Package+Components");

    // A battery that reports its flow but nothing its level can come from: absent, not 0 %.
    fs::remove_all(sys / "class/power_supply/qi");
    for (const char* name : {"capacity", "charge_now", "charge_full"})
        fs::remove(sys / battery / name);
    machine.sysFile(battery + "status", "Discharging");
    machine.sysFile(battery + "current_now", "1500000");
    const auto levelless = runSample();
    ASSERT_TRUE(levelless.is_object());
    EXPECT_FALSE(levelless["batteryStatus"].contains("levelPercent")) << levelless;
    EXPECT_DOUBLE_EQ(levelless["batteryStatus"]["dischargeWatts"].get<double>(), 18.0);
    const auto levellessSummary = runSampleWith("--interval 0.5").output;
    EXPECT_NE(levellessSummary.find("Battery       level not reported, discharging at 18.00 W"),
              std::string::npos)
        << levellessSummary;
}

// A desktop whose RAPL counters only root may read (mode 0400, as since Linux 5.10), sampled by
// another user: package power is absent with its reason, and the total is labelled an estimate.
TEST(SampleCommandOnLinux, RootOnlyCountersAreSaidAndTheTotalIsAnEstimate) {
    if (!testing::FakeMachine::available()) GTEST_SKIP() << "needs root for a mount namespace";
    testing::FakeMachine machine("");
    ::chmod(machine.folder.path().c_str(), 0755);
    machine.sysFiles("", {{"class/power_supply/AC/type", "Mains"},
                          {"class/power_supply/AC/online", "1"},
                          {"class/powercap/intel-rapl:0/name", "package-0"},
                          {"class/powercap/intel-rapl:0/energy_uj", "1000000"},
                          {"bus/usb/devices/1-1/bDeviceClass", "00"},
                          {"bus/usb/devices/1-2/bDeviceClass", "00"}});
    const fs::path counter = machine.folder.path() / "sys/class/powercap/intel-rapl:0/energy_uj";
    fs::permissions(counter, fs::perms::owner_read);
    const auto runAsNobody = [&](const std::string& arguments) {
        return testing::runCommand(machine.inNamespace(
            "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" sample " + arguments));
    };
    const auto run = runAsNobody("--json --interval 0.2");
    if (run.status == 77) GTEST_SKIP() << "bind mounts unavailable";
    ASSERT_EQ(run.status, 0) << run.output;
    const auto json = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(json.is_object()) << run.output;
    EXPECT_TRUE(json["packageW"].is_null());
    EXPECT_EQ(json["packagePowerReason"],
              "RAPL counters are readable only by root on this machine");
    EXPECT_EQ(json["totalPowerSource"], "Estimate-Display+USB");
    EXPECT_EQ(json["totalIsEstimate"], true);
    EXPECT_NEAR(json["input"]["totalDischargeW"].get<double>(), 0.9, 1e-9);

    const auto summary = runAsNobody("--interval 0.2").output;
    for (const auto* line :
         {"Total power   0.90 W (estimate: display and USB only; source Estimate-Display+USB)\n",
          "\npackage power: RAPL counters are readable only by root on this machine\n"}) {
        EXPECT_NE(summary.find(line), std::string::npos) << line << " in:\n" << summary;
    }
    // The victim's counter is as it was.
    EXPECT_EQ(fs::status(counter).permissions(), fs::perms::owner_read);
}

}  // namespace
}  // namespace joulix
