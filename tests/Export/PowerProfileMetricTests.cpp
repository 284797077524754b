// The exporter names the active power profile of the real power-profiles-daemon, started on a
// private system bus, and leaves the metric out where no service answers.
#include "Export/MetricsExporter.h"
#include "tests/JoulixDaemon/SystemServices.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <gtest/gtest.h>
#include <thread>

namespace joulix {
namespace {

// The textfile after the exporter's first pass (waited for, as a slow build takes longer).
std::string afterOnePass(std::shared_ptr<const PowerProfileService> profiles) {
    const testing::TemporaryDirectory folder;
    const std::string textfile = folder.string() + "/joulix.prom";
    MetricsExporter exporter({.textfile = textfile, .intervalS = 1, .powerProfiles = profiles});
    std::stop_source stop;
    std::thread stopper([&] {
        testing::eventually(30, [&] {
            return testing::readFile(textfile).find("joulix_pass_duration_seconds_count 1\n") !=
                   std::string::npos;
        });
        stop.request_stop();
    });
    exporter.run(stop.get_token());
    stopper.join();
    return testing::readFile(textfile);
}

TEST(PowerProfileMetric, ActiveProfileOfTheRealServiceOrNone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own names and to mount";
    testing::SystemServices services;
    EXPECT_EQ(afterOnePass(busPowerProfileService(services.bus.address))
                  .find("joulix_power_profile_info"),
              std::string::npos);
    ASSERT_TRUE(services.startRealProfileService()) << "power-profiles-daemon did not start";
    const std::string text = afterOnePass(busPowerProfileService(services.bus.address));
    EXPECT_NE(text.find("joulix_power_profile_info{profile=\"balanced\"} 1\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("joulix_pass_duration_seconds_count 1\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace joulix
