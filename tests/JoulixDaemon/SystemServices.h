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
    SystemServices();

    // Sets the actions the polkit mock grants (none at first).
    void grant(const std::vector<std::string>& actions) const;
    // Starts the real power-profiles-daemon; false when it is not installed or did not appear.
    bool startRealProfileService();
    // Starts dbusmock's power profile template with `activeProfile`.
    bool startProfileMock(const std::string& activeProfile = "balanced");
    // Calls the mock's org.freedesktop.DBus.Mock interface on the profile object ("AddMethod
    // ..." in busctl's argument syntax).
    std::string callProfileMock(const std::string& call) const;
    // True once `name` has an owner on the bus (within 15 s).
    bool waitForName(const std::string& name) const;
    // `command` run as a shell command with the private bus as the system bus.
    std::string onSystemBus(const std::string& command) const;

    PrivateBus bus;
    std::string sysfsRoot;
    std::unique_ptr<ChildProcess> polkit, profiles;
};

}  // namespace joulix::testing
