#include "Platform/MainBundle.h"

#include <mutex>

namespace joulix {
namespace {
std::mutex bundleLock;
std::shared_ptr<const MainBundle> installedBundle;
}  // namespace

std::shared_ptr<const MainBundle> mainBundle() {
    std::lock_guard lock(bundleLock);
    if (installedBundle) return installedBundle;
    static const auto none = std::make_shared<FixedMainBundle>(std::nullopt, std::nullopt);
    return none;
}

void setMainBundle(std::shared_ptr<const MainBundle> bundle) {
    std::lock_guard lock(bundleLock);
    installedBundle = std::move(bundle);
}

}  // namespace joulix
