#include "MetricsCollectors/AppleSiliconPowerReader.h"

#include "Platform/MainBundle.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

class FixedChannels final : public EnergyChannels {
  public:
    std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view) override {
        struct Subscription final : EnergyChannelSubscription {
            std::optional<std::vector<EnergyChannelReading>> sample() override {
                return std::vector<EnergyChannelReading>{{"Energy Model", "CPU Energy", "mJ", 5},
                                                         {"Energy Model", "ISP", "mJ", 1},
                                                         {"Other", "GPU Energy", "mJ", 1}};
            }
        };
        return std::make_unique<Subscription>();
    }
};

class RecordingLog final : public SystemLog {
  public:
    void write(std::string_view, std::string_view, bool, std::string_view) override {
        ADD_FAILURE() << "channel names are a debug entry";
    }
    void writeDebug(std::string_view subsystem, std::string_view category,
                    std::string_view message) override {
        entries.push_back(std::string(subsystem) + "|" + std::string(category) + "|" +
                          std::string(message));
    }
    std::vector<std::string> entries;
};

TEST(AppleSiliconPowerReaderLog, ChannelNamesGoOnceToTheBundlesDebugLog) {
    setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, "org.example.monitor"));
    auto log = std::make_shared<RecordingLog>();
    AppleSiliconPowerReader reader(std::make_shared<FixedChannels>(), log);
    setMainBundle(nullptr);
    reader.sample(Date{0});
    reader.sample(Date{1});
    EXPECT_EQ(log->entries, std::vector<std::string>{"org.example.monitor|AppleSiliconPowerReader|"
                                                     "IOReport Energy Model channels: CPU Energy, "
                                                     "ISP"});
}

}  // namespace
}  // namespace joulix
