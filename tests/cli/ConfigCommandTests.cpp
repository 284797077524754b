#include "RunJoulix.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

TEST(ConfigCommand, PrintsDerivedIdentifiersAndStandardSamplingConfig) {
    const auto run = testing::runCommand("env -u XDG_DATA_HOME -u JLX_SHARED_ROOT "
                                         "HOME=/home/someone " +
                                         testing::joulixPath + " config");
    ASSERT_EQ(run.status, 0);
    const auto json = nlohmann::json::parse(run.output);
    EXPECT_EQ(json["daemonBundleIdentifier"], "com.joulix.metricsd");
    EXPECT_EQ(json["daemonPlistName"], "com.joulix.metricsd.plist");
    EXPECT_EQ(json["loggingSubsystem"], "com.joulix.runtime");
    EXPECT_EQ(json["sharedDatabasePath"], "/Users/Shared/Joulix/battery_history.sqlite");
    const auto elsewhere =
        testing::runCommand("env JLX_SHARED_ROOT=/srv/shared " + testing::joulixPath + " config");
    EXPECT_EQ(nlohmann::json::parse(elsewhere.output)["sharedDatabasePath"],
              "/srv/shared/Joulix/battery_history.sqlite");
    EXPECT_EQ(json["localDatabasePath"],
              "/home/someone/.local/share/Joulix/battery_history.sqlite");
    EXPECT_EQ(json["samplingConfig"]["samplingMode"], "background");
    EXPECT_EQ(json["samplingConfig"].size(), 11u);
}

}  // namespace
}  // namespace joulix
