#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/SamplingConfig.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/SnapshotPublicationPolicy.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace joulix;

TEST(SnapshotRecords, IdentifiersJoinKindOrPidWithTheName) {
    EXPECT_EQ((HiddenDrain{HiddenDrainKind::launchdService, "backup-agent", 1}).id(),
              "launchd_service-backup-agent");
    EXPECT_EQ((ProcessDrain{.pid = 812, .name = "worker"}).id(), "812-worker");
    for (const auto kind : allHiddenDrainKinds)
        EXPECT_EQ(hiddenDrainKindFromRawValue(rawValue(kind)), kind);
    EXPECT_FALSE(hiddenDrainKindFromRawValue("Docker_container"));
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

TEST(SnapshotPublicationPolicy, OnlyTotalsAboveATenthOfAWattArePublished) {
    using D = SnapshotPublicationDecision;
    const std::pair<double, D> cases[] = {
        {0.1, D::insufficientTotalPower}, {0.1000001, D::publishable},
        {0, D::insufficientTotalPower},   {-5, D::insufficientTotalPower},
        {NAN, D::insufficientTotalPower}, {42, D::publishable}};
    for (const auto& [total, expected] : cases) {
        EXPECT_EQ(SnapshotPublicationPolicy::decision(DrainSnapshot{.totalDischargeW = total}),
                  expected)
            << total;
    }
}

TEST(SnapshotPublicationPolicy, DecisionsCarryTheirRawValuesAndReasons) {
    using D = SnapshotPublicationDecision;
    const std::pair<D, std::optional<std::string_view>> cases[] = {
        {D::publishable, std::nullopt},
        {D::insufficientTotalPower, "total power was not high enough to publish"},
        {D::missingAttributedProcesses,
         "powermetrics reported attributed power but no processes were publishable"},
        {D::missingProcessDrain,
         "powermetrics reported attributed power but process drain summed to zero"}};
    for (const auto& [decision, reason] : cases) {
        EXPECT_EQ(rejectionReason(decision), reason);
        EXPECT_EQ(isPublishable(decision), decision == D::publishable);
        EXPECT_EQ(snapshotPublicationDecisionFromRawValue(rawValue(decision)), decision);
    }
    EXPECT_EQ(rawValue(D::missingProcessDrain), "missingProcessDrain");
    EXPECT_FALSE(snapshotPublicationDecisionFromRawValue("Publishable"));
}

// Off battery, a total that the display and USB estimates account for whole was not measured.
TEST(SnapshotRecords, ATotalOfEstimatesAloneIsAnEstimate) {
    const auto snapshot = [](bool offBattery, double totalW, double usbW) {
        return DrainSnapshot{.totalDischargeW = totalW,
                             .components = {.screenW = 0.5, .usbW = usbW},
                             .telemetry = SourceTelemetry{.usedEstimatedTotalPower = offBattery}};
    };
    EXPECT_TRUE(snapshot(true, 0.9 + 0.5, 0.9).totalIsEstimateOnly());
    EXPECT_FALSE(snapshot(true, 6.4, 0.9).totalIsEstimateOnly());   // package power measured
    EXPECT_FALSE(snapshot(false, 1.4, 0.9).totalIsEstimateOnly());  // battery discharge
    EXPECT_FALSE((DrainSnapshot{.totalDischargeW = 1}).totalIsEstimateOnly());
}

namespace {
SamplingConfig decodeConfig(const std::string& json) {
    return SnapshotCodec::decode<SamplingConfig>(json);
}
}  // namespace

TEST(SamplingConfig, DecodingSubstitutesMissingKeysThenAppliesTheLowerBounds) {
    EXPECT_EQ(decodeConfig("{}"),
              SamplingConfig(5, 30, false, SamplingMode::background, 20, 8, 8, 30, 300, 300, true));
    EXPECT_EQ(decodeConfig(R"({"minIntervalSec":0,"maxIntervalSec":-4})"),
              SamplingConfig(1, 1, false, SamplingMode::background, 20, 8, 8, 30, 300, 300, true));
    EXPECT_EQ(decodeConfig(R"({"minIntervalSec":45})").maxIntervalSec, 45);
    EXPECT_EQ(decodeConfig(R"({"hiddenRefreshIntervalSec":10})").hiddenRefreshIntervalSec, 30);
    EXPECT_EQ(decodeConfig(R"({"usbRefreshIntervalSec":null})").usbRefreshIntervalSec, 300);
    EXPECT_EQ(decodeConfig(
                  R"({"backgroundIntervalSec":-1,"interactiveIntervalSec":0,"burstIntervalSec":-9,)"
                  R"("powermetricsIntervalSec":0,"samplingMode":"burst","developerMode":true,)"
                  R"("isOnBatteryPower":false})"),
              SamplingConfig(5, 30, true, SamplingMode::burst, 1, 1, 1, 1, 300, 300, false));
    for (const auto mode :
         {SamplingMode::background, SamplingMode::interactive, SamplingMode::burst}) {
        const SamplingConfig config(2, 9, true, mode, 3, 4, 5, 6, 31, 32, false);
        EXPECT_EQ(decodeConfig(SnapshotCodec::encode(config)), config);
    }
}

TEST(SamplingConfig, AWrongTypeOrUnknownModeFailsTheWholeDecoding) {
    using Kind = DecodingError::Kind;
    const std::tuple<const char*, Kind, const char*> cases[] = {
        {R"({"minIntervalSec":"5"})", Kind::typeMismatch, "minIntervalSec"},
        {R"({"developerMode":1})", Kind::typeMismatch, "developerMode"},
        {R"({"samplingMode":2})", Kind::typeMismatch, "samplingMode"},
        {R"({"samplingMode":"Burst"})", Kind::dataCorrupted, "samplingMode"},
        {R"({"maxIntervalSec":2.5})", Kind::dataCorrupted, "maxIntervalSec"},
        {"[]", Kind::typeMismatch, ""},
        {"not json", Kind::dataCorrupted, ""},
    };
    for (const auto& [json, kind, keyPath] : cases)
        EXPECT_EQ(decodingFailure([&] { decodeConfig(json); }), (DecodingFailure{kind, keyPath}))
            << json;
}

TEST(SamplingConfig, ActiveIntervalAndPowermetricsCacheTTLFollowTheMode) {
    SamplingConfig config(5, 30, false, SamplingMode::background, 20, 8, 6, 30, 300, 300, true);
    EXPECT_EQ(config.activeIntervalSec(), 20);
    EXPECT_EQ(config.powermetricsCacheTTLSeconds(), 30);
    config.samplingMode = SamplingMode::interactive;
    EXPECT_EQ(config.activeIntervalSec(), 8);
    EXPECT_EQ(config.powermetricsCacheTTLSeconds(), 10);
    config.samplingMode = SamplingMode::burst;
    config.powermetricsIntervalSec = 4;
    EXPECT_EQ(config.activeIntervalSec(), 6);
    EXPECT_EQ(config.powermetricsCacheTTLSeconds(), 4);
}
