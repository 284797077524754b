#include "SharedModels/SharedRoot.h"

#include <cstdlib>
#include <mutex>

namespace joulix {
namespace {
std::mutex rootLock;
std::string& root() {
    static std::string value = [] {
        const char* given = std::getenv("JLX_SHARED_ROOT");
        return given && given[0] == '/' ? std::string(given) : std::string(defaultSharedRoot);
    }();
    return value;
}
}  // namespace

std::string sharedRoot() {
    std::lock_guard lock(rootLock);
    return root();
}

void setSharedRoot(std::string newRoot) {
    std::lock_guard lock(rootLock);
    root() = std::move(newRoot);
}

}  // namespace joulix
