#include "Platform/PropertyList.h"

#include <limits>
#include <plist/plist.h>

namespace joulix {

void PropertyListDeleter::operator()(void* node) const {
    plist_free(node);
}

PropertyList parsePropertyList(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PropertyList(root);
}

InfoValue propertyListValue(void* node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<int64_t>(value);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* bytes = plist_get_string_ptr(node, &length);
        return bytes ? std::string(bytes, length) : std::string();
    }
    default:
        return InfoOther{};
    }
}

}  // namespace joulix
