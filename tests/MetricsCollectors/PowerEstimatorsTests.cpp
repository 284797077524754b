#include "MetricsCollectors/BatteryDrainEstimator.h"
#include "MetricsCollectors/DisplayPowerEstimator.h"
#include "MetricsCollectors/USBPowerEstimator.h"

#include "TestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <tuple>

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

TEST(USBPowerEstimator, WattsPerListedDeviceOrHalfAWattWhenTheToolFails) {
    // status, devices, watts
    const std::tuple<int, int, double> cases[] = {
        {0, 0, 0}, {0, 3, 1.35}, {0, 20, 9.0}, {0, 25, 9.0}, {1, 3, 0.5}};
    for (const auto& [status, devices, watts] : cases) {
        auto shell = testing::scriptedShell();
        shell->answer("/usr/sbin/system_profiler", {status, deviceListing(devices), ""});
        EXPECT_NEAR(USBPowerEstimator(shell).estimateWatts(), watts, 1e-12) << devices;
        EXPECT_EQ(shell->calls().at(0).arguments,
                  (std::vector<std::string>{"SPUSBDataType", "-detailLevel", "mini"}));
    }
    EXPECT_EQ(USBPowerEstimator(testing::scriptedShell(), "/nonexistent").estimateWatts(), 0.5);
}

// Without the tool, the platform's USB devices count: devices, not their interfaces, root hubs
// or hubs.
TEST(USBPowerEstimator, CountsThePlatformsDevicesWhenTheToolIsAbsent) {
    testing::TemporaryDirectory sys;
    const auto entry = [&](const std::string& name, const std::string& deviceClass) {
        sys.writeFile("bus/usb/devices/" + name + "/bDeviceClass", deviceClass + "\n");
    };
    entry("usb1", "09");
    entry("1-1", "09");  // a hub
    entry("1-1.1", "00");
    entry("1-1.1:1.0", "03");
    entry("1-1.2", "ef");
    entry("2-3", "00");
    const USBPowerEstimator estimator(testing::scriptedShell(), sys.string());
    EXPECT_EQ(estimator.estimate(), (USBPowerEstimate{3 * 0.45, "sysfs"}));
    auto failing = testing::scriptedShell();
    failing->answer("/usr/sbin/system_profiler", {1, "", ""});
    EXPECT_EQ(USBPowerEstimator(failing, sys.string()).estimate(),
              (USBPowerEstimate{0.5, "default"}));
}

TEST(BatteryDrainEstimator, EstimatesWithinItsBounds) {
    const BatteryDrainEstimator estimator;
    EXPECT_NEAR(estimator.estimateTotalDischargeW({50, 30, -5}), 20.0, 1e-12);
    EXPECT_EQ(estimator.estimateTotalDischargeW({400, 400}), 65.0);
    EXPECT_EQ(estimator.estimateTotalDischargeW({}), 2.4);
    EXPECT_EQ(estimator.estimateTotalDischargeW({-10}), 2.4);
    EXPECT_EQ(estimator.estimateTotalDischargeW({std::nan("")}), 2.4);
}

TEST(DisplayPowerEstimator, OnlyANonNegativeReadingCounts) {
    const auto estimate = [](std::optional<double> watts) {
        return DisplayPowerEstimator(nullptr, std::make_shared<testing::FixedDisplayReading>(watts))
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
