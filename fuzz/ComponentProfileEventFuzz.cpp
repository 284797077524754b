// Decodes arbitrary bytes as one trace line; a line that decodes must encode to a line that
// decodes to the same event.
#include "SharedModels/ComponentProfileEvent.h"
#include "SharedModels/DecodingError.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    try {
        const auto event = joulix::ComponentProfileEvent::fromJSON(line);
        const auto again = joulix::ComponentProfileEvent::fromJSON(event.jsonLine());
        // NaN never compares equal; the durations and start times decode from JSON numbers only.
        if (!(again == event)) std::abort();
    } catch (const joulix::DecodingError&) {
    }
    return 0;
}
