// `joulix sample --json` end to end: inside a private mount namespace, stand-in powermetrics,
// ioreg and system_profiler print fixture outputs at their real paths (an overlay over /usr/bin
// and /usr/sbin); ps and the process table are the machine's own.
#include "RunJoulix.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Exit status of the entry script when the overlay cannot be mounted.
constexpr int namespaceUnavailable = 77;

const char* enterScript = R"(#!/bin/sh
# Shows tools/<dir>/* inside <dir> for /usr/bin and /usr/sbin, then runs the command line.
here=$(dirname "$0")
for target in /usr/bin /usr/sbin; do
    mkdir -p "$here/work$target"
    mount -t overlay overlay \
        -o "lowerdir=$target,upperdir=$here/tools$target,workdir=$here/work$target" "$target" \
        || exit 77
done
exec "$@"
)";

class SampleCommandEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
        std::random_device random;
        directory_ = fs::temp_directory_path() / ("joulix-sample-" + std::to_string(random()));
        fs::create_directories(directory_ / "tools/usr/bin");
        fs::create_directories(directory_ / "tools/usr/sbin");
        write("enter.sh", enterScript, false);

        // A process that ps lists while the pass runs.
        char sleepPath[] = "/bin/sleep";
        char seconds[] = "60";
        char* arguments[] = {sleepPath, seconds, nullptr};
        ASSERT_EQ(posix_spawn(&sleeper_, sleepPath, nullptr, nullptr, arguments, environ), 0);
        std::ifstream("/proc/sys/kernel/pid_max") >> pidMax_;
    }

    void TearDown() override {
        if (sleeper_ > 0) {
            kill(sleeper_, SIGKILL);
            waitpid(sleeper_, nullptr, 0);
        }
        std::error_code ignored;
        if (!directory_.empty()) fs::remove_all(directory_, ignored);
    }

    void write(const std::string& relativePath, const std::string& contents, bool isFixture) {
        std::ofstream(directory_ / relativePath) << contents;
        if (!isFixture) fs::permissions(directory_ / relativePath, fs::perms::owner_all);
    }

    // A stand-in tool at `path` that prints the file `output`.
    void standIn(const std::string& path, const std::string& output) {
        write("tools" + path, "#!/bin/sh\nexec cat '" + (directory_ / output).string() + "'\n",
              false);
    }

    // The powermetrics task table: the sleeper, a process only powermetrics sees and one too
    // small to count; 2.4 W of CPU package power shared by CPU time.
    std::string powermetricsOutput() const {
        std::string text = "*** Running tasks ***\n\nName                 ID        CPU ms/s  "
                           "GPU ms/s\n";
        char line[128];
        const auto row = [&](const char* name, long long pid, double cpu) {
            std::snprintf(line, sizeof line, "  %-19s%-10lld%-10.3f%-10.3f\n", name, pid, cpu, 0.0);
            text += line;
        };
        row("sleep", sleeper_, 120);
        row("ghost-task", ghostPID(), 360);
        row("tiny-task", ghostPID() + 1, 0.004);
        return text + "\n**** Processor usage ****\n\nCPU Power: 2400 mW\nGPU Power: 0 mW\n"
                      "System Average Power: 9.5 W\n";
    }
    long long ghostPID() const { return pidMax_ + 7; }

    // Runs `joulix sample --json` in the namespace with `ioregFixture` as the battery listing.
    nlohmann::json runSample(const std::string& ioregFixture) {
        write("powermetrics.txt", powermetricsOutput(), true);
        write("usb.txt", "USB:\n    Product ID: 0x0005\n    Product ID: 0x0006\n", true);
        fs::copy_file(std::string(JOULIX_FIXTURES) + "/ioreg/" + ioregFixture,
                      directory_ / "ioreg.plist", fs::copy_options::overwrite_existing);
        standIn("/usr/bin/powermetrics", "powermetrics.txt");
        standIn("/usr/sbin/ioreg", "ioreg.plist");
        standIn("/usr/sbin/system_profiler", "usb.txt");

        const auto run = joulix::testing::runCommand(
            "unshare --mount /bin/sh '" + (directory_ / "enter.sh").string() + "' '" +
            joulix::testing::joulixPath + "' sample --json");
        if (run.status == namespaceUnavailable) {
            unavailable_ = true;
            return nullptr;
        }
        EXPECT_EQ(run.status, 0) << run.output;
        return nlohmann::json::parse(run.output, nullptr, false);
    }

    const nlohmann::json* process(const nlohmann::json& result, long long pid) const {
        for (const auto& sample : result["input"]["processes"]) {
            if (sample["pid"] == pid) return &sample;
        }
        return nullptr;
    }

    fs::path directory_;
    pid_t sleeper_ = 0;
    long long pidMax_ = 0;
    bool unavailable_ = false;
};

TEST_F(SampleCommandEndToEnd, OnBatteryTheTotalIsTheMeasuredDischarge) {
    const auto result = runSample("apple-silicon-discharging.plist");
    if (unavailable_) GTEST_SKIP() << "overlay mounts unavailable";
    ASSERT_TRUE(result.is_object());

    const double taskTotal = 120 + 360 + 0.004;
    const auto* sleeper = process(result, sleeper_);
    ASSERT_NE(sleeper, nullptr);
    EXPECT_NEAR((*sleeper)["powermetricsPackageW"].get<double>(), 2.4 * 120 / taskTotal, 1e-9);
    EXPECT_EQ((*sleeper)["parentPID"], getpid());  // sampled by ps, then enriched
    const auto* ghost = process(result, ghostPID());
    ASSERT_NE(ghost, nullptr);
    EXPECT_EQ((*ghost)["name"], "ghost-task");
    EXPECT_NEAR((*ghost)["powermetricsPackageW"].get<double>(), 2.4 * 360 / taskTotal, 1e-9);
    EXPECT_FALSE(ghost->contains("parentPID"));
    EXPECT_EQ(process(result, ghostPID() + 1), nullptr);

    const auto& metadata = result["metadata"];
    EXPECT_EQ(metadata["powermetricsCommandOK"], true);
    EXPECT_EQ(metadata["powermetricsParsedProcessCount"], 3);
    EXPECT_EQ(metadata["powermetricsHasPackagePower"], true);
    EXPECT_EQ(metadata["powermetricsHasSystemPower"], true);
    EXPECT_EQ(metadata["usedEstimatedTotalPower"], false);
    EXPECT_EQ(metadata["screenModelAvailable"], false);
    EXPECT_EQ(metadata["usbModelAvailable"], true);
    EXPECT_DOUBLE_EQ(result["batteryStatus"]["dischargeWatts"].get<double>(), 18.0);
    EXPECT_DOUBLE_EQ(result["input"]["totalDischargeW"].get<double>(), 18.0);
    EXPECT_NEAR(result["input"]["usbModelW"].get<double>(), 0.9, 1e-12);
}

TEST_F(SampleCommandEndToEnd, OnExternalPowerTheTotalIsAssembledFromComponents) {
    const auto result = runSample("apple-silicon-charging.plist");
    if (unavailable_) GTEST_SKIP() << "overlay mounts unavailable";
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result["metadata"]["usedEstimatedTotalPower"], true);
    EXPECT_EQ(result["batteryStatus"]["isCharging"], true);
    // USB 0.9 W + display 0 W (no SMC here) + package 2.4 W.
    EXPECT_NEAR(result["input"]["totalDischargeW"].get<double>(), 3.3, 1e-9);
}

}  // namespace
