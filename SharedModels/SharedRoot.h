#pragma once
// The shared users' area, "/Users/Shared", where the shared log and history live. Tests point it
// at a temporary directory with setSharedRoot before the first use.
#include <string>

namespace joulix {

inline constexpr const char* defaultSharedRoot = "/Users/Shared";

std::string sharedRoot();
void setSharedRoot(std::string root);

}  // namespace joulix
