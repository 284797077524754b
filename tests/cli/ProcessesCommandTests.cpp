#include "RunJoulix.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace joulix {
namespace {

std::string runJoulix(const std::string& arguments) {
    const auto run = testing::runJoulix(arguments);
    EXPECT_EQ(run.status, 0) << arguments;
    return run.output;
}

TEST(ProcessesCommand, PrintsTheBusiestAsJSONRecordsOrATable) {
    const auto top = nlohmann::json::parse(runJoulix("processes --limit 3 --json"));
    ASSERT_TRUE(top.is_array());
    EXPECT_GE(top.size(), 1u);
    EXPECT_LE(top.size(), 3u);
    for (const auto& record : top) {
        EXPECT_TRUE(record["pid"].is_number_integer());
        EXPECT_TRUE(record["name"].is_string());
    }

    // Every process, the command itself among them, named by its executable.
    const auto all = nlohmann::json::parse(runJoulix("processes --all --json"));
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const auto& record) {
        return record["name"] == testing::joulixPath;
    }));

    const auto table = runJoulix("processes --limit 2");
    EXPECT_THAT(table.substr(0, table.find('\n')),
                ::testing::MatchesRegex(".*PID.*PARENT.*CPU %.*NAME.*BUNDLE ID.*"));
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
}

// A child that spins for `busySeconds` (forever when negative), then sleeps until killed.
struct Child {
    pid_t pid;
    explicit Child(double busySeconds) : pid(::fork()) {
        if (pid != 0) return;
        const auto start = std::chrono::steady_clock::now();
        while (busySeconds < 0 ||
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
                   busySeconds) {
        }
        while (true)
            ::pause();
    }
    ~Child() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

// CPU % is the share over the interval: a process that worked hard earlier and rests now shows
// as idle, and the one working now ranks first.
TEST(ProcessesCommand, RecentCPUShareRanksTheBusyChildAboveTheOneBusyEarlier) {
    const Child earlier(1.5);
    ::usleep(1'600'000);
    const Child busy(-1);
    const auto top = nlohmann::json::parse(runJoulix("processes --limit 1000 --json --interval 1"));
    std::optional<std::size_t> busyRank, earlierRank;
    for (std::size_t i = 0; i < top.size(); ++i) {
        if (top[i]["pid"] == busy.pid) busyRank = i;
        if (top[i]["pid"] == earlier.pid) {
            earlierRank = i;
            EXPECT_LT(top[i]["cpuPercent"].get<double>(), 5.0);
        }
    }
    ASSERT_TRUE(busyRank && earlierRank);
    EXPECT_LT(*busyRank, *earlierRank);
    EXPECT_GT(top[*busyRank]["cpuPercent"].get<double>(), 30.0);
}

}  // namespace
}  // namespace joulix
