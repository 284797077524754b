// `joulix sample --json` end to end: inside a private mount namespace, stand-in powermetrics,
// ioreg and system_profiler print fixture outputs at their real paths (an overlay over /usr/bin
// and /usr/sbin); ps and the process table are the machine's own.
#include "FakeMachine.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

const nlohmann::json* process(const nlohmann::json& result, int pid) {
    for (const auto& sample : result["input"]["processes"]) {
        if (sample["pid"] == pid) return &sample;
    }
    return nullptr;
}

TEST(SampleCommandEndToEnd, ProcessesCarryPackageWattsAndTheTotalFollowsThePowerSource) {
    if (!testing::FakeMachine::available()) GTEST_SKIP() << "needs root for a mount namespace";
    testing::FakeMachine machine;
    const testing::ChildProcess sleeping({"sleep", "60"});  // ps lists it while the pass runs
    int ghostPID = 0;
    std::ifstream("/proc/sys/kernel/pid_max") >> ghostPID;
    ghostPID += 7;
    // The task table: the sleeper, a process only powermetrics sees and one too small to count,
    // sharing 2.4 W of CPU package power by CPU time.
    std::string tasks =
        "*** Running tasks ***\n\nName                 ID        CPU ms/s  GPU ms/s\n";
    char line[128];
    for (const auto& [name, pid, cpu] : {std::tuple{"sleep", sleeping.pid(), 120.0},
                                         {"ghost-task", ghostPID, 360.0},
                                         {"tiny-task", ghostPID + 1, 0.004}}) {
        std::snprintf(line, sizeof line, "  %-19s%-10d%-10.3f%-10.3f\n", name, pid, cpu, 0.0);
        tasks += line;
    }
    machine.standIn("/usr/bin/powermetrics",
                    "cat <<'END'\n" + tasks +
                        "\n**** Processor usage ****\n\nCPU Power: 2400 mW\n"
                        "GPU Power: 0 mW\nSystem Average Power: 9.5 W\nEND\n");
    machine.standIn("/usr/sbin/system_profiler",
                    "cat <<'END'\nUSB:\n    Product ID: 0x0005\n    Product ID: 0x0006\nEND\n");
    const auto runSample = [&](const std::string& ioregFixture) {
        machine.standIn("/usr/sbin/ioreg",
                        "exec cat '" JOULIX_FIXTURES "/ioreg/" + ioregFixture + "'\n");
        const auto run = testing::runCommand(machine.command("sample --json"));
        if (run.status == 77) return nlohmann::json("unavailable");
        EXPECT_EQ(run.status, 0) << run.output;
        return nlohmann::json::parse(run.output, nullptr, false);
    };

    const auto result = runSample("apple-silicon-discharging.plist");
    if (result == "unavailable") GTEST_SKIP() << "overlay mounts unavailable";
    ASSERT_TRUE(result.is_object());

    const double taskTotal = 120 + 360 + 0.004;
    const auto* sleeper = process(result, sleeping.pid());
    ASSERT_NE(sleeper, nullptr);
    EXPECT_NEAR((*sleeper)["powermetricsPackageW"].get<double>(), 2.4 * 120 / taskTotal, 1e-9);
    EXPECT_EQ((*sleeper)["parentPID"], getpid());  // sampled by ps, then enriched
    const auto* ghost = process(result, ghostPID);
    ASSERT_NE(ghost, nullptr);
    EXPECT_EQ((*ghost)["name"], "ghost-task");
    EXPECT_NEAR((*ghost)["powermetricsPackageW"].get<double>(), 2.4 * 360 / taskTotal, 1e-9);
    EXPECT_FALSE(ghost->contains("parentPID"));
    EXPECT_EQ(process(result, ghostPID + 1), nullptr);

    EXPECT_EQ(result["metadata"], nlohmann::json::parse(R"({
        "powermetricsCommandOK": true, "powermetricsParsedProcessCount": 3,
        "powermetricsHasPackagePower": true, "powermetricsHasSystemPower": true,
        "usedEstimatedTotalPower": false, "screenModelAvailable": false,
        "usbModelAvailable": true})"));
    EXPECT_DOUBLE_EQ(result["batteryStatus"]["dischargeWatts"].get<double>(), 18.0);
    EXPECT_DOUBLE_EQ(result["input"]["totalDischargeW"].get<double>(), 18.0);
    EXPECT_NEAR(result["input"]["usbModelW"].get<double>(), 0.9, 1e-12);

    // On external power: USB 0.9 W + display 0 W (no SMC here) + package 2.4 W.
    const auto charging = runSample("apple-silicon-charging.plist");
    ASSERT_TRUE(charging.is_object());
    EXPECT_EQ(charging["metadata"]["usedEstimatedTotalPower"], true);
    EXPECT_EQ(charging["batteryStatus"]["isCharging"], true);
    EXPECT_NEAR(charging["input"]["totalDischargeW"].get<double>(), 3.3, 1e-9);
}

}  // namespace
}  // namespace joulix
