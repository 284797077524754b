#include "SystemServices.h"

#include <filesystem>

namespace joulix::testing {

namespace {
constexpr const char* polkitName = "org.freedesktop.PolicyKit1";
constexpr const char* profileName = "net.hadess.PowerProfiles";
constexpr const char* realProfileService = "/usr/libexec/power-profiles-daemon";

std::vector<std::string> withSystemBus(const PrivateBus& bus, std::vector<std::string> command) {
    command.insert(command.begin(), {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address});
    return command;
}
}  // namespace

SystemServices::SystemServices()
    : bus(JOULIX_FIXTURES "/dbus/system-services.conf"), sysfsRoot(bus.directory + "/sysfs") {
    std::filesystem::create_directory(sysfsRoot);
    polkit = std::make_unique<ChildProcess>(
        withSystemBus(bus, {"/usr/bin/python3", "-m", "dbusmock", "--system", "-l",
                            bus.directory + "/polkit.log", "--template", "polkitd"}));
    if (!waitForName(polkitName)) throw Error("the polkit mock did not start");
}

void SystemServices::grant(const std::vector<std::string>& actions) const {
    std::string call = "SetAllowed as " + std::to_string(actions.size());
    for (const auto& action : actions)
        call += " " + action;
    runCommand(busctl(bus.address, call,
                      std::string(polkitName) +
                          " /org/freedesktop/PolicyKit1/Authority org.freedesktop.DBus.Mock"));
}

bool SystemServices::startRealProfileService() {
    if (!std::filesystem::exists(realProfileService)) return false;
    // unshare and sh exec in turn, so the pid kept is the service's own.
    profiles = std::make_unique<ChildProcess>(withSystemBus(
        bus, {"UMOCKDEV_DIR=" + sysfsRoot, "unshare", "--mount", "--propagation", "private", "sh",
              "-c", std::string("mount -t tmpfs tmpfs /var/lib && exec ") + realProfileService}));
    return waitForName(profileName);
}

bool SystemServices::startProfileMock(const std::string& activeProfile) {
    profiles = std::make_unique<ChildProcess>(
        withSystemBus(bus, {"/usr/bin/python3", "-m", "dbusmock", "--system", "-l",
                            bus.directory + "/profiles.log", "--template", "power_profiles_daemon",
                            "--parameters", "{\"ActiveProfile\": \"" + activeProfile + "\"}"}));
    return waitForName(profileName);
}

std::string SystemServices::callProfileMock(const std::string& call) const {
    return runCommand(busctl(bus.address, call,
                             std::string(profileName) +
                                 " /net/hadess/PowerProfiles org.freedesktop.DBus.Mock"))
        .output;
}

bool SystemServices::waitForName(const std::string& name) const {
    const auto ask = busctl(bus.address, "NameHasOwner s " + name,
                            "org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus");
    return eventually(15, [&] { return runCommand(ask).output == "b true\n"; });
}

std::string SystemServices::onSystemBus(const std::string& command) const {
    return "DBUS_SYSTEM_BUS_ADDRESS='" + bus.address + "' " + command;
}

}  // namespace joulix::testing
