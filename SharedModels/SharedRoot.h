#pragma once
// The shared users' area, "/Users/Shared", where the shared log and history live. An absolute
// path in JLX_SHARED_ROOT, read at the first use, stands in for it (test runs keep their own area
// this way, for their child processes too); setSharedRoot changes it within a process.
#include <string>

namespace joulix {

inline constexpr const char* defaultSharedRoot = "/Users/Shared";

std::string sharedRoot();
void setSharedRoot(std::string root);

}  // namespace joulix
