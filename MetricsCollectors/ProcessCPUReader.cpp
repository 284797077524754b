#include "MetricsCollectors/ProcessCPUReader.h"

#include "MetricsCollectors/PSLineScanner.h"
#include "MetricsCollectors/ResponsibleProcessSampler.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace joulix {
namespace {

struct Row {
    int64_t pid = 0;
    std::optional<int64_t> parentPID;
    double cpuPercent = 0;
    std::string command;
};

// "pid ppid pcpu comm"; pids must fit in 32 bits.
std::optional<Row> parseRow(std::string_view line) {
    const auto trimmed = text::trim(line);
    if (trimmed.empty()) return std::nullopt;
    PSLineScanner scanner(trimmed);
    int64_t pid = 0, parentPID = 0;
    double cpuPercent = 0;
    if (!scanner.scanInteger(pid) || !scanner.scanInteger(parentPID) ||
        !scanner.scanDouble(cpuPercent)) {
        return std::nullopt;
    }
    const auto command = text::trim(scanner.rest());
    if (command.empty() || pid < std::numeric_limits<int32_t>::min() ||
        pid > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return Row{pid, parentPID >= 1 ? std::optional(parentPID) : std::nullopt,
               std::max(cpuPercent, 0.0), std::string(command)};
}

// Rounded to the nearest integer, halves away from zero; negative gives 0, too large the maximum.
uint64_t roundedNanoseconds(double value) {
    if (!(value > 0)) return 0;
    const double rounded = std::round(value);
    if (rounded >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(rounded);
}

// CPU share descending, then pid ascending.
bool busierFirst(const ProcessSample& a, const ProcessSample& b) {
    return a.cpuPercent > b.cpuPercent || (a.cpuPercent == b.cpuPercent && a.pid < b.pid);
}

}  // namespace

ProcessCPUReader::ProcessCPUReader(std::shared_ptr<const ShellRunning> shell,
                                   std::shared_ptr<const ProcessTable> processTable)
    : responsiblePIDResolver([](int64_t pid) -> int64_t {
          const auto& function = ResponsibleProcessSampler::systemResponsibility();
          if (!function) return pid;
          const int32_t responsible = function(static_cast<int32_t>(pid));
          return responsible >= 1 ? responsible : pid;
      }),
      residentMemoryResolver([table = std::move(processTable)](int64_t pid) {
          std::optional<uint64_t> resident;
          if (pid < 1) return resident;
          if (const auto usage = table->usage(static_cast<int32_t>(pid))) {
              resident = usage->residentSizeBytes;
          }
          return resident;
      }),
      shell_(std::move(shell)) {}

ProcessCPUReadout ProcessCPUReader::sample(std::optional<int64_t> limit, Date now) {
    std::lock_guard guard(lock_);
    const double reference = lastSampleAt_ ? lastSampleAt_->timeIntervalSinceReferenceDate
                                           : now.timeIntervalSinceReferenceDate - 1;
    const double interval = std::max(now.timeIntervalSinceReferenceDate - reference, 0.25);
    lastSampleAt_ = now;

    // The ps of some platforms (procps on Linux) rejects these options: said once, not at
    // every pass.
    const auto failed = [&](const std::string& reason) {
        if (!hasLoggedPSFailure_) {
            hasLoggedPSFailure_ = true;
            RuntimeLog::info("ProcessSampler",
                             "CPU reader's ps run failed, its readouts stay empty: " + reason);
        }
        return ProcessCPUReadout{{}, {}, interval};
    };
    ShellResult result;
    try {
        result = shell_->run("/bin/ps", {"-Aceo", "pid=,ppid=,pcpu=,comm=", "-r"});
    } catch (const std::exception& error) {
        return failed(error.what());
    }
    if (result.status != 0) return failed(ShellRunnerError::nonZeroExit(result).what());

    if (limit) limit = std::max<int64_t>(*limit, 1);
    const auto lines = text::splitLines(result.stdout);
    ProcessCPUReadout readout;
    readout.intervalSeconds = interval;
    readout.rawProcesses.reserve(lines.size());
    std::vector<GroupAccumulator> groups;
    std::unordered_map<int64_t, std::size_t> groupIndex;
    const auto expectedGroups = std::max<std::size_t>(
        32, std::min(limit ? static_cast<std::size_t>(*limit) : lines.size(), lines.size()));
    groupIndex.reserve(expectedGroups);

    for (const auto line : lines) {
        const auto row = parseRow(line);
        if (!row) continue;
        const int64_t responsible = responsiblePIDResolver(row->pid);
        ProcessSample sample;
        sample.pid = row->pid;
        sample.parentPID = row->parentPID;
        sample.responsiblePID = responsible;
        sample.name = row->command;
        sample.residentMemoryBytes = residentMemoryResolver(row->pid).value_or(0);
        sample.cpuPercent = row->cpuPercent;
        sample.cpuTimeDeltaNs = roundedNanoseconds(interval * row->cpuPercent / 100 * 1e9);
        sample.samplingIntervalMs = interval * 1000;
        readout.rawProcesses.push_back(sample);

        const auto [found, inserted] = groupIndex.try_emplace(responsible, groups.size());
        if (inserted) groups.push_back(GroupAccumulator{responsible, 0, {}});
        auto& group = groups[found->second];
        group.totalCPUPercent += row->cpuPercent;
        group.memberProcesses.push_back(std::move(sample));
    }

    std::sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
        return a.totalCPUPercent > b.totalCPUPercent ||
               (a.totalCPUPercent == b.totalCPUPercent && a.responsiblePID < b.responsiblePID);
    });
    if (limit && groups.size() > static_cast<std::size_t>(*limit)) {
        groups.resize(static_cast<std::size_t>(*limit));
    }

    for (auto& group : groups) {
        if (group.memberProcesses.empty()) continue;
        auto representative = resolveRepresentative(group, now, interval);
        auto members = std::move(group.memberProcesses);
        std::sort(members.begin(), members.end(), busierFirst);
        readout.groups.push_back(
            ProcessCPUGroup{std::move(representative), std::move(members), group.responsiblePID});
    }
    return readout;
}

ProcessSample ProcessCPUReader::resolveRepresentative(const GroupAccumulator& group, Date now,
                                                      double intervalSeconds) const {
    const auto& members = group.memberProcesses;
    const auto& best = *std::min_element(members.begin(), members.end(), busierFirst);

    ProcessSample representative;
    representative.responsiblePID = group.responsiblePID;
    uint64_t resident = 0;
    for (const auto& member : members) {
        const uint64_t room = std::numeric_limits<uint64_t>::max() - resident;
        resident = member.residentMemoryBytes > room ? std::numeric_limits<uint64_t>::max()
                                                     : resident + member.residentMemoryBytes;
    }
    representative.residentMemoryBytes = resident;
    const double total = std::max(group.totalCPUPercent, 0.0);
    representative.cpuPercent = total;
    representative.cpuTimeDeltaNs = roundedNanoseconds(total / 100 * intervalSeconds * 1e9);
    representative.samplingIntervalMs = intervalSeconds * 1000;

    const auto adopt = [&](int64_t pid, const ProcessSample& member,
                           const RunningProcessMetadata& metadata) {
        representative.pid = pid;
        representative.parentPID = member.parentPID;
        representative.name = metadata.executablePath ? *metadata.executablePath
                              : metadata.bundlePath   ? *metadata.bundlePath
                                                      : member.name;
        representative.bundleID = metadata.bundleID;
    };

    const auto lookup = [&](int64_t pid) {
        return metadataCache->resolve(static_cast<int32_t>(pid), now, metadataResolver);
    };
    if (const auto metadata = lookup(group.responsiblePID)) {
        adopt(group.responsiblePID, best, *metadata);
        return representative;
    }
    std::vector<const ProcessSample*> byCPU;
    for (const auto& member : members)
        byCPU.push_back(&member);
    std::stable_sort(byCPU.begin(), byCPU.end(),
                     [](const auto* a, const auto* b) { return a->cpuPercent > b->cpuPercent; });
    for (const auto* member : byCPU) {
        if (const auto metadata = lookup(member->pid)) {
            adopt(member->pid, *member, *metadata);
            return representative;
        }
    }
    representative.pid = best.pid;
    representative.parentPID = best.parentPID;
    representative.name = best.name;
    representative.bundleID = best.bundleID;
    return representative;
}

}  // namespace joulix
