#include "SharedModels/BenchmarkFeature.h"

#include "SharedModels/Text.h"

#include <cstdlib>

namespace joulix::BenchmarkFeature {
namespace {

bool isTruthy(std::string_view value) {
    const std::string word = text::lowercased(text::trim(value));
    return word == "1" || word == "true" || word == "yes" || word == "y" || word == "on";
}

struct InfoValueIsTrue {
    bool operator()(const InfoOther&) const { return false; }
    bool operator()(bool value) const { return value; }
    bool operator()(int64_t value) const { return value != 0; }
    bool operator()(double value) const { return value != 0; }
    bool operator()(const std::string& value) const { return isTruthy(value); }
};

} // namespace

bool isEnabled(const Environment& environment,
               const std::optional<InfoDictionary>& infoDictionary) {
    if (const auto found = environment.find(flagKey); found != environment.end()) {
        return isTruthy(found->second);
    }
    if (infoDictionary) {
        if (const auto found = infoDictionary->find(flagKey); found != infoDictionary->end()) {
            return std::visit(InfoValueIsTrue{}, found->second);
        }
    }
    return false;
}

bool isEnabled() {
    Environment environment;
    if (const char* value = std::getenv(std::string(flagKey).c_str())) {
        environment.emplace(flagKey, value);
    }
    return isEnabled(environment, mainBundle()->infoDictionary());
}

} // namespace joulix::BenchmarkFeature
