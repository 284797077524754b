#pragma once
// The system services the daemon talks to, each started by the test on a private bus shaped like
// the system bus: python3-dbusmock's polkit authority (refusing every action until granted), and
// either the real power-profiles-daemon or dbusmock's stand-in for it. The real service runs in
// a private mount namespace with a tmpfs over /var/lib (its state file) and an empty sysfs root,
// so that it drives no hardware (placeholder driver) and the machine's profile is never written.
#include "PrivateBus.h"

#include <memory>
#include <string>
#include <vector>

namespace joulix::testing {

struct SystemServices {
    static constexpr const char* polkitName = "org.freedesktop.PolicyKit1";
    static constexpr const char* profileName = "net.hadess.PowerProfiles";

    SystemServices()
        : bus(JOULIX_FIXTURES "/dbus/system-services.conf"), sysfsRoot(bus.directory + "/sysfs") {
        std::filesystem::create_directory(sysfsRoot);
        polkit = startOnSystemBus({"/usr/bin/python3", "-m", "dbusmock", "--system", "-l",
                                   bus.directory + "/polkit.log", "--template", "polkitd"});
        if (!waitForName(polkitName)) throw Error("the polkit mock did not start");
    }

    // Sets the actions the polkit mock grants (none at first).
    void grant(const std::vector<std::string>& actions) const {
        std::string call = "SetAllowed as " + std::to_string(actions.size());
        for (const auto& action : actions)
            call += " " + action;
        runCommand(busctl(bus.address, call,
                          std::string(polkitName) +
                              " /org/freedesktop/PolicyKit1/Authority org.freedesktop.DBus.Mock"));
    }
    // Starts the real power-profiles-daemon; false when it is not installed or did not appear.
    bool startRealProfileService() {
        const std::string service = "/usr/libexec/power-profiles-daemon";
        if (!std::filesystem::exists(service)) return false;
        // unshare and sh exec in turn, so the pid kept is the service's own.
        profiles = startOnSystemBus({"UMOCKDEV_DIR=" + sysfsRoot, "unshare", "--mount",
                                     "--propagation", "private", "sh", "-c",
                                     "mount -t tmpfs tmpfs /var/lib && exec " + service});
        return waitForName(profileName);
    }
    // Starts dbusmock's power profile template with `activeProfile`.
    bool startProfileMock(const std::string& activeProfile = "balanced") {
        profiles = startOnSystemBus({"/usr/bin/python3", "-m", "dbusmock", "--system", "-l",
                                     bus.directory + "/profiles.log", "--template",
                                     "power_profiles_daemon", "--parameters",
                                     "{\"ActiveProfile\": \"" + activeProfile + "\"}"});
        return waitForName(profileName);
    }
    // Calls the mock's org.freedesktop.DBus.Mock interface on the profile object ("AddMethod
    // ..." in busctl's argument syntax).
    std::string callProfileMock(const std::string& call) const {
        return runCommand(busctl(bus.address, call,
                                 std::string(profileName) +
                                     " /net/hadess/PowerProfiles org.freedesktop.DBus.Mock"))
            .output;
    }
    // True once `name` has an owner on the bus (within 15 s).
    bool waitForName(const std::string& name) const {
        const auto ask = busctl(bus.address, "NameHasOwner s " + name,
                                "org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus");
        return eventually(15, [&] { return runCommand(ask).output == "b true\n"; });
    }
    // `command` run as a shell command with the private bus as the system bus.
    std::string onSystemBus(const std::string& command) const {
        return "DBUS_SYSTEM_BUS_ADDRESS='" + bus.address + "' " + command;
    }

    PrivateBus bus;
    std::string sysfsRoot;
    std::unique_ptr<ChildProcess> polkit, profiles;

  private:
    // `command` started with the private bus as the system bus.
    std::unique_ptr<ChildProcess> startOnSystemBus(std::vector<std::string> command) const {
        command.insert(command.begin(), {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus.address});
        return std::make_unique<ChildProcess>(command);
    }
};

}  // namespace joulix::testing
