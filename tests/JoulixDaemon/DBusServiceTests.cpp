// The daemon on a private bus, driven by busctl (a client we did not write) and by joulix.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "PrivateBus.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PrivateBus;
using testing::runCommand;

class DBusServiceTests : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<ChildProcess>(std::vector<std::string>{
            testing::binary("JoulixDaemon/JoulixDaemon"), "--address", bus->address()});
        ready = testing::waitUntilServing(bus->address(), "com.joulix.metricsd");
    }
    static void TearDownTestSuite() {
        daemon.reset();
        bus.reset();
    }
    void SetUp() override { ASSERT_TRUE(ready) << "the daemon did not come up"; }

    static std::string busctl(const std::string& arguments) {
        return "busctl --address='" + bus->address() +
               "' call com.joulix.metricsd /com/joulix/metricsd "
               "com.joulix.metricsd.BatteryMetrics " +
               arguments + " 2>&1";
    }
    static std::string joulix(const std::string& command, const std::string& arguments = {}) {
        return testing::joulixPath + " " + command + " --address='" + bus->address() + "' " +
               arguments + " 2>&1";
    }

    static inline std::unique_ptr<PrivateBus> bus;
    static inline std::unique_ptr<ChildProcess> daemon;
    static inline bool ready = false;
};

TEST_F(DBusServiceTests, PingIsAnsweredToEveryClient) {
    const auto viaBusctl = runCommand(busctl("Ping"));
    EXPECT_EQ(viaBusctl.status, 0);
    EXPECT_EQ(viaBusctl.output, "b true\n");
    const auto viaJoulix = runCommand(joulix("ping"));
    EXPECT_EQ(viaJoulix.status, 0);
    EXPECT_EQ(viaJoulix.output, "alive\n");
}

TEST_F(DBusServiceTests, TerminationRepliesToEveryClient) {
    struct Case {
        std::string name;
        std::function<std::unique_ptr<ChildProcess>()> target;  // null: `pid` is used
        int32_t pid;
        bool success;
        std::string message;  // "%" stands for the pid
    };
    const auto sleeper = [](bool ignoreSigterm) {
        return [ignoreSigterm] {
            return std::make_unique<ChildProcess>(std::vector<std::string>{"sleep", "300"},
                                                  ignoreSigterm);
        };
    };
    const int32_t daemonPid = daemon->pid();
    const std::vector<Case> cases = {
        {"vacant pid", nullptr, testing::vacantPid(), true, "Process % is already stopped."},
        {"zero", nullptr, 0, false, "Invalid PID 0."},
        {"minus one", nullptr, -1, false, "Invalid PID -1."},
        {"init", nullptr, 1, false, "Refusing to terminate the init process (1)."},
        {"the daemon", nullptr, daemonPid, false, "Refusing to terminate the current process (%)."},
        {"exits on SIGTERM", sleeper(false), 0, true, ""},
        {"ignores SIGTERM", sleeper(true), 0, true, "Process % required SIGKILL."},
    };
    for (const auto& c : cases) {
        for (const bool useBusctl : {true, false}) {
            const auto target = c.target ? c.target() : nullptr;
            const int32_t pid = target ? target->pid() : c.pid;
            auto message = c.message;
            if (const auto at = message.find('%'); at != std::string::npos) {
                message.replace(at, 1, std::to_string(pid));
            }
            const auto name = c.name + (useBusctl ? " (busctl)" : " (joulix)");
            if (useBusctl) {
                const auto result =
                    runCommand(busctl("TerminateProcess i -- " + std::to_string(pid)));
                EXPECT_EQ(result.output, std::string("bs ") + (c.success ? "true" : "false") +
                                             " \"" + message + "\"\n")
                    << name;
            } else {
                const auto result = runCommand(joulix("terminate", std::to_string(pid)));
                EXPECT_EQ(result.status, c.success ? 0 : 1) << name;
                EXPECT_EQ(result.output, message.empty() ? "" : message + "\n") << name;
            }
            if (target) {
                for (int i = 0; i < 100 && !target->exited(); ++i)
                    std::this_thread::sleep_for(5ms);
                EXPECT_TRUE(target->exited()) << name;
            }
        }
    }
    EXPECT_EQ(::kill(daemonPid, 0), 0);
}

TEST_F(DBusServiceTests, LowPowerModeWithoutPmsetReportsTheLaunchFailure) {
    if (std::filesystem::exists("/usr/bin/pmset")) GTEST_SKIP() << "this machine has pmset";
    const auto viaBusctl = runCommand(busctl("SetLowPowerMode b true"));
    EXPECT_EQ(viaBusctl.output.rfind("bs false \"Failed to launch command: ", 0), 0u)
        << viaBusctl.output;
    const auto viaJoulix = runCommand(joulix("low-power", "off"));
    EXPECT_EQ(viaJoulix.status, 1);
    EXPECT_EQ(viaJoulix.output.rfind("Failed to launch command: ", 0), 0u) << viaJoulix.output;
}

TEST_F(DBusServiceTests, MalformedCallsGetErrorRepliesAndTheDaemonServesOn) {
    struct Case {
        std::string call;
        std::string error;
    };
    const std::vector<Case> cases = {
        {busctl("Reboot"), "Unknown method"},
        {busctl("TerminateProcess s 12"), "Invalid arguments"},
        {busctl("SetLowPowerMode i 1"), "Invalid arguments"},
        {"busctl --address='" + bus->address() +
             "' call com.joulix.metricsd /elsewhere com.joulix.metricsd.BatteryMetrics Ping 2>&1",
         "Unknown object"},
    };
    for (const auto& c : cases) {
        const auto result = runCommand(c.call);
        EXPECT_NE(result.status, 0) << c.call;
        EXPECT_NE(result.output.find(c.error), std::string::npos) << result.output;
    }
    EXPECT_EQ(runCommand(busctl("Ping")).output, "b true\n");
}

TEST(DaemonClientTests, UnreachableDaemonIsNamedWithItsBus) {
    PrivateBus emptyBus;
    const auto result = testing::runJoulix("ping --address='" + emptyBus.address() + "' 2>&1");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output.rfind("joulix: Cannot reach com.joulix.metricsd on the bus at " +
                                      emptyBus.address() + ": ",
                                  0),
              0u)
        << result.output;
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1);
}

TEST(DaemonBusTests, ObjectPathAndInterfaceFollowTheBusName) {
    EXPECT_EQ(DaemonBus::objectPath("com.joulix.metricsd"), "/com/joulix/metricsd");
    EXPECT_EQ(DaemonBus::interfaceName("com.joulix.metricsd"),
              "com.joulix.metricsd.BatteryMetrics");
    // "-" is allowed in bus names but not in object paths.
    EXPECT_EQ(DaemonBus::objectPath("org.my-company.metricsd"), "/org/my_company/metricsd");
}

}  // namespace
}  // namespace joulix
