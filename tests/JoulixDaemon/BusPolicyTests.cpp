// The packaged bus policy, loaded into a private bus shaped like the system bus: anyone may
// ping, only root and the group "joulix" may call the privileged methods.
#include "PrivateBus.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace joulix {
namespace {

using testing::runCommand;

TEST(BusPolicyTests, OutsiderMayPingButNotCallThePrivilegedMethods) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the name and to add users";
    // The group must exist before the bus reads the policy.
    const std::string addUser = "useradd --system --no-create-home --shell /usr/sbin/nologin ";
    ASSERT_EQ(runCommand("getent group joulix || groupadd --system joulix").status, 0);
    ASSERT_EQ(runCommand("id -u joulix-outsider || " + addUser + "joulix-outsider").status, 0);
    ASSERT_EQ(runCommand("id -u joulix-member || " + addUser + "-G joulix joulix-member").status,
              0);
    testing::PrivateBus bus(JOULIX_FIXTURES "/../../packaging/com.joulix.metricsd.conf");
    testing::RunningDaemon daemon(bus);
    ASSERT_TRUE(daemon.serving);
    const auto as = [&](const std::string& user, const std::string& call) {
        return runCommand("setpriv --reuid=" + user + " --regid=" + user + " --init-groups " +
                          testing::busctl(bus.address, call));
    };

    testing::ChildProcess target({"sleep", "300"});
    const auto terminate = "TerminateProcess i " + std::to_string(target.pid());
    EXPECT_EQ(as("joulix-outsider", "Ping").output, "b true\n");
    for (const auto& call : {terminate, std::string("SetLowPowerMode b true")}) {
        const auto result = as("joulix-outsider", call);
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find("Access denied"), std::string::npos) << result.output;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(target.exited());
    EXPECT_EQ(as("joulix-member", terminate).output, "bs true \"\"\n");
}

}  // namespace
}  // namespace joulix
