#include "SharedModels/DecodingError.h"
#include "SharedModels/SamplingConfig.h"
#include "SharedModels/SnapshotCodec.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace joulix;

namespace {
SamplingConfig decodeConfig(const std::string& json) {
    return SnapshotCodec::decode<SamplingConfig>(json);
}
}  // namespace

TEST(SamplingConfig, DecodingSubstitutesMissingKeysThenAppliesTheLowerBounds) {
    const SamplingConfig standard(5, 30, false, SamplingMode::background, 20, 8, 8, 30, 300, 300,
                                  true);
    EXPECT_EQ(decodeConfig("{}"), standard);
    EXPECT_EQ(decodeConfig("{}"), SamplingConfig{});

    const auto withMinMax = decodeConfig(R"({"minIntervalSec":0,"maxIntervalSec":-4})");
    EXPECT_EQ(withMinMax.minIntervalSec, 1);
    EXPECT_EQ(withMinMax.maxIntervalSec, 1);
    EXPECT_EQ(decodeConfig(R"({"minIntervalSec":45})").maxIntervalSec, 45);
    EXPECT_EQ(decodeConfig(R"({"hiddenRefreshIntervalSec":10})").hiddenRefreshIntervalSec, 30);
    EXPECT_EQ(decodeConfig(R"({"usbRefreshIntervalSec":null})").usbRefreshIntervalSec, 300);

    const auto negative = decodeConfig(
        R"({"backgroundIntervalSec":-1,"interactiveIntervalSec":0,"burstIntervalSec":-9,)"
        R"("powermetricsIntervalSec":0,"samplingMode":"burst","developerMode":true,)"
        R"("isOnBatteryPower":false})");
    EXPECT_EQ(negative,
              SamplingConfig(5, 30, true, SamplingMode::burst, 1, 1, 1, 1, 300, 300, false));
}

TEST(SamplingConfig, AWrongTypeOrUnknownModeFailsTheWholeDecoding) {
    const std::pair<const char*, DecodingError::Kind> cases[] = {
        {R"({"minIntervalSec":"5"})", DecodingError::Kind::typeMismatch},
        {R"({"developerMode":1})", DecodingError::Kind::typeMismatch},
        {R"({"samplingMode":2})", DecodingError::Kind::typeMismatch},
        {R"({"samplingMode":"Burst"})", DecodingError::Kind::dataCorrupted},
        {R"({"maxIntervalSec":2.5})", DecodingError::Kind::dataCorrupted},
        {"[]", DecodingError::Kind::typeMismatch},
        {"not json", DecodingError::Kind::dataCorrupted},
    };
    for (const auto& [json, kind] : cases) {
        try {
            decodeConfig(json);
            ADD_FAILURE() << "decoded " << json;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), kind) << json;
        }
    }
}

TEST(SamplingConfig, ActiveIntervalAndPowermetricsCacheTTLFollowTheMode) {
    auto config =
        SamplingConfig(5, 30, false, SamplingMode::background, 20, 8, 6, 30, 300, 300, true);
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

TEST(SamplingConfig, EncodingWritesAllElevenKeysInOrderAndRoundTrips) {
    const auto json = nlohmann::ordered_json::parse(SnapshotCodec::encode(SamplingConfig{}));
    std::vector<std::string> keys;
    for (const auto& item : json.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"minIntervalSec", "maxIntervalSec", "developerMode",
                                              "samplingMode", "backgroundIntervalSec",
                                              "interactiveIntervalSec", "burstIntervalSec",
                                              "powermetricsIntervalSec", "hiddenRefreshIntervalSec",
                                              "usbRefreshIntervalSec", "isOnBatteryPower"}));
    EXPECT_EQ(json["samplingMode"], "background");

    for (const auto mode :
         {SamplingMode::background, SamplingMode::interactive, SamplingMode::burst}) {
        const SamplingConfig config(2, 9, true, mode, 3, 4, 5, 6, 31, 32, false);
        EXPECT_EQ(decodeConfig(SnapshotCodec::encode(config)), config);
        EXPECT_EQ(samplingModeFromRawValue(rawValue(mode)), mode);
    }
}
