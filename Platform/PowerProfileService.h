#pragma once
// The machine's power profile service (power-profiles-daemon, tuned-ppd, tlp-pd): which profile
// is active ("power-saver", "balanced", "performance") and switching it. Each call answers or
// throws PowerProfileError with a text the user can act on: the service's own text when it
// refuses, NoPowerProfileServiceError when no service answers on the bus.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace joulix {

// what() is the text for the user. (Platform sits below the shared models, so this derives
// from the standard error type rather than the models' Error.)
class PowerProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class NoPowerProfileServiceError : public PowerProfileError {
  public:
    static constexpr const char* text = "No power profile service on this machine";
    NoPowerProfileServiceError() : PowerProfileError(text) {}
};

class PowerProfileService {
  public:
    static constexpr const char* powerSaver = "power-saver";
    static constexpr const char* balanced = "balanced";

    virtual ~PowerProfileService() = default;
    virtual std::string activeProfile() const = 0;
    virtual void setActiveProfile(const std::string& profile) const = 0;
};

// The service on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured), or on the bus at
// `address`: "net.hadess.PowerProfiles" at /net/hadess/PowerProfiles, else
// "org.freedesktop.UPower.PowerProfiles" at /org/freedesktop/UPower/PowerProfiles, whichever
// answers. Each call opens its own connection, so the object holds no state.
std::shared_ptr<const PowerProfileService>
busPowerProfileService(std::optional<std::string> address = std::nullopt);

}  // namespace joulix
