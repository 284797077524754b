#include "SharedModels/SamplingConfig.h"
#include "SharedModels/SnapshotCodec.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>

using namespace joulix;

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
