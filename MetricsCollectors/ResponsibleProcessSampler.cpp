#include "MetricsCollectors/ResponsibleProcessSampler.h"

#include <algorithm>

namespace joulix {
namespace {

// The process list holds at most this many pids, as the platform's listing buffer does.
constexpr std::size_t maxListedPIDs = 8192;

}  // namespace

const ResponsiblePIDFunction& ResponsibleProcessSampler::systemResponsibility() {
    static const ResponsiblePIDFunction function = lookUpResponsiblePIDFunction();
    return function;
}

ResponsibleProcessSampler::ResponsibleProcessSampler(
    std::shared_ptr<const ProcessTable> processTable, ResponsiblePIDFunction responsibility)
    : processTable_(std::move(processTable)), responsibility_(std::move(responsibility)) {}

ResponsibleProcessSnapshot ResponsibleProcessSampler::sample(int64_t limit, Date now) {
    std::lock_guard guard(lock_);
    const double nowSeconds = now.timeIntervalSinceReferenceDate;
    const double interval =
        std::max(nowSeconds - lastSampleAt_.value_or(now).timeIntervalSinceReferenceDate, 0.0);

    auto pids = processTable_->allPIDs();
    if (pids.size() > maxListedPIDs) pids.resize(maxListedPIDs);

    std::unordered_map<int32_t, uint64_t> cpuTimeByPID;
    cpuTimeByPID.reserve(pids.size());
    std::unordered_map<int32_t, GroupState> groups;
    groups.reserve(std::min(static_cast<std::size_t>(std::max<int64_t>(limit, 32)), pids.size()));

    for (const int32_t pid : pids) {
        if (pid < 1) continue;
        const auto usage = processTable_->usage(pid);
        if (!usage) continue;
        const uint64_t cpuTime = usage->userTimeNs + usage->systemTimeNs;
        cpuTimeByPID[pid] = cpuTime;

        // New processes, counters that did not move and counters that went back (a reused
        // pid) contribute nothing this time.
        const auto previous = previousCPUTimeByPID_.find(pid);
        if (previous == previousCPUTimeByPID_.end() || cpuTime <= previous->second) continue;
        const uint64_t delta = cpuTime - previous->second;

        int32_t responsible = pid;
        if (responsibility_) {
            const int32_t found = responsibility_(pid);
            if (found >= 1) responsible = found;
        }
        const auto metadata = metadataCache->resolve(responsible, now, metadataResolver);
        std::string name = "pid-" + std::to_string(responsible);
        std::optional<std::string> bundleID;
        if (metadata) {
            if (metadata->executablePath) {
                name = *metadata->executablePath;
            } else if (metadata->bundlePath) {
                name = *metadata->bundlePath;
            }
            bundleID = metadata->bundleID;
        }

        auto [entry, inserted] = groups.try_emplace(responsible);
        auto& group = entry->second;
        if (inserted) {
            group.representativePID = responsible;
            group.representativeName = name;
            group.representativeBundleID = bundleID;
            group.responsiblePID = responsible;
        }
        group.cpuTimeDeltaNs += delta;
        group.memberCount += 1;
        if (delta >= group.bestRepresentativeDeltaNs) {
            group.bestRepresentativeDeltaNs = delta;
            group.representativeName = std::move(name);
            group.representativeBundleID = std::move(bundleID);
        }
    }

    previousCPUTimeByPID_ = std::move(cpuTimeByPID);
    lastSampleAt_ = now;
    if (!(interval > 0)) return {{}, interval};

    std::vector<GroupState> ordered;
    ordered.reserve(groups.size());
    for (auto& [pid, group] : groups)
        ordered.push_back(std::move(group));
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        return a.cpuTimeDeltaNs > b.cpuTimeDeltaNs ||
               (a.cpuTimeDeltaNs == b.cpuTimeDeltaNs && a.representativePID < b.representativePID);
    });
    const auto kept = static_cast<std::size_t>(std::max<int64_t>(limit, 1));
    if (ordered.size() > kept) ordered.resize(kept);

    ResponsibleProcessSnapshot snapshot{{}, interval};
    snapshot.processes.reserve(ordered.size());
    for (auto& group : ordered) {
        ProcessSample sample;
        sample.pid = group.representativePID;
        sample.parentPID = group.representativeParentPID;
        sample.responsiblePID = group.responsiblePID;
        sample.name = std::move(group.representativeName);
        sample.bundleID = std::move(group.representativeBundleID);
        sample.cpuPercent = static_cast<double>(group.cpuTimeDeltaNs) / interval / 1e7;
        sample.cpuTimeDeltaNs = group.cpuTimeDeltaNs;
        sample.samplingIntervalMs = interval * 1000;
        snapshot.processes.push_back(std::move(sample));
    }
    return snapshot;
}

}  // namespace joulix
