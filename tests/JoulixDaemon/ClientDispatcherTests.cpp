#include "JoulixDaemon/ClientDispatcher.h"
#include "tests/cli/RunJoulix.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace joulix {
namespace {

using namespace std::chrono_literals;

// A request that blocks its worker until released.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    ClientDispatcher::Request request() {
        return [f = opened](BatteryMetricsXPCProtocol*) { f.wait(); };
    }
};

ClientDispatcher::Request note(std::promise<void>& done) {
    return [&done](BatteryMetricsXPCProtocol*) { done.set_value(); };
}

TEST(ClientDispatcherTests, RunsEachClientsRequestsInOrderAndAcceptsOnceOrGivesNoTarget) {
    std::atomic<int> accepted = 0;
    std::mutex lock;
    std::vector<int> order;
    ClientDispatcher dispatcher([&](ClientConnection&) { return ++accepted > 0; });
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(dispatcher.dispatch(":1.1", [&, i](BatteryMetricsXPCProtocol*) {
            std::lock_guard guard(lock);
            order.push_back(i);
        }));
    }
    std::promise<void> done;
    dispatcher.dispatch(":1.1", note(done));
    done.get_future().wait();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(accepted, 1);

    ClientDispatcher refusing([](ClientConnection&) { return false; });
    std::promise<BatteryMetricsXPCProtocol*> seen;
    refusing.dispatch(":1.1", [&](BatteryMetricsXPCProtocol* target) { seen.set_value(target); });
    EXPECT_EQ(seen.get_future().get(), nullptr);
}

TEST(ClientDispatcherTests, BusyClientHoldsNoOtherAndIdleWorkersMakeWayUpToTheBound) {
    ClientDispatcher dispatcher([](ClientConnection&) { return true; }, 2);
    Gate gate;
    std::promise<void> idleDone, started;
    dispatcher.dispatch(":1.1", note(idleDone));
    idleDone.get_future().wait();
    dispatcher.dispatch(":1.2", gate.request());
    // :1.1's worker turns idle just after its request, and makes way for :1.3.
    ASSERT_TRUE(testing::eventually(1, [&] {
        return dispatcher.dispatch(":1.3", [&, f = gate.opened](BatteryMetricsXPCProtocol*) {
            started.set_value();
            f.wait();
        });
    }));
    EXPECT_EQ(started.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(dispatcher.liveWorkerCount(), 2u);
    gate.open.set_value();
}

// Every worker held by a slow call: other clients wait for a worker instead of being refused,
// and are served as soon as one is free; only the global bound refuses.
TEST(ClientDispatcherTests, ClientsWaitForAWorkerWhileAllAreHeld) {
    ClientDispatcher dispatcher([](ClientConnection&) { return true; }, 2);
    Gate gate;
    ASSERT_TRUE(dispatcher.dispatch(":1.1", gate.request()));
    ASSERT_TRUE(dispatcher.dispatch(":1.2", gate.request()));
    std::atomic<int> served = 0;
    for (int i = 3; i <= 10; ++i) {
        EXPECT_TRUE(dispatcher.dispatch(":1." + std::to_string(i), [&](auto*) { ++served; }));
        EXPECT_TRUE(dispatcher.dispatch(":1." + std::to_string(i), [&](auto*) { ++served; }));
    }
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(served, 0);
    EXPECT_EQ(dispatcher.liveWorkerCount(), 2u);
    gate.open.set_value();
    EXPECT_TRUE(testing::eventually(2.5, [&] { return served == 16; }));
    EXPECT_LE(dispatcher.liveWorkerCount(), 2u);
}

// Requests are refused only beyond one client's queue (other clients are still served) or beyond
// the bound of requests waiting in all.
TEST(ClientDispatcherTests, RefusesOnlyBeyondAClientsQueueOrTheGlobalBound) {
    const struct {
        std::size_t workers;
        bool oneClient;
        std::size_t bound;
    } cases[] = {
        {ClientDispatcher::defaultMaximumWorkers, true, ClientDispatcher::maximumQueuedRequests},
        {1, false, ClientDispatcher::maximumWaitingRequests}};
    for (const auto& c : cases) {
        ClientDispatcher dispatcher([](ClientConnection&) { return true; }, c.workers);
        Gate held;
        ASSERT_TRUE(dispatcher.dispatch(":1.1", held.request()));
        // The held request may still be queued rather than running; allow for either.
        std::size_t admitted = 0;
        for (int i = 0; dispatcher.dispatch(c.oneClient ? ":1.1" : ":2." + std::to_string(i % 1000),
                                            [](auto*) {});
             ++i)
            ASSERT_LE(++admitted, c.bound);
        EXPECT_GE(admitted + 1, c.bound);
        if (c.oneClient) {
            std::promise<void> other;
            EXPECT_TRUE(dispatcher.dispatch(":1.2", note(other)));
            other.get_future().wait();
        }
        held.open.set_value();
    }
}

TEST(ClientDispatcherTests, ClientLeavingDropsQueuedRequestsAndEndsItsWorker) {
    ClientDispatcher dispatcher([](ClientConnection&) { return true; });
    Gate gate;
    std::atomic<bool> ranQueued = false;
    dispatcher.dispatch(":1.1", gate.request());
    dispatcher.dispatch(":1.1", [&](BatteryMetricsXPCProtocol*) { ranQueued = true; });
    dispatcher.clientDisappeared(":1.1");
    gate.open.set_value();
    EXPECT_TRUE(testing::eventually(1, [&] { return dispatcher.liveWorkerCount() == 0; }));
    EXPECT_FALSE(ranQueued);
}

}  // namespace
}  // namespace joulix
