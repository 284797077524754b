#include "SharedModels/BenchmarkTraceAnalyzer.h"

#include "SharedModels/Error.h"
#include "SharedModels/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace joulix {
namespace {

struct EventCost {
    const ComponentProfileEvent* event;
    double selfDurationMs;
};

bool isSyncCall(const ComponentProfileEvent& event) {
    const auto found = event.context.find("syncCall");
    return found != event.context.end() && found->second == "1";
}

// A text, or a pair of texts compared as a pair (never joined, so no two pairs collide).
struct KeyHash {
    std::size_t operator()(std::string_view key) const {
        return std::hash<std::string_view>{}(key);
    }
    std::size_t operator()(const std::pair<std::string_view, std::string_view>& key) const {
        return (*this)(key.first) * 31 + (*this)(key.second);
    }
};

// Groups items by key, keeping the groups in the order their keys first appear.
template <class Item, class KeyOf>
std::vector<std::vector<Item>> groupedInOrder(const std::vector<Item>& items, KeyOf keyOf) {
    using Key = std::decay_t<std::invoke_result_t<KeyOf, const Item&>>;
    std::unordered_map<Key, std::size_t, KeyHash> indexOfKey;
    std::vector<std::vector<Item>> groups;
    for (const auto& item : items) {
        const auto [found, added] = indexOfKey.try_emplace(keyOf(item), groups.size());
        if (added) groups.emplace_back();
        groups[found->second].push_back(item);
    }
    return groups;
}

// Nesting counts a negative duration as 0, so that a parent's self time never exceeds its
// duration.
std::vector<EventCost> eventCosts(const std::vector<ComponentProfileEvent>& events) {
    std::vector<double> childDurationMs(events.size(), 0);
    std::vector<std::size_t> positions(events.size());
    std::iota(positions.begin(), positions.end(), 0);
    auto groups = groupedInOrder(positions, [&](std::size_t i) {
        return std::pair<std::string_view, std::string_view>(events[i].correlationID,
                                                             events[i].threadLabel);
    });
    const auto lengthMs = [&](std::size_t i) { return std::max(0.0, events[i].durationMs); };

    struct Interval {
        std::size_t position;
        double end;
    };
    for (auto& group : groups) {
        std::stable_sort(group.begin(), group.end(), [&](std::size_t a, std::size_t b) {
            if (events[a].startedAtUnixMs != events[b].startedAtUnixMs) {
                return events[a].startedAtUnixMs < events[b].startedAtUnixMs;
            }
            return lengthMs(a) > lengthMs(b);
        });
        std::vector<Interval> open;
        for (const std::size_t position : group) {
            const double start = events[position].startedAtUnixMs;
            const double end = start + lengthMs(position);
            while (!open.empty() && open.back().end <= start)
                open.pop_back();
            while (!open.empty() && open.back().end < end)
                open.pop_back();
            if (!open.empty()) childDurationMs[open.back().position] += lengthMs(position);
            open.push_back({position, end});
        }
    }

    std::vector<EventCost> costs;
    costs.reserve(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        costs.push_back({&events[i], std::max(0.0, events[i].durationMs - childDurationMs[i])});
    }
    return costs;
}

std::string readFile(const std::string& path) {
    const auto failure = [&](int code) {
        return Error("Could not read trace file " + path + ": " + std::strerror(code));
    };
    // Non-blocking, and only a regular file: a FIFO or device planted at the fixed trace path
    // must not hang the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw failure(errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw Error("Could not read trace file " + path + ": not a regular file");
    }
    std::string contents;
    char buffer[65536];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            throw failure(code);
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return contents;
}

std::size_t keptCount(int64_t topCount) {
    return static_cast<std::size_t>(std::max<int64_t>(topCount, 1));
}

std::vector<BenchmarkTraceAggregate> aggregates(const std::vector<EventCost>& costs,
                                                int64_t topCount) {
    std::vector<BenchmarkTraceAggregate> result;
    for (const auto& group :
         groupedInOrder(costs, [](const EventCost& cost) { return cost.event->component; })) {
        BenchmarkTraceAggregate aggregate{group.front().event->component};
        aggregate.maxDurationMs = group.front().selfDurationMs;
        for (const auto& cost : group) {
            ++aggregate.count;
            aggregate.totalDurationMs += cost.selfDurationMs;
            aggregate.maxDurationMs = std::max(aggregate.maxDurationMs, cost.selfDurationMs);
        }
        aggregate.averageDurationMs =
            aggregate.totalDurationMs / static_cast<double>(std::max<int64_t>(aggregate.count, 1));
        result.push_back(std::move(aggregate));
    }
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        if (a.maxDurationMs != b.maxDurationMs) return a.maxDurationMs > b.maxDurationMs;
        return a.totalDurationMs > b.totalDurationMs;
    });
    if (result.size() > keptCount(topCount)) result.resize(keptCount(topCount));
    return result;
}

std::vector<BenchmarkFunctionTraceAggregate> functionAggregates(const std::vector<EventCost>& costs,
                                                                int64_t topCount) {
    std::vector<BenchmarkFunctionTraceAggregate> result;
    for (const auto& group : groupedInOrder(
             costs, [](const EventCost& cost) { return cost.event->functionCostLabel(); })) {
        BenchmarkFunctionTraceAggregate aggregate{group.front().event->functionCostLabel()};
        aggregate.maxDurationMs = group.front().event->durationMs;
        for (const auto& cost : group) {
            ++aggregate.count;
            aggregate.totalDurationMs += cost.event->durationMs;
            aggregate.selfDurationMs += cost.selfDurationMs;
            aggregate.maxDurationMs = std::max(aggregate.maxDurationMs, cost.event->durationMs);
            if (cost.event->blocksUIThread()) {
                aggregate.mainThreadSelfDurationMs += cost.selfDurationMs;
            }
        }
        aggregate.averageSelfDurationMs =
            aggregate.selfDurationMs / static_cast<double>(std::max<int64_t>(aggregate.count, 1));
        result.push_back(std::move(aggregate));
    }
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        if (a.selfDurationMs != b.selfDurationMs) return a.selfDurationMs > b.selfDurationMs;
        return a.maxDurationMs > b.maxDurationMs;
    });
    if (result.size() > keptCount(topCount)) result.resize(keptCount(topCount));
    return result;
}

}  // namespace

BenchmarkTraceSummary BenchmarkTraceSummary::empty(std::string path) {
    BenchmarkTraceSummary summary;
    summary.path = std::move(path);
    return summary;
}

namespace BenchmarkTraceAnalyzer {

std::vector<ComponentProfileEvent> loadEvents(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return {};

    const std::string contents = readFile(path);
    if (text::repairUTF8(contents) != contents) {
        throw Error("Could not read trace file " + path + ": the text is not UTF-8");
    }

    std::vector<ComponentProfileEvent> events;
    for (const auto line : text::splitLines(contents)) {
        events.push_back(ComponentProfileEvent::fromJSON(line));
    }
    return events;
}

BenchmarkTraceSummary summarize(const std::string& path, int64_t topCount) {
    return summarize(loadEvents(path), path, topCount);
}

BenchmarkTraceSummary summarize(const std::vector<ComponentProfileEvent>& events, std::string path,
                                int64_t topCount) {
    const auto costs = eventCosts(events);

    std::vector<EventCost> syncCalls;
    for (const auto& event : events) {
        if (event.durationMs > 0 && isSyncCall(event))
            syncCalls.push_back({&event, event.durationMs});
    }
    std::vector<EventCost> mainThreadCosts;
    std::vector<EventCost> mainThreadSelfCosts;
    std::vector<EventCost> selfCosts;
    for (const auto& cost : costs) {
        if (cost.event->durationMs <= 0) continue;
        if (cost.event->blocksUIThread()) {
            mainThreadCosts.push_back(cost);
            if (cost.selfDurationMs > 0) mainThreadSelfCosts.push_back(cost);
        }
        if (cost.selfDurationMs > 0) selfCosts.push_back(cost);
    }

    BenchmarkTraceSummary summary = BenchmarkTraceSummary::empty(std::move(path));
    summary.eventCount = static_cast<int64_t>(events.size());
    summary.mainThreadEventCount = static_cast<int64_t>(mainThreadCosts.size());
    summary.syncCallCount = static_cast<int64_t>(syncCalls.size());
    summary.topMainThreadBlockers = aggregates(mainThreadCosts, topCount);
    summary.topSyncCalls = aggregates(syncCalls, topCount);
    summary.topBlockingFunctions = functionAggregates(mainThreadSelfCosts, topCount);
    summary.topFunctionSelfCost = functionAggregates(selfCosts, topCount);
    return summary;
}

}  // namespace BenchmarkTraceAnalyzer
}  // namespace joulix
