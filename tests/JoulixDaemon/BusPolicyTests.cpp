// The packaged bus policy, loaded into a private bus shaped like the system bus: anyone may
// ping, only root and the group "joulix" may call the privileged methods.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "PrivateBus.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::runCommand;

constexpr const char* outsider = "joulix-outsider";
constexpr const char* member = "joulix-member";  // of the group "joulix"

class BusPolicyTests : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the name and to add users";
        // The group must exist before the bus reads the policy.
        ASSERT_EQ(runCommand("getent group joulix || groupadd --system joulix").status, 0);
        const std::string addUser = "useradd --system --no-create-home --shell /usr/sbin/nologin ";
        ASSERT_EQ(runCommand(std::string("id -u ") + outsider + " || " + addUser + outsider).status,
                  0);
        ASSERT_EQ(
            runCommand(std::string("id -u ") + member + " || " + addUser + "-G joulix " + member)
                .status,
            0);
        bus = std::make_unique<testing::PrivateBus>(JOULIX_FIXTURES
                                                    "/../../packaging/com.joulix.metricsd.conf");
        daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
            testing::binary("JoulixDaemon/JoulixDaemon"), "--address", bus->address()});
        ASSERT_TRUE(testing::waitUntilServing(bus->address(), "com.joulix.metricsd"));
    }

    // busctl (a client we did not write) as `user`, with the user's groups.
    std::string as(const std::string& user, const std::string& call) {
        return "setpriv --reuid=" + user + " --regid=" + user +
               " --init-groups busctl --address='" + bus->address() +
               "' call com.joulix.metricsd /com/joulix/metricsd "
               "com.joulix.metricsd.BatteryMetrics " +
               call + " 2>&1";
    }

    std::unique_ptr<testing::PrivateBus> bus;
    std::unique_ptr<ChildProcess> daemon;
};

TEST_F(BusPolicyTests, OutsiderMayPingButNotCallThePrivilegedMethods) {
    ChildProcess target({"sleep", "300"});
    EXPECT_EQ(runCommand(as(outsider, "Ping")).output, "b true\n");
    for (const auto& call : {"TerminateProcess i " + std::to_string(target.pid()),
                             std::string("SetLowPowerMode b true")}) {
        const auto result = runCommand(as(outsider, call));
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find("Access denied"), std::string::npos) << result.output;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(target.exited());

    // A member of the group may.
    EXPECT_EQ(runCommand(as(member, "TerminateProcess i " + std::to_string(target.pid()))).output,
              "bs true \"\"\n");
}

}  // namespace
}  // namespace joulix
