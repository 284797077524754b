#include "MetricsCollectors/ShellRunner.h"

#include "SharedModels/Text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <new>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace joulix {

// --- Errors -------------------------------------------------------------------------------------

namespace {
// Shortest decimal that reads back to the same value, with at least one decimal ("4.0", "0.25",
// "100000.0"). Like the platform's own number texts, only magnitudes below 1e-4 or from 2^53 on
// take the exponent form ("1e-05", "1e+16").
std::string shortestDecimal(double value) {
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    char buffer[64];
    auto [end, ec] =
        plain ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed)
              : std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}
}  // namespace

ShellRunnerError ShellRunnerError::failedToLaunch(const std::string& description) {
    ShellRunnerError error(Kind::failedToLaunch, "Failed to launch command: " + description);
    error.launchErrorDescription_ = description;
    return error;
}

ShellRunnerError ShellRunnerError::nonZeroExit(const ShellResult& result) {
    ShellRunnerError error(Kind::nonZeroExit, "Command exited with status " +
                                                  std::to_string(result.status) + ": " +
                                                  result.stderr);
    error.result_ = result;
    return error;
}

ShellRunnerError ShellRunnerError::timedOut(const std::string& command, double timeoutSeconds) {
    ShellRunnerError error(Kind::timedOut, "Command timed out after " +
                                               shortestDecimal(timeoutSeconds) + "s: " + command);
    error.command_ = command;
    error.timeoutSeconds_ = timeoutSeconds;
    return error;
}

ShellRunnerError ShellRunnerError::statusLost(const std::string& command) {
    ShellRunnerError error(Kind::statusLost, "Command exit status lost (the child was reaped "
                                             "elsewhere in this process): " +
                                                 command);
    error.command_ = command;
    return error;
}

ShellRunnerError ShellRunnerError::outputNotCaptured(const std::string& command,
                                                     const std::string& reason) {
    ShellRunnerError error(Kind::outputNotCaptured,
                           "Command output not captured (" + reason + "): " + command);
    error.command_ = command;
    return error;
}

// --- Time-out resolution ------------------------------------------------------------------------

namespace {
constexpr double defaultTimeoutSeconds = 4.0;
constexpr double minimumTimeoutSeconds = 0.25;
constexpr double defaultPowermetricsTimeoutSeconds = 15.0;
constexpr double minimumPowermetricsTimeoutSeconds = 1.0;

// The variable parsed as a decimal number in full, or `fallback` when unset or unparsable.
double environmentSeconds(const char* name, double fallback) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return fallback;
    std::string_view text(raw);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) return fallback;
    // A number too large or too small for a double still parses: strtod, given the text
    // from_chars accepted in full, rounds it to infinity or towards zero.
    if (ec == std::errc::result_out_of_range)
        return std::strtod(std::string(text).c_str(), nullptr);
    if (ec != std::errc()) return fallback;
    return value;
}

// `value` raised to at least `lowerBound`; not-a-number ends as the bound.
double atLeast(double value, double lowerBound) {
    return std::isnan(value) ? lowerBound : std::max(value, lowerBound);
}

std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

bool isPowermetricsCommand(const std::string& executable,
                           const std::vector<std::string>& arguments) {
    auto name = lastPathComponent(executable);
    if (name == "powermetrics") return true;
    if (name != "nice" && name != "sudo") return false;
    return std::find(arguments.begin(), arguments.end(), "/usr/bin/powermetrics") !=
           arguments.end();
}
}  // namespace

double DefaultShellRunner::resolveTimeoutSeconds(const std::string& executable,
                                                 const std::vector<std::string>& arguments) {
    if (isPowermetricsCommand(executable, arguments)) {
        return atLeast(environmentSeconds("JLX_PM_TIMEOUT_SEC", defaultPowermetricsTimeoutSeconds),
                       minimumPowermetricsTimeoutSeconds);
    }
    return atLeast(environmentSeconds("JLX_SHELL_TIMEOUT_SEC", defaultTimeoutSeconds),
                   minimumTimeoutSeconds);
}

// --- Descriptors and the reaper -----------------------------------------------------------------

namespace {
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    int* out() { return &fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor readEnd;
    Descriptor writeEnd;
};

// Creates a pipe whose ends close on exec, so that a child spawned concurrently by another
// thread never inherits them. Returns 0 or an errno value.
int makePipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
    *pipe.readEnd.out() = fds[0];
    *pipe.writeEnd.out() = fds[1];
    return 0;
}

// Children that outlived SIGKILL's grace period. One detached thread waits for them so that no
// zombie accumulates; it waits for these process ids only, never for any child.
class AbandonedChildReaper {
  public:
    static AbandonedChildReaper& shared() {
        // Never destroyed: the detached thread may outlive static destruction.
        static auto* reaper = new AbandonedChildReaper;
        return *reaper;
    }

    void adopt(pid_t pid) noexcept {
        std::lock_guard lock(lock_);
        try {
            pids_.push_back(pid);
            if (!started_) {
                std::thread([this] { reapForever(); }).detach();
                started_ = true;
            }
        } catch (...) {
            // Out of memory or threads: the pid is retried with the next adoption.
        }
        wake_.notify_one();
    }

  private:
    void reapForever() {
        std::unique_lock lock(lock_);
        for (;;) {
            wake_.wait(lock, [this] { return !pids_.empty(); });
            std::erase_if(pids_, [](pid_t pid) {
                int status = 0;
                pid_t result = ::waitpid(pid, &status, WNOHANG);
                return result == pid || (result < 0 && errno == ECHILD);
            });
            if (!pids_.empty()) wake_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<pid_t> pids_;
    bool started_ = false;
};

int openPidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

std::string errorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

std::string joinedCommand(const std::string& executable,
                          const std::vector<std::string>& arguments) {
    std::string command = executable;
    for (const auto& argument : arguments)
        command += ' ' + argument;
    return command;
}

using Clock = std::chrono::steady_clock;

// One running child, leader of its own process group: its pid, a pidfd when the kernel has
// them, and the two read ends, drained into their buffers (at most outputLimitBytes each) while
// the caller waits.
class Child {
  public:
    Child(pid_t pid, Descriptor& out, Descriptor& err) : pid_(pid) {
        *pidfd_.out() = openPidDescriptor(pid);
        streams_[0].fd = &out;
        streams_[1].fd = &err;
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // A child not reaped by now (it outlived SIGKILL's grace, or the wait was cut short) is
    // killed with its group and left to the reaper, so it never stays a zombie.
    ~Child() {
        if (exited_) return;
        signal(SIGKILL);
        AbandonedChildReaper::shared().adopt(pid_);
    }

    // Drains both pipes until the child exits, a stream overflows or `deadline` passes; true
    // when it exited.
    bool waitForExit(Clock::time_point deadline) {
        while (!exited_ && !overflowed()) {
            auto now = Clock::now();
            if (now >= deadline) return false;
            pollOnce(millisecondsUntil(now, deadline));
        }
        return exited_;
    }

    // Reads both pipes to end of file, or until `deadline` when a grandchild still holds them
    // open; the caller then closes them.
    void drainUntil(Clock::time_point deadline) {
        while ((streams_[0].open || streams_[1].open) && !overflowed()) {
            auto now = Clock::now();
            if (now >= deadline) return;
            pollOnce(millisecondsUntil(now, deadline));
        }
    }

    // Signals the whole group. The group id stays the child's while any member lives, so this
    // is safe after the leader was reaped too.
    void signal(int signalNumber) const { ::kill(-pid_, signalNumber); }
    // From now on output is read and dropped, and no longer counts against the limit.
    void discardOutput() {
        keepOutput_ = false;
        streams_[0].overflowed = streams_[1].overflowed = false;
    }

    int32_t status() const { return status_; }
    bool statusLost() const { return statusLost_; }
    const std::string& output(int stream) const { return streams_[stream].data; }
    // The stream (0 or 1) that went over the limit, or -1.
    int overflowedStream() const {
        return streams_[0].overflowed ? 0 : streams_[1].overflowed ? 1 : -1;
    }

  private:
    struct Stream {
        Descriptor* fd = nullptr;
        bool open = true;
        bool overflowed = false;
        std::string data;
    };

    bool overflowed() const { return overflowedStream() >= 0; }

    static int millisecondsUntil(Clock::time_point now, Clock::time_point deadline) {
        auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        return static_cast<int>(
            std::min<long long>(remaining, std::numeric_limits<int>::max() / 2));
    }

    void pollOnce(int timeoutMs) {
        pollfd fds[3] = {};
        for (int i = 0; i < 2; ++i) {
            fds[i].fd = streams_[i].open ? streams_[i].fd->get() : -1;
            fds[i].events = POLLIN;
        }
        bool watchExit = !exited_ && pidfd_.get() >= 0;
        fds[2].fd = watchExit ? pidfd_.get() : -1;
        fds[2].events = POLLIN;
        // Without a pidfd the exit is noticed by polling waitpid on a short period.
        if (!exited_ && !watchExit) timeoutMs = timeoutMs < 0 ? 5 : std::min(timeoutMs, 5);

        int ready = ::poll(fds, 3, timeoutMs);
        if (ready < 0 && errno != EINTR) ready = 0;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i].revents != 0) readSome(streams_[i]);
        }
        if (!exited_ && (!watchExit || (ready > 0 && fds[2].revents != 0))) reapIfExited();
    }

    void readSome(Stream& stream) {
        char buffer[65536];
        ssize_t count = ::read(stream.fd->get(), buffer, sizeof buffer);
        if (count > 0) {
            if (!keepOutput_) return;
            if (stream.data.size() + static_cast<size_t>(count) >
                DefaultShellRunner::outputLimitBytes) {
                stream.overflowed = true;
                return;
            }
            stream.data.append(buffer, static_cast<size_t>(count));
        } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            stream.open = false;
        }
    }

    void reapIfExited() {
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(pid_, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
        } else if (result < 0) {
            // Already reaped elsewhere (another thread's wait, SIGCHLD ignored): the child is
            // gone, and its status with it.
            exited_ = true;
            statusLost_ = true;
        }
    }

    pid_t pid_;
    Descriptor pidfd_;
    Stream streams_[2];
    bool exited_ = false;
    bool keepOutput_ = true;
    bool statusLost_ = false;
    int32_t status_ = 0;
};

Clock::time_point deadlineAfter(Clock::time_point start, double seconds) {
    // Far enough to mean "never" without overflowing the clock.
    constexpr double never = 100.0 * 365 * 24 * 3600;
    auto duration = std::chrono::duration<double>(std::min(seconds, never));
    return start + std::chrono::duration_cast<Clock::duration>(duration);
}
}  // namespace

// --- Running ------------------------------------------------------------------------------------

void DefaultShellRunner::restoreChildExitStatuses() {
    struct sigaction current = {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return;
    if (current.sa_handler == SIG_IGN) {
        current.sa_handler = SIG_DFL;
    } else if ((current.sa_flags & SA_NOCLDWAIT) == 0) {
        return;
    }
    current.sa_flags &= ~SA_NOCLDWAIT;
    ::sigaction(SIGCHLD, &current, nullptr);
}

namespace {
// Starts the child with standard input /dev/null, the two pipes as standard output and error,
// its own process group, no blocked signals and default SIGPIPE. Returns 0 or an errno value.
int spawnChild(const std::string& executable, const std::vector<std::string>& arguments,
               const Pipe& out, const Pipe& err, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd.get(), STDERR_FILENO);
    // Nothing but the three standard descriptors reaches the child, whatever the rest of the
    // process left open without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals, defaultSignals;
    sigemptyset(&noSignals);
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int error =
        ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

// SIGTERM to the group; after its grace, SIGKILL to whatever of the group is left.
void stop(Child& child, double terminateGraceSeconds, double killGraceSeconds) {
    child.discardOutput();
    child.signal(SIGTERM);
    bool exited = child.waitForExit(deadlineAfter(Clock::now(), terminateGraceSeconds));
    child.signal(SIGKILL);
    if (!exited) child.waitForExit(deadlineAfter(Clock::now(), killGraceSeconds));
}

const char* const streamNames[] = {"standard output", "standard error"};
}  // namespace

void DefaultShellRunner::checkLaunchable(const std::string& executable) const {
    if (::faccessat(AT_FDCWD, executable.c_str(), X_OK, AT_EACCESS) != 0) {
        throw ShellRunnerError::failedToLaunch(errorText(errno));
    }
}

ShellResult DefaultShellRunner::run(const std::string& executable,
                                    const std::vector<std::string>& arguments) const {
    restoreChildExitStatuses();
    // A tool that cannot start fails as its launch would, without a child.
    checkLaunchable(executable);
    try {
        Pipe out, err;
        if (int error = makePipe(out); error != 0) {
            throw ShellRunnerError::failedToLaunch(errorText(error));
        }
        if (int error = makePipe(err); error != 0) {
            throw ShellRunnerError::failedToLaunch(errorText(error));
        }
        pid_t pid = 0;
        int launchError = spawnChild(executable, arguments, out, err, pid);
        out.writeEnd.reset();
        err.writeEnd.reset();
        if (launchError != 0) throw ShellRunnerError::failedToLaunch(errorText(launchError));

        Child child(pid, out.readEnd, err.readEnd);
        double timeoutSeconds = resolveTimeoutSeconds(executable, arguments);
        auto deadline = deadlineAfter(Clock::now(), timeoutSeconds);
        bool exited = child.waitForExit(deadline);
        if (exited) child.drainUntil(deadline);
        if (int stream = child.overflowedStream(); stream >= 0) {
            stop(child, terminateGraceSeconds, killGraceSeconds);
            throw ShellRunnerError::outputNotCaptured(joinedCommand(executable, arguments),
                                                      std::string("more than 64 MiB on ") +
                                                          streamNames[stream]);
        }
        if (exited && child.statusLost())
            throw ShellRunnerError::statusLost(joinedCommand(executable, arguments));
        if (exited) {
            return ShellResult{child.status(), text::repairUTF8(child.output(0)),
                               text::repairUTF8(child.output(1))};
        }
        stop(child, terminateGraceSeconds, killGraceSeconds);
        throw ShellRunnerError::timedOut(joinedCommand(executable, arguments), timeoutSeconds);
    } catch (const std::bad_alloc&) {
        // The buffers are gone with the unwound frame; what is left is enough to say so.
        throw ShellRunnerError::outputNotCaptured(joinedCommand(executable, arguments),
                                                  "out of memory");
    }
}

}  // namespace joulix
