#include "Platform/RunningApplicationRegistry.h"

namespace joulix {
namespace {

class NoRunningApplicationRegistry final : public RunningApplicationRegistry {
  public:
    std::optional<RunningApplication> runningApplication(int32_t) const override {
        return std::nullopt;
    }
};

}  // namespace

std::shared_ptr<const RunningApplicationRegistry> systemRunningApplicationRegistry() {
    static const auto registry = std::make_shared<NoRunningApplicationRegistry>();
    return registry;
}

}  // namespace joulix
