// A bundle's Info.plist bytes, XML or binary, read into an Info dictionary.
#include "Platform/MainBundle.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    joulix::infoDictionaryFromPropertyList({reinterpret_cast<const char*>(data), size});
    return 0;
}
