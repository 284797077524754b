#include "JoulixDaemon/CallerAuthority.h"

#include "SharedModels/RuntimeLog.h"

#include <chrono>
#include <map>
#include <sdbus-c++/sdbus-c++.h>

namespace joulix {
namespace {

constexpr const char* polkitName = "org.freedesktop.PolicyKit1";
constexpr const char* polkitPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* polkitInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr uint32_t allowUserInteraction = 1;
// An authentication prompt waits for a person, but the answer must reach the client before its
// own 25 s call time-out does.
constexpr std::chrono::seconds authorizationTimeout{20};

bool meansNoAuthority(const sdbus::Error& error) {
    return error.getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           error.getName() == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           error.getName() == "org.freedesktop.DBus.Error.Spawn.ServiceNotFound";
}

class BusCallerAuthority final : public CallerAuthority {
  public:
    explicit BusCallerAuthority(BusSelection bus) : bus_(std::move(bus)) {}

    std::optional<uint32_t> unixUser(const std::string& busName) const override {
        try {
            const auto connection = DaemonBus::openConnection(bus_);
            const auto driver =
                sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
            uint32_t uid = 0;
            driver->callMethod("GetConnectionUnixUser")
                .onInterface("org.freedesktop.DBus")
                .withArguments(busName)
                .storeResultsTo(uid);
            return uid;
        } catch (const sdbus::Error& error) {
            RuntimeLog::warn("Daemon",
                             "Cannot learn the user of " + busName + ": " + error.getMessage());
            return std::nullopt;
        }
    }

    Answer checkAuthorization(const std::string& busName,
                              const std::string& action) const override {
        try {
            const auto connection = DaemonBus::openConnection(bus_);
            const auto authority = sdbus::createProxy(*connection, polkitName, polkitPath);
            const sdbus::Struct<std::string, std::map<std::string, sdbus::Variant>> subject{
                std::string("system-bus-name"),
                std::map<std::string, sdbus::Variant>{{"name", sdbus::Variant(busName)}}};
            sdbus::Struct<bool, bool, std::map<std::string, std::string>> result;
            authority->callMethod("CheckAuthorization")
                .onInterface(polkitInterface)
                .withTimeout(authorizationTimeout)
                .withArguments(subject, action, std::map<std::string, std::string>{},
                               allowUserInteraction, std::string())
                .storeResultsTo(result);
            return std::get<0>(result) ? Answer::authorized : Answer::notAuthorized;
        } catch (const sdbus::Error& error) {
            if (meansNoAuthority(error)) return Answer::noAuthority;
            RuntimeLog::warn("Daemon", "polkit did not decide " + action + " for " + busName +
                                           ": " + error.getMessage());
            return Answer::notAuthorized;
        }
    }

  private:
    const BusSelection bus_;
};

}  // namespace

std::shared_ptr<const CallerAuthority> busCallerAuthority(BusSelection bus) {
    return std::make_shared<BusCallerAuthority>(std::move(bus));
}

}  // namespace joulix
