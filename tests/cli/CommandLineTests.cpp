// What every command shares: an example in its help, and bad option values refused with a
// message that names the value and what was wanted, exit status 2.
#include "RunJoulix.h"

#include <gtest/gtest.h>

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

TEST(CommandLine, BadNumbersAreRefusedWithWhatWasWanted) {
    const std::pair<const char*, const char*> cases[] = {
        {"history --limit 0", "0 is not a whole number from 1 to 10000"},
        {"history --limit -1", "-1 is not a whole number from 1 to 10000"},
        {"history --limit 2.5", "2.5 is not a whole number from 1 to 10000"},
        {"processes --limit 0", "0 is not a whole number from 1 to"},
        {"sample --top -1", "-1 is not a whole number from 0 to"},
        {"trace-summary x --top 0", "0 is not a whole number from 1 to"},
        {"sample --interval abc", "abc is not a number of seconds from 0 to 3600"},
        {"processes --interval 1e9", "1e9 is not a number of seconds from 0 to 3600"},
        {"record --interval abc", "abc is not a number of seconds from 1 to 86400"},
        {"record --interval 0.5", "0.5 is not a number of seconds from 1 to 86400"},
        {"export --top 0", "0 is not a whole number from 1 to 1000"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto result = testing::runJoulix(std::string(arguments) + " 2>&1");
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_NE(result.output.find(message), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("1797693"), std::string::npos) << result.output;
    }
}

}  // namespace
}  // namespace joulix
