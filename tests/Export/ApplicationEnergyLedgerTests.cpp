#include "Export/ApplicationEnergyLedger.h"

#include <gtest/gtest.h>
#include <set>

namespace joulix {
namespace {

std::map<std::string, double> joulesByApp(const ApplicationEnergyLedger& ledger) {
    std::map<std::string, double> result;
    for (const auto& series : ledger.series())
        result[series.app] = series.joules;
    return result;
}

TEST(ApplicationEnergyLedger, IntegratesCappedTrapezoidsWithMissingGroupsAtZero) {
    ApplicationEnergyLedger ledger(5);
    ledger.record(0, {{"A", 10}, {"B", 4}});
    ledger.record(120, {{"A", 20}});  // gap capped at 60 s; B gone counts 0 W at the end
    ledger.record(130, {{"A", 20}, {"C", 2}});
    ledger.record(130, {{"A", 50}});  // no time passed: no energy
    const auto joules = joulesByApp(ledger);
    EXPECT_DOUBLE_EQ(joules.at("A"), 60 * 15 + 10 * 20);
    EXPECT_DOUBLE_EQ(joules.at("B"), 60 * 2);
    EXPECT_DOUBLE_EQ(joules.at("C"), 10 * 1);
    EXPECT_DOUBLE_EQ(joules.at("other"), 0);
    EXPECT_DOUBLE_EQ(ledger.series().front().watts, 50);
}

TEST(ApplicationEnergyLedger, AGroupLeavingTheTopHandsItsCounterToOther) {
    ApplicationEnergyLedger ledger(1);
    ledger.record(0, {{"A", 10}, {"B", 0}});
    ledger.record(10, {{"A", 10}, {"B", 0}});
    EXPECT_EQ(ledger.series().front().app, "A");
    ledger.record(20, {{"A", 0}, {"B", 40}});
    ledger.record(30, {{"A", 0}, {"B", 40}});
    const auto series = ledger.series();
    ASSERT_EQ(series.size(), 2u);
    EXPECT_EQ(series[0].app, "B");
    EXPECT_DOUBLE_EQ(series[0].joules, 200 + 400);  // B's energy since it entered the top
    EXPECT_DOUBLE_EQ(series[1].joules, 150);        // all of A's
    EXPECT_DOUBLE_EQ(series[1].watts, 0);
}

// A new process name every pass, each drawing more than the one before, beside two steady
// applications: names keep entering and leaving the top, yet the published series never exceed
// top + 1, every series' counter only grows while it exists, and the counters always add up to
// all the energy seen.
TEST(ApplicationEnergyLedger, ChurnKeepsSeriesBoundedAndEnergyWhole) {
    constexpr std::size_t top = 3;
    ApplicationEnergyLedger ledger(top);
    std::map<std::string, double> previous;
    std::set<std::string> named;
    double totalJ = 0;
    double lastTotalW = 0;
    for (int pass = 0; pass < 1500; ++pass) {
        const std::map<std::string, double> watts = {{"Steady", 5000},
                                                     {"Editor", 1},
                                                     {"other", 0.5},
                                                     {"tmp-" + std::to_string(pass), 10.0 + pass}};
        ledger.record(pass * 2.0, watts);
        double totalW = 0;
        for (const auto& [name, w] : watts)
            totalW += w;
        if (pass > 0) totalJ += 2 * (lastTotalW + totalW) / 2;
        lastTotalW = totalW;

        const auto joules = joulesByApp(ledger);
        ASSERT_LE(joules.size(), top + 1);
        double sum = 0;
        for (const auto& [app, value] : joules) {
            named.insert(app);
            sum += value;
            if (previous.contains(app)) {
                ASSERT_GE(value, previous.at(app)) << app << " " << pass;
            }
        }
        ASSERT_NEAR(sum, totalJ, 1e-6 * totalJ + 1e-9) << pass;
        previous = joules;
    }
    EXPECT_EQ(ledger.series().front().app, "Steady");
    EXPECT_GT(named.size(), 1000u);
}

}  // namespace
}  // namespace joulix
