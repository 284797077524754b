#include "Platform/ProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/resource.h>
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

// Reads a small file whole; procfs files report size 0, so read until end of file.
std::optional<std::string> readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    char buffer[1024];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            if (n < 0) return std::nullopt;
            return contents;
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
}

// A stat line is far shorter (52 numbers and a command of at most 64 bytes); one read of this
// size takes it whole.
constexpr std::size_t statBufferSize = 4096;

// Files kept open by a scanner: a quarter of the descriptors this process may open, at most 1024,
// so the rest of the program never runs short.
std::size_t keptFileLimit() {
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
        : root_(std::move(procRoot)),
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
        const auto stat = readSmallFile(statPath(pid));
        if (!stat) return std::nullopt;
        return parseStat(*stat);
    }

    std::unique_ptr<ProcessUsageScanner> usageScanner() const override;

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
    uint64_t ticksPerSecond_;
    uint64_t pageSize_;
};

// Keeps each process's stat file open between scans, so a later reading is one pread instead of
// an open, a read and a close. A kept file stays bound to its process: once that process is
// gone the read fails (even when its pid has been reused), and the pid's file is opened afresh.
class ProcfsUsageScanner final : public ProcessUsageScanner {
  public:
    explicit ProcfsUsageScanner(const ProcfsProcessTable& table)
        : table_(table), limit_(keptFileLimit()) {}
    ~ProcfsUsageScanner() override {
        for (const auto& [pid, fd] : kept_)
            ::close(fd);
    }
    ProcfsUsageScanner(const ProcfsUsageScanner&) = delete;
    ProcfsUsageScanner& operator=(const ProcfsUsageScanner&) = delete;

    std::vector<std::pair<int32_t, ProcessUsage>> scan() override {
        std::vector<std::pair<int32_t, ProcessUsage>> usages;
        std::unordered_map<int32_t, int> stillKept;
        char buffer[statBufferSize];
        for (const int32_t pid : table_.allPIDs()) {
            int fd = takeKept(pid);
            ssize_t length = fd >= 0 ? readAt(fd, buffer) : -1;
            if (length <= 0 && fd >= 0) {
                ::close(fd);
                fd = -1;
            }
            if (fd < 0) {
                fd = ::open(table_.statPath(pid).c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) continue;
                length = readAt(fd, buffer);
            }
            std::optional<ProcessUsage> usage;
            if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
                usage =
                    table_.parseStat(std::string_view(buffer, static_cast<std::size_t>(length)));
            } else if (length > 0) {
                usage = table_.usage(pid);  // longer than any stat line should be
            }
            if (usage) usages.emplace_back(pid, *usage);
            if (usage && stillKept.size() < limit_) {
                stillKept.emplace(pid, fd);
            } else {
                ::close(fd);
            }
        }
        for (const auto& [pid, fd] : kept_)
            ::close(fd);
        kept_ = std::move(stillKept);
        return usages;
    }

  private:
    int takeKept(int32_t pid) {
        const auto found = kept_.find(pid);
        if (found == kept_.end()) return -1;
        const int fd = found->second;
        kept_.erase(found);
        return fd;
    }

    static ssize_t readAt(int fd, char (&buffer)[statBufferSize]) {
        ssize_t n;
        do {
            n = ::pread(fd, buffer, sizeof buffer, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    const ProcfsProcessTable& table_;
    std::size_t limit_;
    std::unordered_map<int32_t, int> kept_;
};

std::unique_ptr<ProcessUsageScanner> ProcfsProcessTable::usageScanner() const {
    return std::make_unique<ProcfsUsageScanner>(*this);
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
