#include "Platform/PowerProfileService.h"

#include <array>
#include <sdbus-c++/sdbus-c++.h>
#include <string_view>

namespace joulix {
namespace {

struct Publication {
    const char* busName;
    const char* objectPath;
};

// Older services publish only the first; newer power-profiles-daemon publishes both.
constexpr std::array<Publication, 2> publications{{
    {"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles"},
    {"org.freedesktop.UPower.PowerProfiles", "/org/freedesktop/UPower/PowerProfiles"},
}};

constexpr const char* activeProfileProperty = "ActiveProfile";
// A service that cannot be reached or does not answer within this long counts as refusing.
constexpr uint64_t callTimeoutMicroseconds = 10'000'000;

// Errors that mean "nobody publishes this here", as opposed to a refusal by a service.
bool meansNotPublished(const sdbus::Error& error) {
    static constexpr std::array<std::string_view, 6> names{
        "org.freedesktop.DBus.Error.ServiceUnknown",
        "org.freedesktop.DBus.Error.NameHasNoOwner",
        "org.freedesktop.DBus.Error.Spawn.ServiceNotFound",
        "org.freedesktop.DBus.Error.UnknownObject",
        "org.freedesktop.DBus.Error.UnknownInterface",
        "org.freedesktop.DBus.Error.UnknownMethod",
    };
    for (const auto name : names) {
        if (error.getName() == name) return true;
    }
    return false;
}

std::string describe(const sdbus::Error& error) {
    return error.getMessage().empty() ? error.getName() : error.getMessage();
}

class BusPowerProfileService final : public PowerProfileService {
  public:
    explicit BusPowerProfileService(std::optional<std::string> address)
        : address_(std::move(address)) {}

    std::string activeProfile() const override {
        std::string profile;
        onFirstPublication([&](sdbus::IProxy& proxy, const char* interface) {
            profile =
                proxy.getProperty(activeProfileProperty).onInterface(interface).get<std::string>();
        });
        return profile;
    }

    void setActiveProfile(const std::string& profile) const override {
        onFirstPublication([&](sdbus::IProxy& proxy, const char* interface) {
            proxy.setProperty(activeProfileProperty).onInterface(interface).toValue(profile);
        });
    }

  private:
    template <typename Call> void onFirstPublication(Call call) const {
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            connection = address_ ? sdbus::createSessionBusConnectionWithAddress(*address_)
                                  : sdbus::createSystemBusConnection();
            connection->setMethodCallTimeout(callTimeoutMicroseconds);
        } catch (const sdbus::Error& error) {
            throw PowerProfileError("Cannot connect to the system bus: " + describe(error));
        }
        for (const auto& publication : publications) {
            try {
                const auto proxy =
                    sdbus::createProxy(*connection, publication.busName, publication.objectPath);
                call(*proxy, publication.busName);  // the interface is named as the bus name
                return;
            } catch (const sdbus::Error& error) {
                if (!meansNotPublished(error)) throw PowerProfileError(describe(error));
            }
        }
        throw NoPowerProfileServiceError();
    }

    const std::optional<std::string> address_;
};

}  // namespace

std::shared_ptr<const PowerProfileService>
busPowerProfileService(std::optional<std::string> address) {
    return std::make_shared<BusPowerProfileService>(std::move(address));
}

}  // namespace joulix
