#pragma once
// One snapshot of every process on the machine from `ps`: the rows are parsed, the busiest
// `limit` kept in rank order (CPU share descending, then pid ascending) without sorting the
// whole list, and each kept row becomes a ProcessSample named by the best executable path that
// can be found (process metadata through the shared cache, else the command line). A value with
// no state of its own; usable from any thread.
#include "MetricsCollectors/RecentProcessCPUTracker.h"
#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/ComponentProfiler.h"
#include "SharedModels/ProcessSample.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

struct ProcessSamplingSnapshot {
    std::vector<ProcessSample> sampledProcesses;  // the top processes, in rank order
    std::vector<ProcessSample> allProcesses;      // every process in `ps` order, when asked for

    friend bool operator==(const ProcessSamplingSnapshot&,
                           const ProcessSamplingSnapshot&) = default;
};

class ProcessSampler {
  public:
    // One parsed `ps` row; the command line views the parsed text.
    struct Row {
        int64_t pid = 0;
        int64_t parentPID = 0;
        double cpuPercent = 0;
        double memPercent = 0;
        std::string_view commandLine;

        friend bool operator==(const Row&, const Row&) = default;
    };

    explicit ProcessSampler(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>());

    // The busiest processes; throws what the shell runner throws, and ShellRunnerError
    // nonZeroExit when `ps` fails.
    std::vector<ProcessSample> sampleTopProcesses(int64_t limit) const;
    // The busiest processes and every process; the top samples are copies of entries of the
    // full list. Throws likewise.
    ProcessSamplingSnapshot sampleProcessTree(int64_t limit) const;
    ProcessSamplingSnapshot sampleProcesses(int64_t limit, bool includeAllProcesses) const;

    // "pid ppid %cpu %mem command": absent when a number is missing, the command is blank or the
    // pid does not fit in 32 bits.
    static std::optional<Row> parsePSLine(std::string_view line);
    // The metadata's executable (or bundle) path, else the command's executable, else the
    // trimmed command line.
    static std::string resolveProcessName(std::string_view commandLine,
                                          const RunningProcessMetadata* metadata);
    // The command's executable when it names an existing file; for an unquoted absolute path
    // with spaces, the longest prefix of its first `maximumPathWords` words that exists (a
    // crafted line of thousands of words costs at most that many file checks).
    static std::optional<std::string> resolvedCommandPath(std::string_view commandLine);
    static constexpr std::size_t maximumPathWords = 32;
    // The first word of the command line, or its leading quoted text (backslash escapes).
    static std::optional<std::string> executableToken(std::string_view commandLine);
    // JLX_PROCESS_NAME_DEBUG is "1", or the flag file jlx-process-name-debug.flag exists.
    static bool isNameDebugEnabled(const std::string& temporaryDirectory = "/tmp");

    std::shared_ptr<const ShellRunning> shell;
    RunningProcessMetadataLookup metadataResolver = RunningProcessMetadataResolver::systemLookup();
    RunningProcessMetadataCache* metadataCache = &RunningProcessMetadataCache::shared();
    // Absent: the current process kind's shared profiler, taken at first use.
    ComponentProfiler* componentProfiler = nullptr;
    // When set, a process's CPU % is its share since the tracker's previous observation (ps on
    // Linux prints a lifetime average); a process the tracker saw for the first time keeps the
    // ps figure. Shared across passes by the caller.
    std::shared_ptr<RecentProcessCPUTracker> recentCPU;
};

}  // namespace joulix
