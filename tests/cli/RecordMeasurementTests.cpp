// What `joulix record` says it can measure, on fake machines: inside a private mount namespace
// fake power_supply and powercap trees stand over /sys/class, and /sys/bus has no USB bus.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace joulix {
namespace {

TEST(RecordMeasurement, FirstLineSaysWhatThisMachineMeasuresAndNothingMeasuredIsSaidOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;  // under the fake /sys
        const char* measures;                      // after "every 1 s: "
        bool measuresNothing;
    };
    const std::map<std::string, std::string> laptop{
        {"class/power_supply/AC/type", "Mains"},
        {"class/power_supply/AC/online", "0"},
        {"class/power_supply/BAT0/type", "Battery"},
        {"class/power_supply/BAT0/status", "Discharging"},
        {"class/power_supply/BAT0/capacity", "50"},
        {"class/power_supply/BAT0/power_now", "9000000"},
        {"class/powercap/intel-rapl:0/name", "package-0"},
        {"class/powercap/intel-rapl:0/energy_uj", "1000"},
        {"bus/pci/.keep", ""}};
    const std::map<std::string, std::string> desktop{{"class/power_supply/AC/type", "Mains"},
                                                     {"class/power_supply/AC/online", "1"},
                                                     {"class/powercap/.keep", ""},
                                                     {"bus/pci/.keep", ""}};
    const Case cases[] = {
        {"a laptop with RAPL", laptop,
         "battery discharge (power_supply) on battery; RAPL package power plus display and USB "
         "estimates on external power\n",
         false},
        {"a desktop without RAPL or USB", desktop,
         "no battery; estimate only (display and USB): package power: no RAPL counters on this "
         "machine\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const testing::TemporaryDirectory directory;
        for (const auto& [path, value] : c.files)
            directory.writeFile("sys/" + path, value + "\n");
        const auto at = directory.string();
        const std::string database = at + "/history.sqlite";
        const auto run = testing::runCommand(
            "unshare --mount /bin/sh -c 'mount --bind " + at + "/sys/class /sys/class && " +
            "mount --bind " + at + "/sys/bus /sys/bus || exit 77; exec \"$0\" record --db " +
            database + " --interval 1 --duration 2.5' " + testing::joulixPath + " 2>&1");
        if (run.status == 77) GTEST_SKIP() << "bind mounts unavailable";
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find("Recording into " + database + " every 1 s: " + c.measures), 0u)
            << run.output;
        const std::string nothing =
            "\nno power measurement on this machine: no battery discharging, no RAPL counters\n";
        const auto said = run.output.find(nothing);
        EXPECT_EQ(said != std::string::npos, c.measuresNothing) << run.output;
        if (said != std::string::npos) {
            EXPECT_EQ(run.output.find(nothing, said + 1), std::string::npos) << run.output;
        }
        EXPECT_EQ(run.output.find("skipped:"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("[ERROR]"), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace joulix
