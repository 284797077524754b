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

class BusPolicyTests : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the name and to add a user";
        if (runCommand(std::string("id -u ") + outsider).status != 0) {
            ASSERT_EQ(runCommand(std::string("useradd --system --no-create-home --shell "
                                             "/usr/sbin/nologin ") +
                                 outsider)
                          .status,
                      0);
        }
        bus = std::make_unique<testing::PrivateBus>(JOULIX_FIXTURES
                                                    "/../../packaging/com.joulix.metricsd.conf");
        daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
            testing::binary("JoulixDaemon/JoulixDaemon"), "--address", bus->address()});
        ASSERT_TRUE(testing::waitUntilServing(bus->address(), "com.joulix.metricsd"));
    }

    // busctl as the outsider (a client we did not write, with no group but its own).
    std::string asOutsider(const std::string& call) {
        return std::string("setpriv --reuid=") + outsider + " --regid=" + outsider +
               " --clear-groups busctl --address='" + bus->address() +
               "' call com.joulix.metricsd /com/joulix/metricsd "
               "com.joulix.metricsd.BatteryMetrics " +
               call;
    }

    std::unique_ptr<testing::PrivateBus> bus;
    std::unique_ptr<ChildProcess> daemon;
};

TEST_F(BusPolicyTests, OutsiderMayPingButNotCallThePrivilegedMethods) {
    ChildProcess target({"sleep", "300"});
    EXPECT_EQ(runCommand(asOutsider("Ping")).output, "b true\n");
    for (const auto& call : {"TerminateProcess i " + std::to_string(target.pid()),
                             std::string("SetLowPowerMode b true")}) {
        const auto result = runCommand(asOutsider(call));
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find("Access denied"), std::string::npos) << result.output;
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(target.exited());

    // Root may: the denial above is the policy, not a broken bus.
    BatteryMetricsClient root(BusSelection::at(bus->address()));
    EXPECT_TRUE(root.terminateProcess(target.pid()).success);
}

}  // namespace
}  // namespace joulix
