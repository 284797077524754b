#include "JoulixDaemon/ClientDispatcher.h"

#include <future>
#include <gtest/gtest.h>

namespace joulix {
namespace {

// A client that keeps sending while its worker is held gets refused once its queue is full;
// other clients are still served.
TEST(ClientQueueLimitTests, RefusesRequestsBeyondTheClientsQueue) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ClientDispatcher dispatcher([](ClientConnection&) { return true; });
    ASSERT_TRUE(
        dispatcher.dispatch(":1.1", [released](BatteryMetricsXPCProtocol*) { released.wait(); }));
    // The held request may still be queued rather than running; allow for either.
    std::size_t admitted = 0;
    while (dispatcher.dispatch(":1.1", [](BatteryMetricsXPCProtocol*) {}))
        ASSERT_LE(++admitted, ClientDispatcher::maximumQueuedRequests);
    EXPECT_GE(admitted + 1, ClientDispatcher::maximumQueuedRequests);

    std::promise<void> other;
    EXPECT_TRUE(
        dispatcher.dispatch(":1.2", [&](BatteryMetricsXPCProtocol*) { other.set_value(); }));
    other.get_future().wait();
    release.set_value();
}

}  // namespace
}  // namespace joulix
