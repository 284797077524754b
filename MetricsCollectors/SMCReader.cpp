#include "MetricsCollectors/SMCReader.h"

#include "SharedModels/Text.h"

#include <array>
#include <bit>
#include <cstring>

namespace joulix {

namespace {

// The key-data record: offsets of the fields this reader uses.
constexpr size_t keyOffset = 0;
constexpr size_t dataSizeOffset = 28;
constexpr size_t dataTypeOffset = 32;
constexpr size_t dataAttributesOffset = 36;
constexpr size_t commandOffset = 42;
constexpr size_t bytesOffset = 48;

constexpr uint8_t commandReadKey = 5;
constexpr uint8_t commandGetKeyInfo = 9;
constexpr uint32_t structMethodSelector = 2;

void putUInt32(SMCRecordBytes& record, size_t offset, uint32_t value) {
    std::memcpy(record.data() + offset, &value, sizeof value);
}
uint32_t getUInt32(const SMCRecordBytes& record, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

struct FixedPointType {
    std::string_view name;
    bool isSigned;
};

constexpr std::array<FixedPointType, 23> fixedPointTypes{{
    {"fp1f", false}, {"fp2e", false}, {"fp3d", false}, {"fp4c", false}, {"fp5b", false},
    {"fp6a", false}, {"fp79", false}, {"fp88", false}, {"fpa6", false}, {"fpc4", false},
    {"fpe2", false}, {"sp1e", true},  {"sp2d", true},  {"sp3c", true},  {"sp4b", true},
    {"sp5a", true},  {"sp69", true},  {"sp78", true},  {"sp87", true},  {"sp96", true},
    {"spa5", true},  {"spb4", true},  {"spf0", true},
}};

int hexDigitValue(char c) {
    return c <= '9' ? c - '0' : c - 'a' + 10;
}

}  // namespace

SMCReader::SMCReader(std::shared_ptr<SMCDriver> driver) : driver_(std::move(driver)) {
    connect();
}

SMCReader::~SMCReader() {
    std::lock_guard guard(lock_);
    if (isConnected_) {
        driver_->close(connection_);
        isConnected_ = false;
    }
}

void SMCReader::connect() {
    std::lock_guard guard(lock_);
    if (isConnected_ || !driver_) return;
    if (const auto connection = driver_->open()) {
        connection_ = *connection;
        isConnected_ = true;
    }
}

std::optional<double> SMCReader::readDisplayPowerWatts() {
    const auto value = readFloatKey("PDBR");
    if (!value) return std::nullopt;
    return static_cast<double>(*value);
}

std::optional<double> SMCReader::readSystemTotalPowerWatts() {
    const auto value = readFloatKey("PSTR");
    if (!value) return std::nullopt;
    return static_cast<double>(*value);
}

uint32_t SMCReader::fourCharCode(std::string_view text) {
    if (text.size() < 4) return 0;
    uint32_t code = 0;
    for (size_t i = 0; i < 4; ++i)
        code = (code << 8) | static_cast<uint8_t>(text[i]);
    return code;
}

std::string SMCReader::fourCharText(uint32_t code) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
    return text::repairUTF8(bytes) == bytes ? bytes : std::string();
}

std::optional<float> SMCReader::decodeValue(std::string_view type, const uint8_t* bytes) {
    const uint32_t b0 = bytes[0], b1 = bytes[1], b2 = bytes[2], b3 = bytes[3];
    const uint32_t littleEndian32 = b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
    const auto bigEndian16 = static_cast<uint16_t>((b0 << 8) | b1);
    if (type == "flt") return std::bit_cast<float>(littleEndian32);
    if (type == "ui8") return static_cast<float>(b0);
    if (type == "ui16") return static_cast<float>(b0 | (b1 << 8));
    if (type == "ui32") return static_cast<float>(littleEndian32);
    for (const auto& fixed : fixedPointTypes) {
        if (type != fixed.name) continue;
        const double divisor = static_cast<double>(1u << hexDigitValue(fixed.name[3]));
        const double raw = fixed.isSigned ? static_cast<double>(static_cast<int16_t>(bigEndian16))
                                          : static_cast<double>(bigEndian16);
        return static_cast<float>(raw / divisor);
    }
    return std::nullopt;
}

std::optional<float> SMCReader::readFloatKey(std::string_view key) {
    std::lock_guard guard(lock_);
    if (!isConnected_) return std::nullopt;
    const uint32_t code = fourCharCode(key);
    const auto info = getKeyInfo(code);
    if (!info) return std::nullopt;

    SMCRecordBytes input{};
    putUInt32(input, keyOffset, code);
    putUInt32(input, dataSizeOffset, info->dataSize);
    putUInt32(input, dataTypeOffset, info->dataType);
    input[dataAttributesOffset] = info->dataAttributes;
    input[commandOffset] = commandReadKey;
    const auto output = callSMC(input);
    if (!output) return std::nullopt;

    const std::string type(text::trim(fourCharText(info->dataType)));
    return decodeValue(type, output->data() + bytesOffset);
}

std::optional<SMCKeyInfoData> SMCReader::getKeyInfo(uint32_t code) {
    if (const auto cached = keyInfoCache_.find(code); cached != keyInfoCache_.end()) {
        return cached->second;
    }
    SMCRecordBytes input{};
    putUInt32(input, keyOffset, code);
    input[commandOffset] = commandGetKeyInfo;
    const auto output = callSMC(input);
    if (!output) return std::nullopt;
    const SMCKeyInfoData info{getUInt32(*output, dataSizeOffset),
                              getUInt32(*output, dataTypeOffset), (*output)[dataAttributesOffset]};
    keyInfoCache_[code] = info;
    return info;
}

std::optional<SMCRecordBytes> SMCReader::callSMC(const SMCRecordBytes& input) {
    SMCRecordBytes output{};
    if (driver_->callStructMethod(connection_, structMethodSelector, input, output) != 0) {
        return std::nullopt;
    }
    return output;
}

}  // namespace joulix
