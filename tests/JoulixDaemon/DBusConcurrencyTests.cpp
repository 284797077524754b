// The real transport with a service whose pmset is scripted to take its time.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/ClientDispatcher.h"
#include "JoulixDaemon/DBusListener.h"
#include "PrivateBus.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* busName = "com.joulix.test.metricsd";

class DBusConcurrencyTests : public ::testing::Test {
  protected:
    void SetUp() override {
        listener.setDelegate(service);
        listener.resume();
    }
    BatteryMetricsClient connect() {
        return BatteryMetricsClient(BusSelection::at(bus.address), busName);
    }

    double holdSeconds = 3.0;
    testing::PrivateBus bus;
    // `pmset -a` takes `holdSeconds`; `pmset -g` reports the mode on.
    BatteryMetricsService service{
        {.makeShellRunner =
             [hold = &holdSeconds] {
                 auto pmset = std::make_unique<testing::ScriptedShellRunner>();
                 pmset->script("/usr/bin/pmset", [seconds = *hold](
                                                     const std::vector<std::string>& arguments) {
                     if (arguments.front() == "-g") return ShellResult{0, " lowpowermode 1\n", ""};
                     std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                     return ShellResult{0, "", ""};
                 });
                 return pmset;
             },
         .pmsetInstalled = [] { return true; }}};
    DBusListener listener{BusSelection::at(bus.address), busName};
};

TEST_F(DBusConcurrencyTests, HeldRequestDoesNotDelayAnotherClientsPing) {
    auto slow = std::async(std::launch::async, [this] { return connect().setLowPowerMode(true); });
    auto client = connect();
    std::this_thread::sleep_for(200ms);  // the held request is under way
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        EXPECT_TRUE(client.ping());
        slowest = std::max(slowest, Clock::now() - start);
    }
    EXPECT_LT(slowest, 100ms);
    EXPECT_EQ(slow.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(slow.get(), (ServiceReply{true, std::nullopt}));
}

TEST_F(DBusConcurrencyTests, ManyClientsAllGetAnswers) {
    std::atomic<int> answered = 0;
    std::vector<std::thread> clients;
    for (int c = 0; c < 32; ++c) {
        clients.emplace_back([&] {
            auto client = connect();
            for (int i = 0; i < 200; ++i)
                answered += client.ping() ? 1 : 0;
        });
    }
    for (auto& client : clients)
        client.join();
    EXPECT_EQ(answered, 32 * 200);
}

// More slow calls than the daemon has workers (each client's call holds one): a new client's ping
// waits for a worker and is answered, not refused, and every slow call gets its reply.
TEST_F(DBusConcurrencyTests, PingWaitsForAWorkerWhileSlowCallsHoldThemAll) {
    holdSeconds = 1.0;
    const std::size_t slowCalls = ClientDispatcher::defaultMaximumWorkers + 6;
    std::vector<std::future<ServiceReply>> held;
    for (std::size_t i = 0; i < slowCalls; ++i) {
        held.push_back(
            std::async(std::launch::async, [this] { return connect().setLowPowerMode(true); }));
    }
    std::this_thread::sleep_for(300ms);  // every worker is held by now
    EXPECT_TRUE(connect().ping());
    for (auto& call : held)
        EXPECT_EQ(call.get(), (ServiceReply{true, std::nullopt}));
}

TEST_F(DBusConcurrencyTests, ClientLeavingMidCallLeavesTheDaemonServing) {
    holdSeconds = 1.0;
    // busctl gives up after 0.2 s and leaves the bus while its call is still running.
    const auto gaveUp = testing::runCommand(
        "busctl --timeout=0.2 --address='" + bus.address + "' call " + busName +
        " /com/joulix/test/metricsd com.joulix.test.metricsd.BatteryMetrics SetLowPowerMode b "
        "true");
    EXPECT_NE(gaveUp.status, 0);
    auto client = connect();
    EXPECT_TRUE(client.ping());
    std::this_thread::sleep_for(1s);  // the abandoned call has finished and replied to nobody
    EXPECT_TRUE(client.ping());
    EXPECT_EQ(client.setLowPowerMode(true), (ServiceReply{true, std::nullopt}));
}

}  // namespace
}  // namespace joulix
