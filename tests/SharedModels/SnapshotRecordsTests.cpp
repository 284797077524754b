#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/SnapshotPublicationPolicy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

using namespace joulix;

TEST(SnapshotRecords, IdentifiersJoinKindOrPidWithTheName) {
    EXPECT_EQ((HiddenDrain{HiddenDrainKind::launchdService, "backup-agent", 1}).id(),
              "launchd_service-backup-agent");
    EXPECT_EQ((HiddenDrain{HiddenDrainKind::dockerContainer, "web", 1}).id(),
              "docker_container-web");
    EXPECT_EQ((ProcessDrain{.pid = 812, .name = "worker"}).id(), "812-worker");
    EXPECT_EQ((ProcessDrain{.pid = -1, .name = ""}).id(), "-1-");

    for (const auto kind : allHiddenDrainKinds) {
        EXPECT_EQ(hiddenDrainKindFromRawValue(rawValue(kind)), kind);
    }
    EXPECT_FALSE(hiddenDrainKindFromRawValue("Docker_container"));
    EXPECT_FALSE(hiddenDrainKindFromRawValue(""));
}

TEST(SnapshotRecords, PowermetricsSourceFlagIsAPrefixMatch) {
    const auto hasFlag = [](std::vector<std::string> flags) {
        return ProcessDrain{.sourceFlags = std::move(flags)}.hasPowermetricsSourceFlag();
    };
    EXPECT_TRUE(hasFlag({"ps", "powermetrics_cpu"}));
    EXPECT_TRUE(hasFlag({"powermetrics"}));
    EXPECT_FALSE(hasFlag({"ps", "cpu_powermetrics", "Powermetrics"}));
    EXPECT_FALSE(hasFlag({}));
}

TEST(SnapshotRecords, IdentitiesKeyHashedSets) {
    std::unordered_set<ProcessIdentity> processes{
        {812, "worker"}, {812, "worker"}, {812, "other"}, {813, "worker"}};
    EXPECT_EQ(processes.size(), 3u);
    std::unordered_set<HiddenIdentity> hidden{{HiddenDrainKind::dockerContainer, "web"},
                                              {HiddenDrainKind::launchdService, "web"},
                                              {HiddenDrainKind::dockerContainer, "web"}};
    EXPECT_EQ(hidden.size(), 2u);
}

TEST(SnapshotPublicationPolicy, OnlyTotalsAboveATenthOfAWattArePublished) {
    const std::pair<double, SnapshotPublicationDecision> cases[] = {
        {0.1, SnapshotPublicationDecision::insufficientTotalPower},
        {0.1000001, SnapshotPublicationDecision::publishable},
        {0, SnapshotPublicationDecision::insufficientTotalPower},
        {-5, SnapshotPublicationDecision::insufficientTotalPower},
        {std::nan(""), SnapshotPublicationDecision::insufficientTotalPower},
        {42, SnapshotPublicationDecision::publishable},
    };
    for (const auto& [total, expected] : cases) {
        EXPECT_EQ(SnapshotPublicationPolicy::decision(DrainSnapshot{.totalDischargeW = total}),
                  expected)
            << total;
    }
}

TEST(SnapshotPublicationPolicy, DecisionsCarryTheirRawValuesAndReasons) {
    using D = SnapshotPublicationDecision;
    EXPECT_TRUE(isPublishable(D::publishable));
    EXPECT_FALSE(rejectionReason(D::publishable));
    EXPECT_EQ(rejectionReason(D::insufficientTotalPower),
              "total power was not high enough to publish");
    EXPECT_EQ(rejectionReason(D::missingAttributedProcesses),
              "powermetrics reported attributed power but no processes were publishable");
    EXPECT_EQ(rejectionReason(D::missingProcessDrain),
              "powermetrics reported attributed power but process drain summed to zero");
    for (const auto decision : {D::publishable, D::insufficientTotalPower,
                                D::missingAttributedProcesses, D::missingProcessDrain}) {
        EXPECT_EQ(isPublishable(decision), decision == D::publishable);
        EXPECT_EQ(snapshotPublicationDecisionFromRawValue(rawValue(decision)), decision);
    }
    EXPECT_EQ(rawValue(D::missingProcessDrain), "missingProcessDrain");
    EXPECT_FALSE(snapshotPublicationDecisionFromRawValue("Publishable"));
}
