#include "MetricsCollectors/SystemCPULoadReader.h"

#include <algorithm>

namespace joulix {

SystemCPULoadReader::SystemCPULoadReader(int64_t logicalCPUCount,
                                         std::shared_ptr<const CPULoadCounters> counters)
    : logicalCPUCount_(std::max<int64_t>(logicalCPUCount, 1)), counters_(std::move(counters)) {}

SystemCPUSample SystemCPULoadReader::sample(Date now) {
    std::lock_guard guard(lock_);
    const auto info = counters_ ? counters_->read() : std::nullopt;
    if (!info) return {0, logicalCPUCount_, 0};

    double dt = lastSampleAt_ ? now.timeIntervalSinceReferenceDate -
                                    lastSampleAt_->timeIntervalSinceReferenceDate
                              : 0;
    if (dt < 0) dt = 0;

    double busyFraction = 0;
    if (previousInfo_) {
        // Unsigned 32-bit differences, so a counter that wrapped still gives its small delta.
        const auto delta = [](uint32_t current, uint32_t previous) {
            return static_cast<double>(static_cast<uint32_t>(current - previous));
        };
        const double user = delta(info->user, previousInfo_->user);
        const double system = delta(info->system, previousInfo_->system);
        const double idle = delta(info->idle, previousInfo_->idle);
        const double nice = delta(info->nice, previousInfo_->nice);
        const double total = user + system + idle + nice;
        if (total > 0) busyFraction = std::min((user + system + nice) / total, 1.0);
    }
    previousInfo_ = info;
    lastSampleAt_ = now;
    return {busyFraction, logicalCPUCount_, dt};
}

}  // namespace joulix
