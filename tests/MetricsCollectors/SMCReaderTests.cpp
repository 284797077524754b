#include "MetricsCollectors/SMCReader.h"

#include "Platform/linux/UnavailableSMCDriver.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <tuple>
#include <vector>

namespace joulix {
namespace {

// A controller whose keys (type, bytes) answer key-info (9) and read (5) commands; counts the
// calls by command.
class FakeSMCDriver final : public SMCDriver {
  public:
    std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> keys;
    std::map<int, int> callsByCommand;
    int failingKeyInfoCalls = 0;
    bool closed = false;

    std::optional<uint32_t> open() override { return 7; }
    void close(uint32_t connection) override { closed = connection == 7; }

    int32_t callStructMethod(uint32_t connection, uint32_t selector, const SMCRecordBytes& input,
                             SMCRecordBytes& output) override {
        if (connection != 7 || selector != 2) return -1;
        const int command = input[42];
        ++callsByCommand[command];
        uint32_t code = 0, type = 0;
        std::memcpy(&code, input.data(), 4);
        const auto found = keys.find(SMCReader::fourCharText(code));
        if (found == keys.end()) return 0x84;
        const auto& [typeName, bytes] = found->second;
        output = {};
        if (command == 9) {
            if (failingKeyInfoCalls-- > 0) return -2;
            const auto size = static_cast<uint32_t>(bytes.size());
            type = SMCReader::fourCharCode(typeName);
            std::memcpy(output.data() + 28, &size, 4);
            std::memcpy(output.data() + 32, &type, 4);
            output[36] = 0xD4;
            return 0;
        }
        std::memcpy(&type, input.data() + 32, 4);
        if (command != 5 || type != SMCReader::fourCharCode(typeName)) return -3;
        std::memcpy(output.data() + 48, bytes.data(), bytes.size());
        return 0;
    }
};

TEST(SMCReader, DecodesEachTypeOfTheTable) {
    const std::tuple<const char*, std::vector<uint8_t>, std::optional<double>> cases[] = {
        {"flt ", {0x00, 0x00, 0x80, 0x3F}, 1.0},
        {"flt ", {0x00, 0x00, 0xC0, 0xC0}, -6.0},
        {"ui8 ", {0xFE, 0x01}, 254},
        {"ui16", {0x34, 0x12}, 4660},
        {"ui32", {0x01, 0x00, 0x01, 0x00}, 65537},
        {"sp78", {0xFF, 0x80}, -0.5},
        {"fpe2", {0x00, 0x0A}, 2.5},
        {"fp88", {0x01, 0x80}, 1.5},
        {"fp1f", {0x80, 0x00}, 1.0},
        {"fp4c", {0x10, 0x00}, 1.0},
        {"spf0", {0xFF, 0xFE}, -2.0},
        {"sp1e", {0xC0, 0x00}, -1.0},
        {"fpa6", {0x00, 0x40}, 1.0},
        {"si16", {0x01, 0x00}, std::nullopt},
        {"ch8*", {0x41}, std::nullopt},
    };
    for (const auto& [type, bytes, value] : cases) {
        auto driver = std::make_shared<FakeSMCDriver>();
        driver->keys["PDBR"] = {type, bytes};
        EXPECT_EQ(SMCReader(driver).readDisplayPowerWatts(), value) << type;
    }
}

TEST(SMCReader, KeyCodes) {
    EXPECT_EQ(SMCReader::fourCharCode("PDBR"), 0x50444252u);
    EXPECT_EQ(SMCReader::fourCharCode("PDB"), 0u);
    EXPECT_EQ(SMCReader::fourCharText(0x50535452u), "PSTR");
    EXPECT_EQ(SMCReader::fourCharText(0xFFFFFFFFu), "");
}

TEST(SMCReader, CachesKeyInfoButNotItsFailures) {
    auto driver = std::make_shared<FakeSMCDriver>();
    driver->keys["PSTR"] = {"flt ", {0x00, 0x00, 0x20, 0x41}};
    driver->failingKeyInfoCalls = 1;
    SMCReader reader(driver);

    EXPECT_EQ(reader.readSystemTotalPowerWatts(), std::nullopt);
    EXPECT_EQ(reader.readSystemTotalPowerWatts(), 10.0);
    EXPECT_EQ(reader.readSystemTotalPowerWatts(), 10.0);
    EXPECT_EQ(driver->callsByCommand[9], 2);  // the failure, then the one cached answer
    EXPECT_EQ(driver->callsByCommand[5], 2);

    EXPECT_EQ(reader.readDisplayPowerWatts(), std::nullopt);  // a key the controller lacks
}

TEST(SMCReader, ClosesItsConnectionAndStaysDisconnectedWithoutADriver) {
    auto driver = std::make_shared<FakeSMCDriver>();
    { SMCReader reader(driver); }
    EXPECT_TRUE(driver->closed);

    SMCReader linuxReader(std::make_shared<UnavailableSMCDriver>());
    EXPECT_EQ(linuxReader.readDisplayPowerWatts(), std::nullopt);
    EXPECT_EQ(linuxReader.readSystemTotalPowerWatts(), std::nullopt);
}

}  // namespace
}  // namespace joulix
