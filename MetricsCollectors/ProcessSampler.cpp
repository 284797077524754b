#include "MetricsCollectors/ProcessSampler.h"

#include "MetricsCollectors/PSLineScanner.h"
#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/Date.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <sys/stat.h>
#include <unordered_map>

namespace joulix {
namespace {

// A path with a NUL byte names no file (the system would read only the part before it).
bool fileExists(const std::string& path) {
    struct stat info {};
    return !path.empty() && path.find('\0') == std::string::npos &&
           ::stat(path.c_str(), &info) == 0;
}

// Row A ranks before row B: more CPU, or equal CPU and a smaller pid.
bool ranksBefore(const ProcessSampler::Row& a, const ProcessSampler::Row& b) {
    return a.cpuPercent > b.cpuPercent || (a.cpuPercent == b.cpuPercent && a.pid < b.pid);
}

// Keeps `top` sorted by rank and at most `limit` long. The row goes before the first entry it
// ranks before; the list is sorted, so that entry is found by binary search.
void insertRanked(std::vector<ProcessSampler::Row>& top, const ProcessSampler::Row& row,
                  std::size_t limit) {
    const auto position = std::upper_bound(top.begin(), top.end(), row, ranksBefore);
    if (position != top.end()) {
        const bool wasFull = top.size() >= limit;
        top.insert(position, row);
        if (wasFull) top.pop_back();
    } else if (top.size() < limit) {
        top.push_back(row);
    }
}

}  // namespace

ProcessSampler::ProcessSampler(std::shared_ptr<const ShellRunning> shellRunner)
    : shell(std::move(shellRunner)) {}

std::vector<ProcessSample> ProcessSampler::sampleTopProcesses(int64_t limit) const {
    return sampleProcesses(limit, false).sampledProcesses;
}

ProcessSamplingSnapshot ProcessSampler::sampleProcessTree(int64_t limit) const {
    return sampleProcesses(limit, true);
}

ProcessSamplingSnapshot ProcessSampler::sampleProcesses(int64_t limit,
                                                        bool includeAllProcesses) const {
    const auto result =
        shell->run("/bin/ps", {"-A", "-ww", "-o", "pid=,ppid=,%cpu=,%mem=,command="});
    if (result.status != 0) throw ShellRunnerError::nonZeroExit(result);
    const auto recentShares =
        recentCPU ? recentCPU->observe() : std::unordered_map<int64_t, double>{};

    limit = std::max<int64_t>(limit, 1);
    const auto topLimit = static_cast<std::size_t>(limit);
    auto& profiler = componentProfiler ? *componentProfiler : ComponentProfiler::current();
    const auto correlationID = profiler.makeCorrelationID("process-sampler");
    const ProfileContext context{{"stage", "parse"},
                                 {"limit", std::to_string(limit)},
                                 {"includeAll", includeAllProcesses ? "1" : "0"}};
    auto [allRows, topRows] = profiler.measure(
        BenchmarkComponent::daemonSampleProcessSampler, std::nullopt, correlationID, context,
        [&] {
            std::vector<Row> all;
            std::vector<Row> top;
            // The output length is only a sizing hint, so bytes stand in for characters.
            all.reserve(std::min<std::size_t>(result.stdout.size() / 32, 512));
            top.reserve(std::min<std::size_t>(topLimit, 1 << 16));
            for (const auto line : text::splitLines(result.stdout)) {
                auto row = parsePSLine(line);
                if (!row) continue;
                if (const auto recent = recentShares.find(row->pid); recent != recentShares.end()) {
                    row->cpuPercent = recent->second;
                }
                insertRanked(top, *row, topLimit);
                all.push_back(*row);
            }
            return std::make_pair(std::move(all), std::move(top));
        },
        ProfileCallSite{__builtin_FILE(), "sampleProcesses(limit:includeAllProcesses:)",
                        __builtin_LINE()});

    const Date now = Date::now();
    const auto convert = [&](const Row& row) {
        const auto pid = static_cast<int32_t>(row.pid);
        const auto metadata = metadataCache->resolve(pid, now, metadataResolver);
        auto name = resolveProcessName(row.commandLine, metadata);
        if (isNameDebugEnabled()) {
            RuntimeLog::info("ProcessSampler",
                             "pid=" + std::to_string(pid) +
                                 " cpu=" + text::formatted("%.2f", row.cpuPercent) +
                                 " raw=" + std::string(row.commandLine) + " resolved=" + name);
        }
        ProcessSample sample;
        sample.pid = pid;
        if (row.parentPID >= 1) sample.parentPID = row.parentPID;
        sample.name = std::move(name);
        if (metadata) sample.bundleID = metadata->bundleID;
        sample.cpuPercent = row.cpuPercent;
        return sample;
    };

    ProcessSamplingSnapshot snapshot;
    if (!includeAllProcesses) {
        snapshot.sampledProcesses.reserve(topRows.size());
        for (const auto& row : topRows)
            snapshot.sampledProcesses.push_back(convert(row));
        return snapshot;
    }
    // A pid that repeats keeps its first row's sample.
    snapshot.allProcesses.reserve(allRows.size());
    std::unordered_map<int64_t, std::size_t> indexByPID;
    for (const auto& row : allRows) {
        snapshot.allProcesses.push_back(convert(row));
        indexByPID.try_emplace(row.pid, snapshot.allProcesses.size() - 1);
    }
    for (const auto& row : topRows) {
        if (const auto found = indexByPID.find(row.pid); found != indexByPID.end()) {
            snapshot.sampledProcesses.push_back(snapshot.allProcesses[found->second]);
        }
    }
    return snapshot;
}

std::optional<ProcessSampler::Row> ProcessSampler::parsePSLine(std::string_view line) {
    const auto trimmed = text::trim(line);
    if (trimmed.empty()) return std::nullopt;
    PSLineScanner scanner(trimmed);
    const auto pid = scanner.scanInteger();
    if (!pid) return std::nullopt;
    const auto parentPID = scanner.scanInteger();
    if (!parentPID) return std::nullopt;
    const auto cpuPercent = scanner.scanDouble();
    if (!cpuPercent) return std::nullopt;
    const auto memPercent = scanner.scanDouble();
    if (!memPercent) return std::nullopt;
    const auto commandLine = text::trim(scanner.rest());
    if (commandLine.empty()) return std::nullopt;
    if (*pid < std::numeric_limits<int32_t>::min() || *pid > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return Row{*pid, *parentPID, *cpuPercent, *memPercent, commandLine};
}

std::string
ProcessSampler::resolveProcessName(std::string_view commandLine,
                                   const std::optional<RunningProcessMetadata>& metadata) {
    if (metadata) {
        const auto& candidate =
            metadata->executablePath ? metadata->executablePath : metadata->bundlePath;
        if (candidate && !text::isBlank(*candidate)) return *candidate;
    }
    if (auto path = resolvedCommandPath(commandLine)) return *path;
    return std::string(text::trim(commandLine));
}

std::optional<std::string> ProcessSampler::resolvedCommandPath(std::string_view commandLine) {
    if (auto token = executableToken(commandLine)) {
        if (*token == commandLine || fileExists(*token)) return token;
    }
    const auto trimmed = text::trim(commandLine);
    if (!trimmed.starts_with('/')) return std::nullopt;
    // The longest existing prefix wins: an unquoted path with spaces, followed by arguments.
    // Each joined prefix begins the next one, so the longest that can name a file (shorter than
    // PATH_MAX) is built once and cut back word by word: a command line of a million words
    // costs one pass, not a million joins.
    std::string candidate;
    std::vector<std::size_t> prefixEnds;
    for (const auto piece : text::splitWhitespace(trimmed)) {
        const auto length = candidate.size() + (candidate.empty() ? 0 : 1) + piece.size();
        if (length >= PATH_MAX) break;
        if (!candidate.empty()) candidate += ' ';
        candidate += piece;
        prefixEnds.push_back(candidate.size());
    }
    for (auto count = prefixEnds.size(); count >= 1; --count) {
        candidate.resize(prefixEnds[count - 1]);
        if (fileExists(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> ProcessSampler::executableToken(std::string_view commandLine) {
    const auto trimmed = text::trim(commandLine);
    if (trimmed.empty()) return std::nullopt;
    const char first = trimmed.front();
    if (first == '"' || first == '\'') {
        std::string token;
        bool escaped = false;
        for (const char c : trimmed.substr(1)) {
            if (escaped) {
                token += c;
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == first) {
                break;
            } else {
                token += c;
            }
        }
        if (token.empty()) return std::nullopt;
        return token;
    }
    const auto pieces = text::splitWhitespace(trimmed);
    if (pieces.empty()) return std::nullopt;
    return std::string(pieces.front());
}

bool ProcessSampler::isNameDebugEnabled(const std::string& temporaryDirectory) {
    if (const char* value = std::getenv("JLX_PROCESS_NAME_DEBUG");
        value && std::string_view(value) == "1") {
        return true;
    }
    return fileExists(temporaryDirectory + "/jlx-process-name-debug.flag");
}

}  // namespace joulix
