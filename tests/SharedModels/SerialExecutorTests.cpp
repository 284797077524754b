#include "SharedModels/SerialExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace joulix;
using namespace std::chrono_literals;

TEST(SerialExecutor, RunsTasksInOrderOnItsOwnThreadAndRethrowsInSyncCallers) {
    std::vector<int> order;
    std::optional<std::string> label;
    {
        SerialExecutor executor("test.serial");
        for (int i = 0; i < 100; ++i)
            executor.async([&order, i] { order.push_back(i); });
        executor.sync([&] {
            EXPECT_TRUE(executor.isCurrent());
            label = SerialExecutor::currentLabel();
            executor.sync([&] { order.push_back(100); });  // from the worker: runs at once
        });
        EXPECT_FALSE(executor.isCurrent());
        EXPECT_THROW(executor.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
        for (int i = 101; i < 200; ++i)
            executor.async([&order, i] { order.push_back(i); });
    }  // the destructor runs what is still queued
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(label, "test.serial");
    EXPECT_EQ(SerialExecutor::currentLabel(), std::nullopt);
}

TEST(SerialExecutor, RepeatingTimerFiresUntilCancelled) {
    SerialExecutor executor("test.timer");
    std::atomic<int> firings = 0;
    const auto timer = executor.scheduleRepeating(5ms, [&] { ++firings; });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (firings < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    executor.cancel(timer);
    const int afterCancel = firings;
    EXPECT_GE(afterCancel, 3);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(firings, afterCancel);
}
