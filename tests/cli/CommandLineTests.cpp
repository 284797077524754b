// What every command shares: an example in its help, and bad option values refused in one line
// that names the option, the value and what was wanted, exit status 2; and `config`.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace joulix {
namespace {

TEST(CommandLine, EveryHelpShowsAnExample) {
    for (const char* command :
         {"config", "ping", "low-power", "terminate", "sample", "processes", "trace-summary",
          "history", "details", "record", "report", "end-app", "export"}) {
        const auto help = testing::runJoulix(std::string(command) + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.output.find(std::string("Example: joulix ") + command), std::string::npos)
            << help.output;
    }
}

TEST(CommandLine, BadValuesAreOneLineNamingTheOptionAndWhatWasWanted) {
    const testing::TemporaryDirectory folder;
    const std::string db = " --db " + folder.string() + "/h.sqlite";
    const std::pair<std::string, std::string> cases[] = {
        {"history --limit 0", "--limit: 0 is not a whole number from 1 to 10000"},
        {"history --limit -1", "--limit: -1 is not a whole number from 1 to 10000"},
        {"history --limit 2.5", "--limit: 2.5 is not a whole number from 1 to 10000"},
        {"processes --limit 0", "--limit: 0 is not a whole number from 1 to"},
        {"sample --top -1", "--top: -1 is not a whole number from 0 to"},
        {"trace-summary x --top 0", "--top: 0 is not a whole number from 1 to"},
        {"sample --interval abc", "--interval: abc is not a number of seconds from 0 to 3600"},
        {"processes --interval 1e9", "--interval: 1e9 is not a number of seconds from 0 to 3600"},
        {"export --top 0", "--top: 0 is not a whole number from 1 to 1000"},
        {"export --interval 0.5", "--interval: 0.5 is not a number of seconds from 1 to 3600"},
        {"record" + db + " --interval abc", "--interval: abc is not a number of seconds from 1 to"},
        {"record" + db + " --interval 0.5", "--interval: 0.5 is not a number of seconds from 1 to"},
        {"record" + db + " --interval nan", "--interval: "},
        {"record" + db + " --interval 1e-20", "--interval: "},
        {"record" + db + " --interval 1e9", "--interval: "},
        {"record" + db + " --interval 30 --duration 10", "--interval: "},
        {"record" + db + " --duration 0.5", "--duration: "},
        {"record" + db + " --retention 0s", "--retention: "},
        {"record --db ''", "--db: "},
        {"history --db ''", "--db: "},
        {"details --db ''", "--db: "},
        {"report --db ''", "--db: "},
        {"report" + db + " --out ''", "--out: "},
    };
    for (const auto& [arguments, message] : cases) {
        const auto run = testing::runJoulix(arguments + " 2>&1");
        EXPECT_EQ(run.status, 2) << arguments;
        EXPECT_EQ(run.output.find("joulix: " + message), 0u) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_EQ(run.output.find("1797693"), std::string::npos) << run.output;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "h.sqlite"));
}

TEST(ConfigCommand, PrintsDerivedIdentifiersAndStandardSamplingConfig) {
    const auto run = testing::runCommand("env -u XDG_DATA_HOME -u JLX_SHARED_ROOT "
                                         "HOME=/home/someone " +
                                         testing::joulixPath + " config");
    ASSERT_EQ(run.status, 0);
    const auto json = nlohmann::json::parse(run.output);
    EXPECT_EQ(json["daemonBundleIdentifier"], "com.joulix.metricsd");
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
