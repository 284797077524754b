// The packaged systemd units are confined: systemd's own assessment rates the daemon's exposure
// at most 1.6 and the system recorder's at most 2.5. The recorder's unit is valid and runs the
// shared recorder from where the install script puts it.
#include "tests/cli/RunJoulix.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace joulix {
namespace {

TEST(ServiceUnitTests, ExposureStaysWithinEachUnitsBound) {
    if (testing::runCommand("command -v systemd-analyze").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const std::pair<std::string, double> units[] = {
        {"joulix-metricsd.service", 1.6},
        {"joulix-recorder.service", 2.5},
    };
    for (const auto& [unit, bound] : units) {
        const auto result = testing::runCommand(
            "systemd-analyze security --offline=true " JOULIX_FIXTURES "/../../packaging/" + unit +
            " 2>&1");
        const std::string marker = "Overall exposure level for " + unit + ": ";
        const auto at = result.output.find(marker);
        ASSERT_NE(at, std::string::npos) << result.output;
        const double exposure = std::stod(result.output.substr(at + marker.size()));
        EXPECT_LE(exposure, bound) << result.output;
    }
}

TEST(ServiceUnitTests, SystemRecorderUnitIsValidAndRecordsTheSharedHistory) {
    namespace fs = std::filesystem;
    std::stringstream unit, script;
    unit << std::ifstream(JOULIX_FIXTURES "/../../packaging/joulix-recorder.service").rdbuf();
    script << std::ifstream(JOULIX_FIXTURES "/../../scripts/install-service.sh").rdbuf();
    EXPECT_NE(unit.str().find("\nExecStart=/usr/local/bin/joulix record --shared\n"),
              std::string::npos);
    EXPECT_NE(script.str().find("/etc/systemd/system/joulix-recorder.service"), std::string::npos);
    EXPECT_NE(script.str().find("systemctl enable --now joulix-recorder.service"),
              std::string::npos);
    if (testing::runCommand("command -v systemd-analyze").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    // Verified with the built joulix in place of the installed one.
    char pattern[] = "/tmp/jlx-recorder-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path copy = fs::path(pattern) / "joulix-recorder.service";
    auto text = unit.str();
    text.replace(text.find("/usr/local/bin/joulix"), 21, testing::joulixPath);
    std::ofstream(copy) << text;
    const auto verified = testing::runCommand("systemd-analyze verify " + copy.string() + " 2>&1");
    fs::remove_all(pattern);
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_EQ(verified.output, "");
}

}  // namespace
}  // namespace joulix
