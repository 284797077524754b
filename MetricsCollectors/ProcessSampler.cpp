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

// The best `limit` rows seen so far. Until `limit` rows have come they are only collected; from
// then on they are kept as a heap whose top is the worst of them, so each further row costs one
// comparison, or a logarithmic replacement. Rows that rank equal keep their input order (the
// earlier first), and a later equal row never displaces an earlier one.
class TopRows {
  public:
    explicit TopRows(std::size_t limit) : limit_(limit) {
        heap_.reserve(std::min<std::size_t>(limit, 1 << 16));
    }

    void add(const ProcessSampler::Row& row) {
        Entry entry{row, seen_++};
        if (heap_.size() < limit_) {
            heap_.push_back(entry);
            return;
        }
        if (!isHeap_) {
            std::make_heap(heap_.begin(), heap_.end(), Before{});
            isHeap_ = true;
        }
        if (Before{}(entry, heap_.front())) replaceWorst(entry);
    }

    // The kept rows in rank order.
    std::vector<ProcessSampler::Row> take() {
        std::sort(heap_.begin(), heap_.end(), Before{});
        std::vector<ProcessSampler::Row> rows;
        rows.reserve(heap_.size());
        for (const auto& entry : heap_)
            rows.push_back(entry.row);
        return rows;
    }

  private:
    struct Entry {
        ProcessSampler::Row row;
        std::size_t order;
    };
    // A total order (the input position breaks every tie), so any sort gives one result.
    struct Before {
        bool operator()(const Entry& a, const Entry& b) const {
            if (ranksBefore(a.row, b.row)) return true;
            return !ranksBefore(b.row, a.row) && a.order < b.order;
        }
    };

    // The entry takes the worst one's place at the top and sinks to where it belongs: one pass
    // down the heap instead of a pop and a push.
    void replaceWorst(const Entry& entry) {
        const std::size_t size = heap_.size();
        std::size_t hole = 0;
        for (std::size_t child = 1; child < size; child = 2 * hole + 1) {
            if (child + 1 < size && Before{}(heap_[child], heap_[child + 1])) ++child;
            if (!Before{}(entry, heap_[child])) break;
            heap_[hole] = heap_[child];
            hole = child;
        }
        heap_[hole] = entry;
    }

    std::size_t limit_;
    std::size_t seen_ = 0;
    bool isHeap_ = false;
    std::vector<Entry> heap_;
};

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
            TopRows top(topLimit);
            // The output length is only a sizing hint, so bytes stand in for characters.
            if (includeAllProcesses)
                all.reserve(std::min<std::size_t>(result.stdout.size() / 32, 512));
            for (const auto line : text::splitLines(result.stdout)) {
                auto row = parsePSLine(line);
                if (!row) continue;
                if (!recentShares.empty()) {
                    if (const auto recent = recentShares.find(row->pid);
                        recent != recentShares.end()) {
                        row->cpuPercent = recent->second;
                    }
                }
                top.add(*row);
                if (includeAllProcesses) all.push_back(*row);
            }
            return std::make_pair(std::move(all), top.take());
        },
        ProfileCallSite{__builtin_FILE(), "sampleProcesses(limit:includeAllProcesses:)",
                        __builtin_LINE()});

    const Date now = Date::now();
    const bool nameDebug = isNameDebugEnabled();  // once per pass: a file check costs a stat
    // Fills `sample`, built in place in its list, from `row`.
    const auto convert = [&](const Row& row, ProcessSample& sample) {
        const auto pid = static_cast<int32_t>(row.pid);
        auto metadata = metadataCache->resolve(pid, now, metadataResolver);
        std::optional<std::string> bundleID;
        if (metadata) bundleID = std::move(metadata->bundleID);
        auto name = resolveProcessName(row.commandLine, std::move(metadata));
        if (nameDebug) {
            RuntimeLog::info("ProcessSampler",
                             "pid=" + std::to_string(pid) +
                                 " cpu=" + text::formatted("%.2f", row.cpuPercent) +
                                 " raw=" + std::string(row.commandLine) + " resolved=" + name);
        }
        sample.pid = pid;
        if (row.parentPID >= 1) sample.parentPID = row.parentPID;
        sample.name = std::move(name);
        sample.bundleID = std::move(bundleID);
        sample.cpuPercent = row.cpuPercent;
    };

    ProcessSamplingSnapshot snapshot;
    if (!includeAllProcesses) {
        snapshot.sampledProcesses.reserve(topRows.size());
        for (const auto& row : topRows)
            convert(row, snapshot.sampledProcesses.emplace_back());
        return snapshot;
    }
    // A pid that repeats keeps its first row's sample.
    snapshot.allProcesses.reserve(allRows.size());
    std::unordered_map<int64_t, std::size_t> indexByPID;
    for (const auto& row : allRows) {
        convert(row, snapshot.allProcesses.emplace_back());
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
    PSLineScanner scanner(line);
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

std::string ProcessSampler::resolveProcessName(std::string_view commandLine,
                                               std::optional<RunningProcessMetadata> metadata) {
    if (metadata) {
        auto& candidate =
            metadata->executablePath ? metadata->executablePath : metadata->bundlePath;
        if (candidate && !text::isBlank(*candidate)) return std::move(*candidate);
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
    // PATH_MAX, of at most maximumPathWords words) is built once and cut back word by word.
    std::string candidate;
    std::vector<std::size_t> prefixEnds;
    for (const auto piece : text::splitWhitespace(trimmed)) {
        const auto length = candidate.size() + (candidate.empty() ? 0 : 1) + piece.size();
        if (length >= PATH_MAX || prefixEnds.size() == maximumPathWords) break;
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
