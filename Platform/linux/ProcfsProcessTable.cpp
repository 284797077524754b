#include "Platform/ProcessTable.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

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

    // /proc/PID/stat: "pid (comm) state ppid ...": utime and stime are fields 14 and 15 (clock
    // ticks), starttime field 22 (clock ticks since boot), rss field 24 (pages). The command may
    // hold ") ", so fields count from the last ')'.
    std::optional<ProcessUsage> usage(int32_t pid) const override {
        const auto stat = readSmallFile(root_ + "/" + std::to_string(pid) + "/stat");
        if (!stat) return std::nullopt;
        const auto close = stat->rfind(')');
        if (close == std::string::npos) return std::nullopt;
        std::string_view rest = std::string_view(*stat).substr(close + 1);
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

}  // namespace

std::shared_ptr<const ProcessTable> makeProcfsProcessTable(std::string procRoot) {
    return std::make_shared<ProcfsProcessTable>(std::move(procRoot));
}

std::shared_ptr<const ProcessTable> systemProcessTable() {
    static const auto table = makeProcfsProcessTable("/proc");
    return table;
}

}  // namespace joulix
