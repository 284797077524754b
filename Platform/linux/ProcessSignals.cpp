#include "Platform/ProcessSignals.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace joulix {
namespace {

// True when the process held by `pidfd` has ended: its pidfd turns readable when it exits, before
// it is reaped.
bool hasExited(int pidfd) {
    pollfd watched{pidfd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0;
}

// The first two numbers of the "Uid:" line of /proc/PID/status (real, effective).
std::optional<ProcessOwner> readOwner(int32_t pid) {
    const auto path = "/proc/" + std::to_string(pid) + "/status";
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return std::nullopt;
    char buffer[4096];
    const auto length = ::read(file, buffer, sizeof buffer - 1);
    ::close(file);
    if (length <= 0) return std::nullopt;
    const std::string_view status(buffer, static_cast<std::size_t>(length));
    const auto line = status.find("\nUid:");
    if (line == std::string_view::npos) return std::nullopt;
    const char* cursor = status.data() + line + 5;
    const char* const end = status.data() + status.size();
    uint32_t ids[2] = {};
    for (auto& id : ids) {
        while (cursor < end && (*cursor == ' ' || *cursor == '\t'))
            ++cursor;
        const auto [next, error] = std::from_chars(cursor, end, id);
        if (error != std::errc()) return std::nullopt;
        cursor = next;
    }
    return ProcessOwner{ids[0], ids[1]};
}

class SystemProcessSignals final : public ProcessSignaling {
  public:
    Opened open(int32_t pid) const override {
        const auto pidfd = ::syscall(SYS_pidfd_open, pid, 0);
        if (pidfd < 0) return {-1, errno};
        return {static_cast<int>(pidfd), 0};
    }
    void close(int handle) const override { ::close(handle); }
    int sendSignal(int handle, int signal) const override {
        if (::syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0) != 0) return errno;
        // A probe of a zombie succeeds; the process has ended all the same.
        return signal == 0 && hasExited(handle) ? ESRCH : 0;
    }
    std::optional<ProcessOwner> owner(int32_t pid, int handle) const override {
        auto owner = readOwner(pid);
        // Still held afterwards, so the status read was that process's, not a successor's.
        if (sendSignal(handle, 0) != 0) return std::nullopt;
        return owner;
    }
    int32_t currentProcessIdentifier() const override { return ::getpid(); }
};
}  // namespace

const ProcessSignaling& systemProcessSignals() {
    static const SystemProcessSignals signals;
    return signals;
}

std::string errorNumberText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

}  // namespace joulix
