// The packaged exporter unit is confined: systemd's own assessment rates its exposure 2.5 or
// less, and it runs the exporter from where the install puts joulix.
#include "tests/cli/RunJoulix.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace joulix {
namespace {

TEST(ExporterServiceUnit, ExposureIsAtMostTwoAndAHalf) {
    const std::string unit = JOULIX_FIXTURES "/../../packaging/joulix-exporter.service";
    std::stringstream text;
    text << std::ifstream(unit).rdbuf();
    EXPECT_NE(text.str().find("\nExecStart=/usr/local/bin/joulix export "), std::string::npos);
    if (testing::runCommand("command -v systemd-analyze").status != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    const auto result =
        testing::runCommand("systemd-analyze security --offline=true " + unit + " 2>&1");
    const std::string marker = "Overall exposure level for joulix-exporter.service: ";
    const auto at = result.output.find(marker);
    ASSERT_NE(at, std::string::npos) << result.output;
    EXPECT_LE(std::stod(result.output.substr(at + marker.size())), 2.5) << result.output;
}

}  // namespace
}  // namespace joulix
