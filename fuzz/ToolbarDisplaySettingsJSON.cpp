// Toolbar display settings decoded from JSON: any bytes decode or throw DecodingError.
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/DecodingError.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    try {
        const auto settings = joulix::ToolbarDisplaySettings::fromJSON(json);
        if (joulix::ToolbarDisplaySettings::fromJSON(settings.toJSON()) != settings) std::abort();
    } catch (const joulix::DecodingError&) {
    }
    return 0;
}
