#include "Platform/ProcessTable.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <dirent.h>
#include <poll.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>

namespace joulix {
namespace {

std::optional<uint64_t> parseUnsigned(std::string_view field) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (ec != std::errc{} || end != field.data() + field.size()) return std::nullopt;
    return value;
}

// Descriptors a scanner may hold: a quarter of those this process may open, at most 1024, so the
// rest of the program never runs short.
std::size_t keptDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return static_cast<std::size_t>(std::min<rlim_t>(limit.rlim_cur / 4, 1024));
}

uint64_t ticksToNanoseconds(uint64_t ticks, uint64_t ticksPerSecond) {
    constexpr uint64_t nsPerSecond = 1'000'000'000;
    return ticks / ticksPerSecond * nsPerSecond +
           ticks % ticksPerSecond * nsPerSecond / ticksPerSecond;
}

class ProcfsProcessTable final : public ProcessTable {
  public:
    explicit ProcfsProcessTable(std::string procRoot)
        : root_(std::move(procRoot)), isMachines_(root_ == "/proc"),
          ticksPerSecond_(static_cast<uint64_t>(std::max(::sysconf(_SC_CLK_TCK), 1L))),
          pageSize_(static_cast<uint64_t>(std::max(::sysconf(_SC_PAGESIZE), 1L))) {}

    std::vector<int32_t> allPIDs() const override {
        std::vector<int32_t> pids;
        DIR* dir = ::opendir(root_.c_str());
        if (!dir) return pids;
        while (const dirent* entry = ::readdir(dir)) {
            int32_t pid = 0;
            const std::string_view name(entry->d_name);
            const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
            if (ec == std::errc{} && end == name.data() + name.size() && pid > 0) {
                pids.push_back(pid);
            }
        }
        ::closedir(dir);
        std::sort(pids.begin(), pids.end());
        return pids;
    }

    std::optional<std::string> executablePath(int32_t pid) const override {
        const std::string link = root_ + "/" + std::to_string(pid) + "/exe";
        // The path must fit a 1024-byte buffer with its terminating NUL; a result that fills
        // the buffer may be truncated, so it counts as unreadable.
        char buffer[1024];
        const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
        if (n < 1 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
        std::string path(buffer, static_cast<std::size_t>(n));
        // The kernel marks an executable that was replaced or removed since it started.
        constexpr std::string_view deleted = " (deleted)";
        if (path.size() > deleted.size() && path.ends_with(deleted)) {
            path.resize(path.size() - deleted.size());
        }
        return path;
    }

    std::optional<ProcessUsage> usage(int32_t pid) const override {
        // procfs files report size 0: read to the end (a stat line is far below the limit).
        const auto stat = sysfs::readFile(statPath(pid), 64 * 1024);
        if (!stat) return std::nullopt;
        return parseStat(*stat);
    }

    std::unique_ptr<ProcessCPUTimeScanner> cpuTimeScanner() const override;

    std::string statPath(int32_t pid) const { return root_ + "/" + std::to_string(pid) + "/stat"; }

    // /proc/PID/stat: "pid (comm) state ppid ...": utime and stime are fields 14 and 15 (clock
    // ticks), starttime field 22 (clock ticks since boot), rss field 24 (pages). The command may
    // hold ") ", so fields count from the last ')'.
    std::optional<ProcessUsage> parseStat(std::string_view stat) const {
        const auto close = stat.rfind(')');
        if (close == std::string_view::npos) return std::nullopt;
        std::string_view rest = stat.substr(close + 1);
        std::string_view fields[22];
        std::size_t count = 0;
        while (count < std::size(fields)) {
            const auto start = rest.find_first_not_of(" \n");
            if (start == std::string_view::npos) break;
            rest.remove_prefix(start);
            const auto end = std::min(rest.find_first_of(" \n"), rest.size());
            fields[count++] = rest.substr(0, end);
            rest.remove_prefix(end);
        }
        if (count < std::size(fields)) return std::nullopt;
        const auto utime = parseUnsigned(fields[11]);
        const auto stime = parseUnsigned(fields[12]);
        const auto rss = parseUnsigned(fields[21]);
        if (!utime || !stime) return std::nullopt;
        return ProcessUsage{ticksToNanoseconds(*utime, ticksPerSecond_),
                            ticksToNanoseconds(*stime, ticksPerSecond_),
                            rss.value_or(0) * pageSize_, parseUnsigned(fields[19]).value_or(0)};
    }

  private:
    std::string root_;
    bool isMachines_;  // the machine's own table, whose pids the kernel's calls take
    uint64_t ticksPerSecond_;
    uint64_t pageSize_;
};

// The machine's processes read through their CPU clocks: one clock_gettime per process, where
// /proc/PID/stat costs an open, a formatted read and a close. A pidfd held on each process tells
// when it has ended, so a pid reused by a new process is never read as the old one; the start
// time, read from /proc/PID/stat once when a process is first seen, makes its instance. Beyond
// the descriptor limit, or without pidfds, a process is read from its stat file every scan
// (another instance, so the two readings are never subtracted).
class ClockCPUTimeScanner final : public ProcessCPUTimeScanner {
  public:
    explicit ClockCPUTimeScanner(const ProcfsProcessTable& table)
        : table_(table), limit_(keptDescriptorLimit()) {}
    ~ClockCPUTimeScanner() override {
        for (const auto& [pid, tracked] : tracked_)
            ::close(tracked.pidfd);
    }
    ClockCPUTimeScanner(const ClockCPUTimeScanner&) = delete;
    ClockCPUTimeScanner& operator=(const ClockCPUTimeScanner&) = delete;

    std::vector<std::pair<int32_t, ProcessCPUTime>> scan() override {
        std::vector<std::pair<int32_t, ProcessCPUTime>> times;
        std::unordered_map<int32_t, Tracked> stillTracked;
        for (const int32_t pid : table_.allPIDs()) {
            auto tracked = takeTracked(pid);
            if (!tracked && tracked_.size() + stillTracked.size() < limit_) tracked = track(pid);
            if (tracked) {
                if (const auto cpuTimeNs = processCPUTimeNs(pid)) {
                    times.emplace_back(pid, ProcessCPUTime{*cpuTimeNs, tracked->instance});
                }
                stillTracked.emplace(pid, *tracked);
            } else if (const auto usage = table_.usage(pid)) {
                times.emplace_back(pid, ProcessCPUTime{usage->userTimeNs + usage->systemTimeNs,
                                                       2 * usage->startTime});
            }
        }
        for (const auto& [pid, gone] : tracked_)
            ::close(gone.pidfd);
        tracked_ = std::move(stillTracked);
        dropEnded(times);
        return times;
    }

  private:
    struct Tracked {
        int pidfd = -1;
        uint64_t instance = 0;
    };

    std::optional<Tracked> takeTracked(int32_t pid) {
        const auto found = tracked_.find(pid);
        if (found == tracked_.end()) return std::nullopt;
        const Tracked tracked = found->second;
        tracked_.erase(found);
        return tracked;
    }

    std::optional<Tracked> track(int32_t pid) const {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) return std::nullopt;
        const auto usage = table_.usage(pid);
        if (!usage) {
            ::close(pidfd);
            return std::nullopt;
        }
        return Tracked{pidfd, 2 * usage->startTime + 1};
    }

    // The process's CPU clock, which sums the run time of all its threads, living and ended.
    static std::optional<uint64_t> processCPUTimeNs(int32_t pid) {
        constexpr clockid_t schedulerClock = 2;
        const auto clock =
            static_cast<clockid_t>((~static_cast<clockid_t>(pid) << 3) | schedulerClock);
        timespec time{};
        if (::clock_gettime(clock, &time) != 0) return std::nullopt;
        return static_cast<uint64_t>(time.tv_sec) * 1'000'000'000u +
               static_cast<uint64_t>(time.tv_nsec);
    }

    // Processes that ended by now lose this scan's reading (their pid may already name another
    // process) and their pidfd.
    void dropEnded(std::vector<std::pair<int32_t, ProcessCPUTime>>& times) {
        std::vector<pollfd> handles;
        std::vector<int32_t> pids;
        handles.reserve(tracked_.size());
        pids.reserve(tracked_.size());
        for (const auto& [pid, tracked] : tracked_) {
            handles.push_back(pollfd{tracked.pidfd, POLLIN, 0});
            pids.push_back(pid);
        }
        if (::poll(handles.data(), handles.size(), 0) <= 0) return;
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (handles[i].revents == 0) continue;
            ::close(handles[i].fd);
            tracked_.erase(pids[i]);
            std::erase_if(times, [&](const auto& entry) { return entry.first == pids[i]; });
        }
    }

    const ProcfsProcessTable& table_;
    std::size_t limit_;
    std::unordered_map<int32_t, Tracked> tracked_;
};

std::unique_ptr<ProcessCPUTimeScanner> ProcfsProcessTable::cpuTimeScanner() const {
    if (!isMachines_) return ProcessTable::cpuTimeScanner();
    return std::make_unique<ClockCPUTimeScanner>(*this);
}

}  // namespace

std::shared_ptr<const ProcessTable> makeProcfsProcessTable(std::string procRoot) {
    return std::make_shared<ProcfsProcessTable>(std::move(procRoot));
}

std::shared_ptr<const ProcessTable> systemProcessTable() {
    static const auto table = makeProcfsProcessTable("/proc");
    return table;
}

}  // namespace joulix
