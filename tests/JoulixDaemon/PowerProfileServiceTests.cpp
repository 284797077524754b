// The power profile client against the real power-profiles-daemon and against stand-ins, each on
// the test's private system bus.
#include "Platform/PowerProfileService.h"
#include "SystemServices.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using testing::ChildProcess;
using testing::SystemServices;

constexpr const char* switchProfile = "net.hadess.PowerProfiles.switch-profile";

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const PowerProfileError& error) {
        return error.what();
    }
    return "no failure";
}

TEST(PowerProfileServiceTests, RealServiceSwitchesOnlyWhenPolkitAllowsAndNamesItsRefusals) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own names and to mount";
    SystemServices services;
    ASSERT_TRUE(services.startRealProfileService()) << "power-profiles-daemon did not start";
    const auto profiles = busPowerProfileService(services.bus.address);
    EXPECT_EQ(profiles->activeProfile(), "balanced");

    EXPECT_EQ(failureOf([&] { profiles->setActiveProfile("power-saver"); }),
              "Not Authorized: net.hadess.PowerProfiles.switch-profile");
    EXPECT_EQ(profiles->activeProfile(), "balanced");

    services.grant({switchProfile});
    profiles->setActiveProfile("power-saver");
    EXPECT_EQ(profiles->activeProfile(), "power-saver");
    EXPECT_EQ(failureOf([&] { profiles->setActiveProfile("turbo"); }),
              "Invalid profile name 'turbo'");
    EXPECT_EQ(profiles->activeProfile(), "power-saver");
}

TEST(PowerProfileServiceTests, NoServiceOnTheBusIsSaidPlainly) {
    testing::PrivateBus bus;
    const auto profiles = busPowerProfileService(bus.address);
    EXPECT_EQ(failureOf([&] { profiles->activeProfile(); }), NoPowerProfileServiceError::text);
    EXPECT_EQ(failureOf([&] { profiles->setActiveProfile("balanced"); }),
              NoPowerProfileServiceError::text);
}

TEST(PowerProfileServiceTests, NewerPublicationAloneIsUsed) {
    testing::PrivateBus bus;
    const std::string name = "org.freedesktop.UPower.PowerProfiles";
    const std::string path = "/org/freedesktop/UPower/PowerProfiles";
    ChildProcess mock({"env", "DBUS_SESSION_BUS_ADDRESS=" + bus.address, "/usr/bin/python3", "-m",
                       "dbusmock", "--session", "-l", bus.directory + "/mock.log", name, path,
                       name});
    const auto ask =
        testing::busctl(bus.address, "AddProperty ssv " + name + " ActiveProfile s performance",
                        name + " " + path + " org.freedesktop.DBus.Mock");
    bool added = false;
    for (int attempt = 0; attempt < 300 && !added; ++attempt) {
        added = testing::runCommand(ask).status == 0;
        if (!added) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(added);
    EXPECT_EQ(busPowerProfileService(bus.address)->activeProfile(), "performance");
}

}  // namespace
}  // namespace joulix
