#pragma once
// Reading property lists (XML or binary) with libplist, for the readers of bundle Info
// dictionaries and of `ioreg` output. A node is libplist's `plist_t`, which is a `void*`, so
// libplist stays out of this header.
#include "Platform/MainBundle.h"

#include <memory>
#include <string_view>

namespace joulix {

struct PropertyListDeleter {
    void operator()(void* node) const;
};
using PropertyList = std::unique_ptr<void, PropertyListDeleter>;

// The root node of the list in `bytes`; null when they hold none or are too many for libplist.
PropertyList parsePropertyList(std::string_view bytes);

// One node's value: a boolean, an integer (negative ones are stored as their two's complement),
// a real or a text; containers, data, dates and other types are InfoOther.
InfoValue propertyListValue(void* node);

}  // namespace joulix
