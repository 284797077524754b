// URL validity of an updater feed URL taken from the environment or the Info dictionary.
#include "SharedModels/AppConfiguration.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    joulix::isValidURL(value);
    joulix::AppConfiguration::Updates::feedURL({}, joulix::InfoDictionary{{"SUFeedURL", value}});
    return 0;
}
