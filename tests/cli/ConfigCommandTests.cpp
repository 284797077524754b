#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

std::string runJoulix(const std::string& arguments) {
    const std::string command =
        "env -u XDG_DATA_HOME HOME=/home/someone " JOULIX_BINARY_DIR "/cli/joulix " + arguments;
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0);
    return output;
}

TEST(ConfigCommand, PrintsDerivedIdentifiersAndStandardSamplingConfig) {
    const auto json = nlohmann::json::parse(runJoulix("config"));
    EXPECT_EQ(json["daemonBundleIdentifier"], "com.joulix.metricsd");
    EXPECT_EQ(json["daemonPlistName"], "com.joulix.metricsd.plist");
    EXPECT_EQ(json["loggingSubsystem"], "com.joulix.runtime");
    EXPECT_EQ(json["sharedDatabasePath"], "/Users/Shared/Joulix/battery_history.sqlite");
    EXPECT_EQ(json["localDatabasePath"],
              "/home/someone/.local/share/Joulix/battery_history.sqlite");
    EXPECT_EQ(json["samplingConfig"]["samplingMode"], "background");
    EXPECT_EQ(json["samplingConfig"].size(), 11u);
}

}  // namespace
