#pragma once
// A serial executor: one worker thread runs submitted tasks one at a time, in submission order.
// - async(task) queues a task and returns at once.
// - sync(task) queues a task and waits until it has run; an exception it throws is rethrown in
//   the waiting caller. Called from the worker itself, it runs the task at once (waiting for
//   itself would never end).
// - scheduleRepeating(interval, task) runs the task on the worker every interval, first one
//   interval from now; a firing that falls behind is taken once, not repeated. cancel(id) stops
//   it: after cancel returns, the task is not running and never runs again.
// - isCurrent() tells a task that it runs on this executor; currentLabel() names the executor
//   the calling thread works for, if any.
// - The destructor drops the timers, runs every task already queued, and joins the worker.
// Tasks given to async and timer tasks must not throw. Callable from any thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace joulix {

class SerialExecutor {
  public:
    using Task = std::function<void()>;
    using TimerID = uint64_t;

    explicit SerialExecutor(std::string label);
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    const std::string& label() const { return label_; }

    void async(Task task);
    void sync(const Task& task);

    // interval must be positive.
    TimerID scheduleRepeating(std::chrono::nanoseconds interval, Task task);
    void cancel(TimerID timer);

    bool isCurrent() const;
    static std::optional<std::string> currentLabel();

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        TimerID id;
        Clock::time_point due;
        std::chrono::nanoseconds interval;
        Task task;
    };

    void run();

    const std::string label_;
    std::mutex lock_;  // guards everything below
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
    TimerID nextTimerID_ = 1;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace joulix
