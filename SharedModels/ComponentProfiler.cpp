#include "SharedModels/ComponentProfiler.h"

#include "SharedModels/BenchmarkFeature.h"
#include "SharedModels/SharedFileCheck.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace joulix {
namespace {

// getpid() and gettid() are system calls; both are kept, and renewed in a forked child (whose
// only thread is the one that forked).
std::atomic<pid_t> cachedProcessID{0};
thread_local pid_t cachedThreadID = 0;

void renewIdentifiersAfterFork() {
    cachedProcessID.store(::getpid(), std::memory_order_relaxed);
    cachedThreadID = ::gettid();
}

pid_t processID() {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, renewIdentifiersAfterFork);
        cachedProcessID.store(::getpid(), std::memory_order_relaxed);
        return true;
    }();
    (void)registered;
    return cachedProcessID.load(std::memory_order_relaxed);
}

pid_t currentThreadID() {
    if (cachedThreadID == 0) cachedThreadID = ::gettid();
    return cachedThreadID;
}

std::string threadLabel(bool onMainThread) {
    return onMainThread ? "main" : "thread-" + std::to_string(currentThreadID());
}

double wallClockUnixMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint64_t uptimeNanoseconds() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The last two pieces of a source path: "SharedModels/ComponentProfiler.cpp".
std::string fileID(std::string_view path) {
    const auto last = path.rfind('/');
    if (last == std::string_view::npos || last == 0) return std::string(path);
    const auto previous = path.rfind('/', last - 1);
    return std::string(previous == std::string_view::npos ? path : path.substr(previous + 1));
}

std::optional<std::string> optionalText(std::optional<std::string_view> value) {
    if (!value) return std::nullopt;
    return std::string(*value);
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const auto n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace

bool isMainThread() {
    return currentThreadID() == processID();
}

ComponentProfiler& ComponentProfiler::shared(BenchmarkProcessKind kind) {
    // Created on first use and never released: the profilers live until the process ends.
    static auto* const sharedLock = new std::mutex;
    static auto* const sharedProfilers = new std::map<BenchmarkProcessKind, ComponentProfiler*>;
    std::lock_guard guard(*sharedLock);
    auto& profiler = (*sharedProfilers)[kind];
    if (profiler == nullptr) {
        profiler = new ComponentProfiler(kind, runningProcessName(), std::nullopt, 1.0, 24);
    }
    return *profiler;
}

ComponentProfiler& ComponentProfiler::current() {
    // The process's name, and so its kind, never changes.
    static ComponentProfiler& profiler = shared(currentBenchmarkProcessKind());
    return profiler;
}

ComponentProfiler::ComponentProfiler(BenchmarkProcessKind kind, std::string processName,
                                     std::optional<std::string> outputPath,
                                     double flushIntervalSeconds, int64_t flushThreshold,
                                     std::optional<bool> enabledOverride)
    : kind_(kind), processName_(std::move(processName)),
      outputPath_(outputPath ? std::move(*outputPath) : std::string(componentProfilePath(kind))),
      flushIntervalSeconds_(flushIntervalSeconds),
      flushThreshold_(std::max<int64_t>(flushThreshold, 1)),
      enabled_(enabledOverride ? *enabledOverride : BenchmarkFeature::isEnabled()),
      writerQueue_("JLX.component-profiler." + std::string(rawValue(kind))) {
    resetOutputFile();
    startFlushTimer();
}

ComponentProfiler::~ComponentProfiler() {
    if (flushTimer_) writerQueue_.cancel(*flushTimer_);
    flush();
    if (fileDescriptor_ >= 0) ::close(fileDescriptor_);
}

void ComponentProfiler::resetOutputFile() {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(outputPath_).parent_path(), ignored);
    // The trace lies in /tmp, where anyone may plant a name: no symbolic link is followed, a
    // planted FIFO or device is refused instead of blocking or being written to, and a file with
    // a second hard link or of another user is neither emptied nor written.
    const int fd =
        ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !isSafeSharedFile(status) || ::ftruncate(fd, 0) != 0 ||
        ::lseek(fd, 0, SEEK_END) < 0) {
        ::close(fd);
        return;
    }
    fileDescriptor_ = fd;
}

void ComponentProfiler::startFlushTimer() {
    if (!(flushIntervalSeconds_ > 0)) return;
    // Capped so that the conversion to nanoseconds cannot overflow (about 31 years).
    const std::chrono::duration<double> seconds(std::min(flushIntervalSeconds_, 1e9));
    flushTimer_ = writerQueue_.scheduleRepeating(
        std::chrono::duration_cast<std::chrono::nanoseconds>(seconds),
        [this] { flushBufferedEvents(); });
}

std::string ComponentProfiler::makeCorrelationID(std::string_view prefix) {
    uint64_t value = 0;
    {
        std::lock_guard guard(stateLock_);
        if (sequence_ == UINT64_MAX) std::abort();
        value = ++sequence_;
    }
    return std::string(prefix) + "-" + std::to_string(processID()) + "-" + std::to_string(value);
}

std::optional<ComponentProfileSpan> ComponentProfiler::beginSpan(
    std::string_view component, std::optional<std::string_view> parentComponent,
    std::string_view correlationID, const ProfileContext& context, ProfileCallSite site) noexcept {
    if (!isEnabled() || writerQueue_.isCurrent()) return std::nullopt;
    try {
        const bool onMainThread = isMainThread();
        const double startedAtUnixMs = wallClockUnixMs();
        const uint64_t startedAtUptime = uptimeNanoseconds();
        ComponentProfileSpan span{std::string(component),
                                  optionalText(parentComponent),
                                  std::string(correlationID),
                                  startedAtUnixMs,
                                  startedAtUptime,
                                  fileID(site.file),
                                  std::string(site.function),
                                  site.line,
                                  context};
        if (onMainThread) span.context["uiThread"] = "1";
        return span;
    } catch (...) {
        return std::nullopt;
    }
}

void ComponentProfiler::endSpan(const std::optional<ComponentProfileSpan>& span,
                                const ProfileContext& context) noexcept {
    if (!span || !isEnabled() || writerQueue_.isCurrent()) return;
    try {
        finishSpan(*span, context);
    } catch (...) {
        // The profiler never fails its caller; the event is lost.
    }
}

void ComponentProfiler::finishSpan(ComponentProfileSpan span, const ProfileContext& context) {
    const uint64_t endedAtUptime = uptimeNanoseconds();
    const bool onMainThread = isMainThread();
    ComponentProfileEvent event;
    event.processKind = kind_;
    event.processName = processName_;
    event.pid = processID();
    event.component = std::move(span.component);
    event.parentComponent = std::move(span.parentComponent);
    event.correlationID = std::move(span.correlationID);
    event.startedAtUnixMs = span.startedAtUnixMs;
    const uint64_t elapsed = endedAtUptime > span.startedAtUptimeNanoseconds
                                 ? endedAtUptime - span.startedAtUptimeNanoseconds
                                 : 0;
    event.durationMs = static_cast<double>(elapsed) / 1'000'000.0;
    event.threadLabel = threadLabel(onMainThread);
    event.queueLabel = SerialExecutor::currentLabel();
    event.sourceFileID = std::move(span.sourceFileID);
    event.sourceFunction = std::move(span.sourceFunction);
    event.sourceLine = span.sourceLine;

    const auto startMark = span.context.find("uiThread");
    const bool startedOnUIThread = startMark != span.context.end() && startMark->second == "1";
    event.context = std::move(span.context);
    for (const auto& [key, value] : context)
        event.context.insert_or_assign(key, value);
    if (startedOnUIThread || onMainThread) event.context["uiThread"] = "1";
    enqueue(std::move(event));
}

ComponentProfiler::SpanEnd::~SpanEnd() {
    if (!span || !profiler.isEnabled() || profiler.writerQueue_.isCurrent()) return;
    try {
        profiler.finishSpan(std::move(*span), {});
    } catch (...) {
        // The profiler never fails its caller; the event is lost.
    }
}

ProfileContext ComponentProfiler::withSyncCallMarks(const ProfileContext& context) {
    ProfileContext marked = context;
    marked["syncCall"] = "1";
    marked["uiThread"] = "1";
    return marked;
}

void ComponentProfiler::recordInstant(std::string_view component,
                                      std::optional<std::string_view> parentComponent,
                                      std::string_view correlationID, const ProfileContext& context,
                                      ProfileCallSite site) noexcept {
    if (!isEnabled() || writerQueue_.isCurrent()) return;
    try {
        ComponentProfileEvent event;
        event.processKind = kind_;
        event.processName = processName_;
        event.pid = processID();
        event.component = std::string(component);
        event.parentComponent = optionalText(parentComponent);
        event.correlationID = std::string(correlationID);
        event.startedAtUnixMs = wallClockUnixMs();
        event.durationMs = 0;
        const bool onMainThread = isMainThread();
        event.threadLabel = threadLabel(onMainThread);
        event.queueLabel = SerialExecutor::currentLabel();
        event.sourceFileID = fileID(site.file);
        event.sourceFunction = std::string(site.function);
        event.sourceLine = site.line;
        event.context = context;
        if (onMainThread) event.context["uiThread"] = "1";
        enqueue(std::move(event));
    } catch (...) {
        // The profiler never fails its caller; the event is lost.
    }
}

void ComponentProfiler::enqueue(ComponentProfileEvent event) {
    writerQueue_.async([this, event = std::move(event)]() mutable {
        bufferedEvents_.push_back(std::move(event));
        if (static_cast<int64_t>(bufferedEvents_.size()) >= flushThreshold_) {
            flushBufferedEvents();
        }
    });
}

void ComponentProfiler::flushBufferedEvents() {
    if (bufferedEvents_.empty()) return;
    if (fileDescriptor_ < 0) {
        bufferedEvents_.clear();
        return;
    }
    // Encoding cannot fail: texts that are not UTF-8 are repaired.
    std::string batch;
    for (const auto& event : bufferedEvents_) {
        batch += event.jsonLine();
        batch += '\n';
    }
    bufferedEvents_.clear();
    if (::lseek(fileDescriptor_, 0, SEEK_END) < 0) return;
    writeAll(fileDescriptor_, batch);
    ::fsync(fileDescriptor_);
}

void ComponentProfiler::flush() {
    if (writerQueue_.isCurrent()) return;
    writerQueue_.sync([this] { flushBufferedEvents(); });
}

}  // namespace joulix
