// The real transport with a service whose pmset is scripted to take its time.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/DBusListener.h"
#include "PrivateBus.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace joulix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* busName = "com.joulix.test.metricsd";

// `pmset -a` takes `holdSeconds`; `pmset -g` reports the mode on.
class SlowPmset final : public ShellRunning {
  public:
    explicit SlowPmset(double holdSeconds) : holdSeconds_(holdSeconds) {}
    ShellResult run(const std::string&, const std::vector<std::string>& arguments) const override {
        if (arguments.front() == "-g") return {0, " lowpowermode 1\n", ""};
        std::this_thread::sleep_for(std::chrono::duration<double>(holdSeconds_));
        return {0, "", ""};
    }

  private:
    double holdSeconds_;
};

class DBusConcurrencyTests : public ::testing::Test {
  protected:
    void SetUp() override {
        listener.setDelegate(service);
        listener.resume();
    }
    BatteryMetricsClient connect() {
        return BatteryMetricsClient(BusSelection::at(bus.address()), busName);
    }

    double holdSeconds = 3.0;
    testing::PrivateBus bus;
    BatteryMetricsService service{[this] { return std::make_unique<SlowPmset>(holdSeconds); }};
    DBusListener listener{BusSelection::at(bus.address()), busName};
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
    constexpr int clients = 32;
    constexpr int pings = 200;
    std::atomic<int> answered = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto client = connect();
            for (int i = 0; i < pings; ++i)
                answered += client.ping() ? 1 : 0;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(answered, clients * pings);
}

TEST_F(DBusConcurrencyTests, ClientLeavingMidCallLeavesTheDaemonServing) {
    holdSeconds = 1.0;
    // busctl gives up after 0.2 s and leaves the bus while its call is still running.
    const auto gaveUp = testing::runCommand(
        "busctl --timeout=0.2 --address='" + bus.address() + "' call " + busName +
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
