#include "SharedModels/BenchmarkFeature.h"

#include "SharedModels/Truthiness.h"

namespace joulix::BenchmarkFeature {
namespace {

struct InfoValueIsTrue {
    bool operator()(const InfoOther&) const { return false; }
    bool operator()(bool value) const { return value; }
    bool operator()(int64_t value) const { return value != 0; }
    bool operator()(double value) const { return value != 0; }
    bool operator()(const std::string& value) const { return parseTruthiness(value); }
};

}  // namespace

bool isEnabled(const Environment& environment,
               const std::optional<InfoDictionary>& infoDictionary) {
    if (const auto found = environment.find(std::string(flagKey)); found != environment.end()) {
        return parseTruthiness(found->second);
    }
    if (infoDictionary) {
        if (const auto found = infoDictionary->find(flagKey); found != infoDictionary->end()) {
            return std::visit(InfoValueIsTrue{}, found->second);
        }
    }
    return false;
}

bool isEnabled() {
    const auto environment = currentEnvironment({flagKey});
    // The Info dictionary counts only when the environment leaves the switch unset.
    return isEnabled(environment,
                     environment.empty() ? mainBundle()->infoDictionary() : std::nullopt);
}

}  // namespace joulix::BenchmarkFeature
