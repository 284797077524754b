#include "MetricsCollectors/ProcessSampler.h"

#include "MetricsCollectors/PSLineScanner.h"
#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/Date.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <bit>
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

// The best `limit` rows seen so far. Until `limit` rows have come they are only collected; from
// then on they are kept as a heap whose top is the worst of them, so each further row costs one
// comparison, or a logarithmic replacement. Rows that rank equal keep their input order (the
// earlier first), and a later equal row never displaces an earlier one.
class TopRows {
  public:
    struct Entry {
        ProcessSampler::Row row;
        // The rank as two words compared in turn: the CPU share's bits arranged so that more CPU
        // is the smaller word, then the pid (offset to be unsigned) above the input position.
        uint64_t cpuRank;
        uint64_t pidAndOrder;
    };

    explicit TopRows(std::size_t limit) : limit_(limit) {
        heap_.reserve(std::min<std::size_t>(limit, 1 << 16));
    }

    void add(const ProcessSampler::Row& row) {
        // Pids fit in 32 bits (the parser checks), and so does the position: a `ps` output of
        // 2^32 lines would not fit in memory.
        const auto pidBits = static_cast<uint32_t>(row.pid) ^ 0x80000000u;
        const Entry entry{row, descendingBits(row.cpuPercent),
                          uint64_t{pidBits} << 32 | (seen_++ & 0xFFFFFFFFu)};
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
    std::vector<Entry> take() {
        std::sort(heap_.begin(), heap_.end(), Before{});
        return std::move(heap_);
    }

  private:
    // Rank order: more CPU first, then the smaller pid, then the earlier row. A total order (the
    // input position breaks every tie), so any sort gives one result.
    struct Before {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.cpuRank < b.cpuRank ||
                   (a.cpuRank == b.cpuRank && a.pidAndOrder < b.pidAndOrder);
        }
    };

    // A word that orders as the number does in reverse: the larger number, the smaller word
    // (zero's two signs made one).
    static uint64_t descendingBits(double value) {
        const auto bits = std::bit_cast<uint64_t>(value + 0.0);
        const uint64_t ascending = bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
        return ~ascending;
    }

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
    // Fills `sample`, built in place in its list, from `row` and its process's metadata.
    const auto convert = [&](const Row& row, const RunningProcessMetadata* metadata,
                             ProcessSample& sample) {
        const auto pid = static_cast<int32_t>(row.pid);
        sample.pid = pid;
        if (row.parentPID >= 1) sample.parentPID = row.parentPID;
        if (metadata && metadata->bundleID) sample.bundleID = metadata->bundleID;
        sample.name = resolveProcessName(row.commandLine, metadata);
        sample.cpuPercent = row.cpuPercent;
        if (nameDebug) {
            RuntimeLog::info(
                "ProcessSampler",
                "pid=" + std::to_string(pid) + " cpu=" + text::formatted("%.2f", row.cpuPercent) +
                    " raw=" + std::string(row.commandLine) + " resolved=" + sample.name);
        }
    };
    // Appends the samples of `items` (rows, as `rowOf` finds them) to `samples`, their metadata
    // read from the cache in one pass.
    const auto convertAll = [&](const auto& items, const auto& rowOf,
                                std::vector<ProcessSample>& samples) {
        std::vector<int32_t> pids;
        pids.reserve(items.size());
        for (const auto& item : items)
            pids.push_back(static_cast<int32_t>(rowOf(item).pid));
        const auto metadata = metadataCache->resolveAll(pids, now, metadataResolver);
        samples.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
            convert(rowOf(items[i]), metadata[i].get(), samples.emplace_back());
    };

    ProcessSamplingSnapshot snapshot;
    if (!includeAllProcesses) {
        convertAll(
            topRows, [](const auto& entry) -> const Row& { return entry.row; },
            snapshot.sampledProcesses);
        return snapshot;
    }
    // A pid that repeats keeps its first row's sample.
    convertAll(
        allRows, [](const Row& row) -> const Row& { return row; }, snapshot.allProcesses);
    std::unordered_map<int64_t, std::size_t> indexByPID;
    for (std::size_t i = 0; i < allRows.size(); ++i)
        indexByPID.try_emplace(allRows[i].pid, i);
    for (const auto& entry : topRows) {
        if (const auto found = indexByPID.find(entry.row.pid); found != indexByPID.end()) {
            snapshot.sampledProcesses.push_back(snapshot.allProcesses[found->second]);
        }
    }
    return snapshot;
}

std::optional<ProcessSampler::Row> ProcessSampler::parsePSLine(std::string_view line) {
    PSLineScanner scanner(line);
    Row row;
    if (!scanner.scanInteger(row.pid) || !scanner.scanInteger(row.parentPID) ||
        !scanner.scanDouble(row.cpuPercent) || !scanner.scanDouble(row.memPercent)) {
        return std::nullopt;
    }
    row.commandLine = text::trim(scanner.rest());
    if (row.commandLine.empty()) return std::nullopt;
    if (row.pid < std::numeric_limits<int32_t>::min() ||
        row.pid > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return row;
}

std::string ProcessSampler::resolveProcessName(std::string_view commandLine,
                                               const RunningProcessMetadata* metadata) {
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
