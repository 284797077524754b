// The daemon's privileged requests against the system services they rely on, each started by the
// test on its private system bus: the packaged bus policy as the outer gate, the polkit mock
// deciding, the real power-profiles-daemon (or dbusmock's stand-in) switching. The second user is
// uid 65534 through setpriv, no account made.
#include "SystemServices.h"

#include "JoulixDaemon/CallerAuthority.h"
#include "Platform/PowerProfileService.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using testing::ChildProcess;
using testing::runCommand;

constexpr const char* asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
const std::vector<std::string> nobodysSleep = {"setpriv",        "--reuid=65534", "--regid=65534",
                                               "--clear-groups", "sleep",         "300"};

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const PowerProfileError& error) {
        return error.what();
    }
    return "no failure";
}

class PrivilegedServiceTests : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to own names, mount and change user";
        services = std::make_unique<testing::SystemServices>();
        daemon = std::make_unique<testing::RunningDaemon>(services->bus);
        ASSERT_TRUE(daemon->serving);
    }
    testing::CommandOutput joulix(const std::string& arguments, const std::string& user = {}) {
        return runCommand(services->onSystemBus(user + testing::joulixPath + " " + arguments +
                                                " --address='" + services->bus.address + "'"));
    }
    std::unique_ptr<testing::SystemServices> services;
    std::unique_ptr<testing::RunningDaemon> daemon;
};

TEST_F(PrivilegedServiceTests, TerminationNeedsOwnershipRootOrPolkitAndAZombieHasEnded) {
    ChildProcess nobodys(nobodysSleep), nobodysOther(nobodysSleep), roots({"sleep", "300"});
    ASSERT_TRUE(testing::waitUntilRunsAs(nobodys.pid(), 65534));
    ASSERT_TRUE(testing::waitUntilRunsAs(nobodysOther.pid(), 65534));
    const auto terminate = [](pid_t pid) { return "terminate " + std::to_string(pid); };

    const auto refused = joulix(terminate(roots.pid()), asNobody);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output,
              "Not authorised to end process " + std::to_string(roots.pid()) + " of user root\n");
    EXPECT_FALSE(roots.exitsWithin(0.1));
    EXPECT_EQ(joulix(terminate(nobodys.pid()), asNobody).status, 0);
    EXPECT_TRUE(nobodys.exitsWithin(1));
    EXPECT_EQ(joulix(terminate(nobodysOther.pid())).status, 0);  // root's call
    EXPECT_TRUE(nobodysOther.exitsWithin(1));
    services->grant({CallerAuthority::terminateAnyAction});
    EXPECT_EQ(joulix(terminate(roots.pid()), asNobody).status, 0);
    EXPECT_TRUE(roots.exitsWithin(1));

    const pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    siginfo_t exited{};  // waits until it has exited, and leaves it unreaped
    ::waitid(P_PID, static_cast<id_t>(zombie), &exited, WEXITED | WNOWAIT);
    const auto ended = joulix(terminate(zombie));
    EXPECT_EQ(ended.status, 0);
    EXPECT_EQ(ended.output, "Process " + std::to_string(zombie) + " is already stopped.\n");
    ::waitpid(zombie, nullptr, 0);
}

TEST_F(PrivilegedServiceTests, LowPowerModeThroughTheRealProfileService) {
    ASSERT_TRUE(services->startRealProfileService()) << "power-profiles-daemon did not start";
    EXPECT_EQ(joulix("low-power status").output, "off (balanced)\n");

    // The profile service asks polkit too, and refuses in its own words.
    const auto refused = joulix("low-power on");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "Not Authorized: net.hadess.PowerProfiles.switch-profile\n");
    EXPECT_EQ(joulix("low-power status").output, "off (balanced)\n");

    services->grant({"net.hadess.PowerProfiles.switch-profile"});
    const auto profiles = busPowerProfileService(services->bus.address);
    EXPECT_EQ(failureOf([&] { profiles->setActiveProfile("turbo"); }),
              "Invalid profile name 'turbo'");
    profiles->setActiveProfile("performance");
    EXPECT_EQ(joulix("low-power status").output, "off (performance)\n");
    EXPECT_EQ(joulix("low-power on").status, 0);
    EXPECT_EQ(joulix("low-power status").output, "on (power-saver)\n");
    // The second user passes the bus policy of this test, but polkit does not grant it.
    const auto nobodyRefused = joulix("low-power off", asNobody);
    EXPECT_EQ(nobodyRefused.output, "Not authorised to switch Low Power Mode\n");
    EXPECT_EQ(joulix("low-power off").status, 0);
    EXPECT_EQ(joulix("low-power status", asNobody).output, "off (performance)\n");
}

TEST_F(PrivilegedServiceTests, LowPowerModeOffRestoresTheEarlierProfileAndVerifies) {
    ASSERT_TRUE(services->startProfileMock("performance"));
    EXPECT_EQ(joulix("low-power on").status, 0);
    EXPECT_EQ(joulix("low-power status").output, "on (power-saver)\n");
    EXPECT_EQ(joulix("low-power off").status, 0);
    EXPECT_EQ(joulix("low-power status").output, "off (performance)\n");

    // A service that accepts the switch but keeps its profile fails the read-back.
    services->callProfileMock("AddMethod sssss org.freedesktop.DBus.Properties Set ssv '' pass");
    const auto unchanged = joulix("low-power on");
    EXPECT_EQ(unchanged.status, 1);
    EXPECT_EQ(unchanged.output, "The power profile service completed but the active profile "
                                "remained performance (asked for power-saver)\n");

    services->callProfileMock("AddMethod sssss org.freedesktop.DBus.Properties Set ssv '' "
                              "'raise dbus.exceptions.DBusException(\"Switching is held\", "
                              "name=\"net.hadess.PowerProfiles.Error.Held\")'");
    const auto refused = joulix("low-power on");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "Switching is held\n");
}

// The packaged policy on a bus shaped like the system bus: anyone may ping, only root and the
// group "joulix" may call the privileged methods (and the daemon then decides whose processes they
// may end).
TEST(BusPolicyTests, OutsiderMayPingButNotCallThePrivilegedMethods) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the name and to add a group";
    // The group must exist before the bus reads the policy; one this test creates it removes, one
    // that existed before is left as it was.
    struct CreatedGroup {
        bool created = runCommand("getent group joulix").status != 0 &&
                       runCommand("groupadd --system joulix").status == 0;
        ~CreatedGroup() {
            if (created) runCommand("groupdel joulix");
        }
    } group;
    const auto gid = runCommand("getent group joulix | cut -d: -f3");
    ASSERT_EQ(gid.status, 0);
    testing::PrivateBus bus(JOULIX_FIXTURES "/../../packaging/com.joulix.metricsd.conf");
    testing::RunningDaemon daemon(bus);
    ASSERT_TRUE(daemon.serving);
    const std::string member =
        "setpriv --reuid=65534 --regid=65534 --groups=" + std::to_string(std::stoi(gid.output)) +
        " ";
    const auto as = [&](const std::string& user, const std::string& call) {
        return runCommand(user + testing::busctl(bus.address, call));
    };

    ChildProcess target({"sleep", "300"});
    const auto terminate = "TerminateProcess i " + std::to_string(target.pid());
    EXPECT_EQ(as(asNobody, "Ping").output, "b true\n");
    for (const auto& call : {terminate, std::string("SetLowPowerMode b true")}) {
        const auto result = as(asNobody, call);
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find("Access denied"), std::string::npos) << result.output;
    }
    // A member passes the bus policy; the daemon itself then refuses root's process (no polkit
    // on this bus), and the member's own process it ends.
    EXPECT_EQ(as(member, terminate).output, "bs false \"Not authorised to end process " +
                                                std::to_string(target.pid()) + " of user root\"\n");
    EXPECT_FALSE(target.exitsWithin(0.1));
    ChildProcess own(nobodysSleep);
    ASSERT_TRUE(testing::waitUntilRunsAs(own.pid(), 65534));
    EXPECT_EQ(as(member, "TerminateProcess i " + std::to_string(own.pid())).output,
              "bs true \"\"\n");
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
    ASSERT_TRUE(testing::eventually(15, [&] { return runCommand(ask).status == 0; }));
    EXPECT_EQ(busPowerProfileService(bus.address)->activeProfile(), "performance");
}

}  // namespace
}  // namespace joulix
