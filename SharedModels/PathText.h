#pragma once
// Process names as paths: a text is a path when it begins with "/"; its last component is the
// text after the last "/" (the whole text when it has none).
#include <string_view>

namespace joulix::path {

inline bool isPath(std::string_view text) {
    return text.starts_with('/');
}

inline std::string_view lastComponent(std::string_view text) {
    const auto slash = text.rfind('/');
    return slash == std::string_view::npos ? text : text.substr(slash + 1);
}

}  // namespace joulix::path
