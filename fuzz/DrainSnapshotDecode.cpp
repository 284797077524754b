// Decoding any bytes as a DrainSnapshot either yields a record that re-encodes and decodes to
// itself, or throws DecodingError; nothing else.
#include "SharedModels/DecodingError.h"
#include "SharedModels/SnapshotCodec.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), data ? size : 0);
    try {
        const auto record = joulix::SnapshotCodec::decode<joulix::DrainSnapshot>(bytes);
        if (joulix::SnapshotCodec::decode<joulix::DrainSnapshot>(
                joulix::SnapshotCodec::encode(record)) != record) {
            std::abort();
        }
    } catch (const joulix::DecodingError&) {
    }
    return 0;
}
