#include "MetricsCollectors/BatteryDrainEstimator.h"
#include "MetricsCollectors/DisplayPowerEstimator.h"
#include "MetricsCollectors/USBPowerEstimator.h"

#include "ScriptedShellRunner.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace joulix {
namespace {

std::string deviceListing(int devices) {
    std::string out =
        "USB:\n\n    USB 3.1 Bus:\n\n      Host Controller Driver: AppleT8112USBXHCI\n";
    for (int i = 0; i < devices; ++i) {
        out += "\n        Device " + std::to_string(i) + ":\n\n          Product ID: 0x000" +
               std::to_string(i % 10) + "\n          Vendor ID: 0x2e8a\n";
    }
    return out;
}

TEST(USBPowerEstimator, WattsPerListedDevice) {
    const struct {
        int devices;
        double watts;
    } cases[] = {{0, 0}, {3, 1.35}, {20, 9.0}, {25, 9.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devices);
        auto shell = std::make_shared<testing::ScriptedShellRunner>();
        shell->answer("/usr/sbin/system_profiler", {0, deviceListing(c.devices), ""});
        EXPECT_NEAR(USBPowerEstimator(shell).estimateWatts(), c.watts, 1e-12);
        EXPECT_EQ(shell->calls().at(0).arguments,
                  (std::vector<std::string>{"SPUSBDataType", "-detailLevel", "mini"}));
    }
}

TEST(USBPowerEstimator, AFailingToolGivesHalfAWatt) {
    auto failing = std::make_shared<testing::ScriptedShellRunner>();
    failing->answer("/usr/sbin/system_profiler", {1, deviceListing(3), ""});
    EXPECT_EQ(USBPowerEstimator(failing).estimateWatts(), 0.5);
    EXPECT_EQ(USBPowerEstimator(std::make_shared<testing::ScriptedShellRunner>()).estimateWatts(),
              0.5);
}

TEST(BatteryDrainEstimator, EstimatesWithinItsBounds) {
    const BatteryDrainEstimator estimator;
    EXPECT_NEAR(estimator.estimateTotalDischargeW({50, 30, -5}), 20.0, 1e-12);
    EXPECT_EQ(estimator.estimateTotalDischargeW({400, 400}), 65.0);
    EXPECT_EQ(estimator.estimateTotalDischargeW({}), 2.4);
    EXPECT_EQ(estimator.estimateTotalDischargeW({-10}), 2.4);
    EXPECT_EQ(estimator.estimateTotalDischargeW({std::nan("")}), 2.4);
}

class FixedDisplayReading final : public SMCDisplayPowerReading {
  public:
    explicit FixedDisplayReading(std::optional<double> watts) : watts_(watts) {}
    std::optional<double> readDisplayPowerWatts() override { return watts_; }

  private:
    std::optional<double> watts_;
};

TEST(DisplayPowerEstimator, OnlyANonNegativeReadingCounts) {
    const auto estimate = [](std::optional<double> watts) {
        return DisplayPowerEstimator(nullptr, std::make_shared<FixedDisplayReading>(watts))
            .estimateWatts();
    };
    EXPECT_EQ(estimate(3.25), 3.25);
    EXPECT_EQ(estimate(0.0), 0);
    EXPECT_EQ(estimate(-1.0), 0);
    EXPECT_EQ(estimate(std::nullopt), 0);
    EXPECT_EQ(estimate(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(DisplayPowerEstimator().estimateWatts(), 0);  // no controller on this machine
}

}  // namespace
}  // namespace joulix
