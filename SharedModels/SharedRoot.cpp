#include "SharedModels/SharedRoot.h"

#include <mutex>

namespace joulix {
namespace {
std::mutex rootLock;
std::string& root() {
    static std::string value = defaultSharedRoot;
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
