#include "MetricsCollectors/RecentProcessCPUTracker.h"

namespace joulix {

RecentProcessCPUTracker::RecentProcessCPUTracker(std::shared_ptr<const ProcessTable> processTable,
                                                 Clock clock)
    : processTable_(std::move(processTable)),
      scanner_(processTable_ ? processTable_->cpuTimeScanner() : nullptr),
      clock_(std::move(clock)) {}

std::unordered_map<int64_t, double> RecentProcessCPUTracker::observe() {
    std::lock_guard guard(lock_);
    const auto now = clock_();
    const double intervalNs =
        previousAt_ ? std::chrono::duration<double, std::nano>(now - *previousAt_).count() : 0;

    std::unordered_map<int64_t, ProcessCPUTime> current;
    std::unordered_map<int64_t, double> shares;
    if (!scanner_) return shares;
    const auto times = scanner_->scan();
    current.reserve(times.size());
    for (const auto& [pid, time] : times) {
        current.emplace(pid, time);
        const auto before = previous_.find(pid);
        if (!(intervalNs > 0) || before == previous_.end() ||
            before->second.instance != time.instance || time.cpuTimeNs < before->second.cpuTimeNs) {
            continue;
        }
        const auto usedNs = static_cast<double>(time.cpuTimeNs - before->second.cpuTimeNs);
        shares.emplace(pid, usedNs / intervalNs * 100.0);
    }
    previous_ = std::move(current);
    previousAt_ = now;
    return shares;
}

}  // namespace joulix
