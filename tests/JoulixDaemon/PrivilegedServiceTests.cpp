// The daemon's privileged requests against the system services they rely on, each started by the
// test on its private system bus: the polkit mock deciding, the real power-profiles-daemon (or
// dbusmock's stand-in) switching. The second user is uid 65534 through setpriv, no account made.
#include "SystemServices.h"

#include "JoulixDaemon/CallerAuthority.h"
#include "Platform/PowerProfileService.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::runCommand;

constexpr const char* asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

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
    static bool endedSoon(const ChildProcess& child) {
        for (int i = 0; i < 100 && !child.exited(); ++i)
            std::this_thread::sleep_for(10ms);
        return child.exited();
    }
    std::unique_ptr<testing::SystemServices> services;
    std::unique_ptr<testing::RunningDaemon> daemon;
};

TEST_F(PrivilegedServiceTests, TerminationNeedsOwnershipOrPolkit) {
    ChildProcess nobodys(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "300"});
    ChildProcess roots({"sleep", "300"});
    ASSERT_TRUE(testing::waitUntilRunsAs(nobodys.pid(), 65534));
    const auto terminate = [](const ChildProcess& target) {
        return "terminate " + std::to_string(target.pid());
    };

    const auto refused = joulix(terminate(roots), asNobody);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output,
              "Not authorised to end process " + std::to_string(roots.pid()) + " of user root\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(roots.exited());

    EXPECT_EQ(joulix(terminate(nobodys), asNobody).status, 0);
    EXPECT_TRUE(endedSoon(nobodys));

    services->grant({CallerAuthority::terminateAnyAction});
    EXPECT_EQ(joulix(terminate(roots), asNobody).status, 0);
    EXPECT_TRUE(endedSoon(roots));
}

TEST_F(PrivilegedServiceTests, RootMayEndAnyonesProcessAndAZombieHasEnded) {
    ChildProcess nobodys(
        {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "300"});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(joulix("terminate " + std::to_string(nobodys.pid())).status, 0);
    EXPECT_TRUE(endedSoon(nobodys));

    const pid_t zombie = ::fork();
    if (zombie == 0) ::_exit(0);
    siginfo_t exited{};  // waits until it has exited, and leaves it unreaped
    ::waitid(P_PID, static_cast<id_t>(zombie), &exited, WEXITED | WNOWAIT);
    const auto ended = joulix("terminate " + std::to_string(zombie));
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
    busPowerProfileService(services->bus.address)->setActiveProfile("performance");
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

}  // namespace
}  // namespace joulix
