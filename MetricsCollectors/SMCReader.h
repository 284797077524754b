#pragma once
// Numeric sensor keys of the System Management Controller, read through its driver with the
// 80-byte key-data record: command 9 asks for a key's type information (cached per key for the
// reader's life), command 5 reads its value bytes, decoded by the key's type (float, unsigned
// integers, fixed-point). The connection opens once at construction; without a driver the reader
// stays disconnected and every read is absent. Any failure is absent, nothing is logged. Shared
// between threads: reads hold the reader's lock.
#include "MetricsCollectors/SMCDisplayPowerReading.h"
#include "Platform/SMCDriver.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace joulix {

struct SMCKeyInfoData {
    uint32_t dataSize = 0;
    uint32_t dataType = 0;
    uint8_t dataAttributes = 0;

    friend bool operator==(const SMCKeyInfoData&, const SMCKeyInfoData&) = default;
};

class SMCReader final : public SMCDisplayPowerReading {
  public:
    explicit SMCReader(std::shared_ptr<SMCDriver> driver = platformSMCDriver());
    ~SMCReader() override;
    SMCReader(const SMCReader&) = delete;
    SMCReader& operator=(const SMCReader&) = delete;

    // Display power, key "PDBR".
    std::optional<double> readDisplayPowerWatts() override;
    // Whole-system power, key "PSTR".
    std::optional<double> readSystemTotalPowerWatts();

    // The code of a four-character key or type ("PDBR"): first byte most significant; 0 for a
    // text shorter than four bytes.
    static uint32_t fourCharCode(std::string_view text);
    // The four bytes of a code as text; empty when they are not UTF-8.
    static std::string fourCharText(uint32_t code);
    // The value of the first four value bytes under a type text (already trimmed); absent for a
    // type outside the decoding table.
    static std::optional<float> decodeValue(std::string_view type, const uint8_t* bytes);

  private:
    void connect();
    std::optional<float> readFloatKey(std::string_view key);
    std::optional<SMCKeyInfoData> getKeyInfo(uint32_t code);
    std::optional<SMCRecordBytes> callSMC(const SMCRecordBytes& input);

    std::mutex lock_;
    std::shared_ptr<SMCDriver> driver_;
    uint32_t connection_ = 0;
    bool isConnected_ = false;
    std::unordered_map<uint32_t, SMCKeyInfoData> keyInfoCache_;
};

}  // namespace joulix
