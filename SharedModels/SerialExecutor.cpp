#include "SharedModels/SerialExecutor.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <future>

namespace joulix {
namespace {
thread_local const SerialExecutor* currentExecutor = nullptr;
}  // namespace

SerialExecutor::SerialExecutor(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
}

SerialExecutor::~SerialExecutor() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        timers_.clear();
    }
    wake_.notify_one();
    worker_.join();
}

void SerialExecutor::async(Task task) {
    {
        std::lock_guard guard(lock_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialExecutor::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::packaged_task<void()> job(task);
    auto done = job.get_future();
    async([&job] { job(); });
    done.get();
}

SerialExecutor::TimerID SerialExecutor::scheduleRepeating(std::chrono::nanoseconds interval,
                                                          Task task) {
    std::lock_guard guard(lock_);
    const TimerID id = nextTimerID_++;
    timers_.push_back(Timer{id, Clock::now() + interval, interval, std::move(task)});
    wake_.notify_one();
    return id;
}

void SerialExecutor::cancel(TimerID timer) {
    {
        std::lock_guard guard(lock_);
        std::erase_if(timers_, [timer](const Timer& t) { return t.id == timer; });
    }
    // A firing already under way ends before this barrier runs.
    sync([] {});
}

bool SerialExecutor::isCurrent() const {
    return currentExecutor == this;
}

std::optional<std::string> SerialExecutor::currentLabel() {
    if (currentExecutor == nullptr) return std::nullopt;
    return currentExecutor->label_;
}

void SerialExecutor::run() {
    currentExecutor = this;
    // Thread names are limited to 15 bytes.
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock guard(lock_);
    for (;;) {
        if (!tasks_.empty()) {
            // Everything queued so far runs under one release of the lock, so producers seldom
            // meet the worker on it.
            std::deque<Task> batch;
            batch.swap(tasks_);
            guard.unlock();
            for (auto& task : batch)
                task();
            batch.clear();
            guard.lock();
            continue;
        }
        if (stopping_) return;
        const auto next =
            std::min_element(timers_.begin(), timers_.end(),
                             [](const Timer& a, const Timer& b) { return a.due < b.due; });
        if (next == timers_.end()) {
            wake_.wait(guard);
            continue;
        }
        const auto now = Clock::now();
        if (next->due > now) {
            wake_.wait_until(guard, next->due);
            continue;
        }
        next->due += next->interval;
        if (next->due <= now) next->due = now + next->interval;
        // The task is copied so that a cancel during the firing cannot destroy it while it runs.
        Task task = next->task;
        guard.unlock();
        task();
        guard.lock();
    }
}

}  // namespace joulix
