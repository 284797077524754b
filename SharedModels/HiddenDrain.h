#pragma once
// Hidden workloads: work that runs inside a host process (a container, a tunnel, a launchd
// service) and whose power is reported under its own kind and identifier.
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

enum class HiddenDrainKind { dockerContainer, cloudflaredTunnel, launchdService };

// Every kind, in declared order.
inline constexpr std::array<HiddenDrainKind, 3> allHiddenDrainKinds{
    HiddenDrainKind::dockerContainer, HiddenDrainKind::cloudflaredTunnel,
    HiddenDrainKind::launchdService};

// "docker_container", "cloudflared_tunnel", "launchd_service".
std::string_view rawValue(HiddenDrainKind kind);
// No value for any other string.
std::optional<HiddenDrainKind> hiddenDrainKindFromRawValue(std::string_view raw);

// Power of one hidden workload in one snapshot.
struct HiddenDrain {
    HiddenDrainKind kind = HiddenDrainKind::dockerContainer;
    std::string identifier{};
    double drainW = 0;

    // The kind's raw value, "-", the identifier: "launchd_service-backup-agent".
    std::string id() const;

    friend bool operator==(const HiddenDrain&, const HiddenDrain&) = default;
};

// Dictionary key of a hidden workload.
struct HiddenIdentity {
    HiddenDrainKind kind = HiddenDrainKind::dockerContainer;
    std::string identifier{};

    friend bool operator==(const HiddenIdentity&, const HiddenIdentity&) = default;
};

}  // namespace joulix

template <> struct std::hash<joulix::HiddenIdentity> {
    std::size_t operator()(const joulix::HiddenIdentity& identity) const noexcept {
        const std::size_t kindHash = std::hash<joulix::HiddenDrainKind>{}(identity.kind);
        return std::hash<std::string>{}(identity.identifier) ^ (kindHash * 0x9e3779b97f4a7c15ULL);
    }
};
