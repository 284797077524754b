#include "SharedModels/HiddenDrain.h"

namespace joulix {

std::string_view rawValue(HiddenDrainKind kind) {
    switch (kind) {
    case HiddenDrainKind::dockerContainer:
        return "docker_container";
    case HiddenDrainKind::cloudflaredTunnel:
        return "cloudflared_tunnel";
    case HiddenDrainKind::launchdService:
        return "launchd_service";
    }
    return "docker_container";
}

std::optional<HiddenDrainKind> hiddenDrainKindFromRawValue(std::string_view raw) {
    for (const auto kind : allHiddenDrainKinds) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::string HiddenDrain::id() const {
    std::string result(rawValue(kind));
    result += '-';
    result += identifier;
    return result;
}

}  // namespace joulix
