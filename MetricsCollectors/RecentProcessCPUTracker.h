#pragma once
// The CPU share of each process over the interval since its previous observation, as top and
// htop show it (100 % is one CPU busy for the whole interval), from the process table's
// accumulated CPU time. A process is known by its pid and instance: a pid reused by a new
// process starts afresh. Each observe() reads every process once, answers the shares of the
// processes seen both then and at the previous observation, and keeps this observation for the
// next call; a caller that runs passes in a loop keeps one tracker across them. Shared between
// threads: every observation runs under the tracker's lock.
#include "Platform/ProcessTable.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace joulix {

class RecentProcessCPUTracker {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit RecentProcessCPUTracker(
        std::shared_ptr<const ProcessTable> processTable = systemProcessTable(),
        Clock clock = [] { return std::chrono::steady_clock::now(); });

    // CPU % by pid since the previous observation; empty at the first call.
    std::unordered_map<int64_t, double> observe();

  private:
    std::mutex lock_;
    std::shared_ptr<const ProcessTable> processTable_;
    // Reads the table; kept across observations (the Linux one holds a handle on each process).
    std::unique_ptr<ProcessCPUTimeScanner> scanner_;
    Clock clock_;
    std::unordered_map<int64_t, ProcessCPUTime> previous_;
    std::optional<std::chrono::steady_clock::time_point> previousAt_;
};

}  // namespace joulix
