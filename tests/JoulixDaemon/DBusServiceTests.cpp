// The daemon on a private bus, driven by busctl (a client we did not write) and by joulix.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "PrivateBus.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using testing::runCommand;

class DBusServiceTests : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = std::make_unique<testing::PrivateBus>();
        daemon = std::make_unique<testing::RunningDaemon>(*bus);
    }
    static void TearDownTestSuite() {
        daemon.reset();
        bus.reset();
    }
    void SetUp() override { ASSERT_TRUE(daemon->serving) << "the daemon did not come up"; }

    static std::string busctl(const std::string& call) {
        return testing::busctl(bus->address, call);
    }
    static std::string joulix(const std::string& command, const std::string& arguments = {}) {
        return testing::joulixPath + " " + command + " --address='" + bus->address + "' " +
               arguments + " 2>&1";
    }

    static inline std::unique_ptr<testing::PrivateBus> bus;
    static inline std::unique_ptr<testing::RunningDaemon> daemon;
};

TEST_F(DBusServiceTests, PingIsAnsweredToEveryClientAndMalformedCallsGetErrors) {
    EXPECT_EQ(runCommand(busctl("Ping")).output, "b true\n");
    const auto viaJoulix = runCommand(joulix("ping"));
    EXPECT_EQ(viaJoulix.status, 0);
    EXPECT_EQ(viaJoulix.output, "alive\n");
    const std::pair<std::string, std::string> malformed[] = {
        {busctl("Reboot"), "Unknown method"},
        {busctl("TerminateProcess s 12"), "Invalid arguments"},
        {testing::busctl(bus->address, "Ping",
                         "com.joulix.metricsd /elsewhere com.joulix.metricsd.BatteryMetrics"),
         "Unknown object"},
    };
    for (const auto& [call, error] : malformed) {
        const auto result = runCommand(call);
        EXPECT_NE(result.status, 0) << call;
        EXPECT_NE(result.output.find(error), std::string::npos) << result.output;
    }
    EXPECT_EQ(runCommand(busctl("Ping")).output, "b true\n");
}

TEST_F(DBusServiceTests, TerminationRepliesToEveryClient) {
    enum class Target { pid, exitsOnSigterm, ignoresSigterm };
    struct Case {
        Target target;
        int32_t pid;
        bool success;
        std::string message;  // "%" stands for the pid
    };
    const int32_t daemonPid = daemon->process.pid();
    const Case cases[] = {
        {Target::pid, testing::vacantPid(), true, "Process % is already stopped."},
        {Target::pid, 0, false, "Invalid PID 0."},
        {Target::pid, -1, false, "Invalid PID -1."},
        {Target::pid, 1, false, "Refusing to terminate the init process (1)."},
        {Target::pid, daemonPid, false, "Refusing to terminate the current process (%)."},
        {Target::exitsOnSigterm, 0, true, ""},
        {Target::ignoresSigterm, 0, true, "Process % required SIGKILL."},
    };
    for (const auto& c : cases) {
        for (const bool useBusctl : {true, false}) {
            std::unique_ptr<testing::ChildProcess> child;
            if (c.target != Target::pid) {
                child = std::make_unique<testing::ChildProcess>(
                    std::vector<std::string>{"sleep", "300"}, c.target == Target::ignoresSigterm);
            }
            const auto pid = std::to_string(child ? child->pid() : c.pid);
            const auto message = std::regex_replace(c.message, std::regex("%"), pid);
            if (useBusctl) {
                EXPECT_EQ(runCommand(busctl("TerminateProcess i -- " + pid)).output,
                          std::string("bs ") + (c.success ? "true" : "false") + " \"" + message +
                              "\"\n");
            } else {
                const auto result = runCommand(joulix("terminate", pid));
                EXPECT_EQ(result.status, c.success ? 0 : 1) << c.message;
                EXPECT_EQ(result.output, message.empty() ? "" : message + "\n");
            }
            EXPECT_TRUE(!child || child->exitsWithin(0.5)) << c.message;
        }
    }
    EXPECT_EQ(::kill(daemonPid, 0), 0);
}

TEST_F(DBusServiceTests, LowPowerModeWithoutPmsetOrProfileServiceSaysSo) {
    if (std::filesystem::exists("/usr/bin/pmset")) GTEST_SKIP() << "this machine has pmset";
    const auto viaBusctl = runCommand(busctl("SetLowPowerMode b true"));
    EXPECT_EQ(viaBusctl.output, "bs false \"No power profile service on this machine\"\n");
    const auto viaJoulix = runCommand(joulix("low-power", "off"));
    EXPECT_EQ(viaJoulix.status, 1);
    EXPECT_EQ(viaJoulix.output, "No power profile service on this machine\n");
}

TEST(DaemonLifetimeTests, LosingTheBusLogsOneErrorAndExitsWithStatus1) {
    const testing::TemporaryDirectory folder;
    testing::PrivateBus bus;
    testing::RunningDaemon daemon(bus, folder.string() + "/daemon.txt");
    ASSERT_TRUE(daemon.serving);
    ::kill(bus.pid, SIGKILL);
    bus.pid = 0;
    ASSERT_TRUE(daemon.process.exitsWithin(5));
    EXPECT_EQ(daemon.process.wait(), 1);
    const std::string log = daemon.process.output(),
                      lost = "[ERROR] [Daemon] Lost the connection to the bus at " + bus.address;
    EXPECT_NE(log.find(lost), std::string::npos) << log;
    EXPECT_EQ(log.find(lost, log.find(lost) + 1), std::string::npos) << log;
}

// A name owner that never answers: the client says it waited, not that nobody was there.
TEST(DaemonClientTests, SilentDaemonIsToldApartFromAnUnreachableOne) {
    testing::PrivateBus bus;
    const auto silent = DaemonBus::openConnection(BusSelection::at(bus.address));
    silent->requestName(DaemonBus::busName());
    try {
        BatteryMetricsClient(BusSelection::at(bus.address), DaemonBus::busName(), 1s).ping();
        ADD_FAILURE() << "a reply came";
    } catch (const DaemonUnreachableError& error) {
        EXPECT_EQ(std::string(error.what()), "com.joulix.metricsd on the bus at " + bus.address +
                                                 " did not answer within 1 s");
    }
}

// A daemon absent from its bus is named with the bus, in one line (exit 1); only a plain decimal
// pid is sent to it, anything else is refused before any call.
TEST(DaemonClientTests, AnUnreachableDaemonIsNamedAndOnlyAPlainDecimalPidIsSent) {
    testing::PrivateBus emptyBus;
    const std::string unreachable =
        "joulix: Cannot reach com.joulix.metricsd on the bus at " + emptyBus.address + ": ";
    const std::vector<std::string> sent = {"ping", "terminate 12", "terminate 2147483647"},
                                   refused = {"terminate ' 12'",      "terminate '12 '",
                                              "terminate 0x10",       "terminate +12",
                                              "terminate 2147483648", "terminate 1e3"};
    for (const auto* arguments : {&sent, &refused}) {
        for (const auto& argument : *arguments) {
            const auto result =
                testing::runJoulix(argument + " --address='" + emptyBus.address + "' 2>&1");
            EXPECT_EQ(result.status == 1 && result.output.starts_with(unreachable) &&
                          std::count(result.output.begin(), result.output.end(), '\n') == 1,
                      arguments == &sent)
                << argument << ": " << result.output;
            EXPECT_EQ(result.output.find("not a decimal process identifier") != std::string::npos,
                      arguments == &refused)
                << argument << ": " << result.output;
        }
    }
}

TEST(DaemonBusTests, ObjectPathReplacesWhatIsValidInBusNamesOnly) {
    EXPECT_EQ(DaemonBus::objectPath("org.my-company.metricsd"), "/org/my_company/metricsd");
}

}  // namespace
}  // namespace joulix
