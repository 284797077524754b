// The packaged systemd unit is confined: systemd's own assessment rates its exposure 4.0 or less.
#include "tests/cli/RunJoulix.h"

#include <gtest/gtest.h>
#include <string>

namespace joulix {
namespace {

TEST(ServiceUnitTests, ExposureIsAtMostFour) {
    if (testing::runCommand("command -v systemd-analyze").status != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const auto result =
        testing::runCommand("systemd-analyze security --offline=true " JOULIX_FIXTURES
                            "/../../packaging/joulix-metricsd.service 2>&1");
    const std::string marker = "Overall exposure level for joulix-metricsd.service: ";
    const auto at = result.output.find(marker);
    ASSERT_NE(at, std::string::npos) << result.output;
    const double exposure = std::stod(result.output.substr(at + marker.size()));
    EXPECT_LE(exposure, 4.0) << result.output;
}

}  // namespace
}  // namespace joulix
