#pragma once
// Measures how long named pieces of work take and writes one JSON line per measurement to a
// trace file (see ComponentProfileEvent). Off unless the DEBUG_BENCHMARK switch is set (or an
// override says otherwise); when off, every call costs one flag check and allocates nothing.
// The measured thread only reads clocks and hands the event to a private serial writer, which
// buffers events and writes them in one batch when `flushThreshold` events wait or its repeating
// timer fires. Creating a profiler empties its trace file. The file is opened without following
// a symbolic link, so a link planted at the path never redirects the write. Failures are
// swallowed: the affected events are dropped. All operations may be called from any thread.
//
// The debug switch is read once, when the profiler is created: a process turns profiling on at
// launch, and reading the environment on every measured call would cost more than the work of
// many small spans.
//
// Asynchronous work: C++ has no awaitable body, so work that finishes elsewhere (a callback, a
// future, another thread) calls beginSpan before it starts and endSpan when it completes. Work
// bound to the UI thread is measured with measure, or measureSyncCall for a blocking call, run
// on that thread. The main thread is the process's initial thread (its thread id is the pid).
#include "SharedModels/BenchmarkProcessKind.h"
#include "SharedModels/ComponentProfileEvent.h"
#include "SharedModels/SerialExecutor.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

// Where a measurement is requested from; by default the caller's source location.
struct ProfileCallSite {
    ProfileCallSite(std::string_view callerFile = __builtin_FILE(),
                    std::string_view callerFunction = __builtin_FUNCTION(),
                    int64_t callerLine = __builtin_LINE())
        : file(callerFile), function(callerFunction), line(callerLine) {}
    std::string_view file;  // a path; the trace keeps its last two pieces ("Module/File.cpp")
    std::string_view function;
    int64_t line;
};

// True on the process's initial thread.
bool isMainThread();

class ComponentProfiler {
  public:
    // The process-wide profiler of a kind, created on first use (trace at the kind's path,
    // flushed every second or at 24 events) and never destroyed.
    static ComponentProfiler& shared(BenchmarkProcessKind kind);
    static ComponentProfiler& current();

    // outputPath absent means the kind's componentProfilePath; a flushThreshold below 1 is 1; a
    // flushIntervalSeconds that is not positive starts no timer. enabledOverride, when present,
    // replaces the debug switch.
    explicit ComponentProfiler(BenchmarkProcessKind kind, std::string processName,
                               std::optional<std::string> outputPath = std::nullopt,
                               double flushIntervalSeconds = 1.0, int64_t flushThreshold = 24,
                               std::optional<bool> enabledOverride = std::nullopt);
    // Stops the timer, writes what is buffered and closes the file.
    ~ComponentProfiler();
    ComponentProfiler(const ComponentProfiler&) = delete;
    ComponentProfiler& operator=(const ComponentProfiler&) = delete;

    bool isEnabled() const { return enabled_; }
    const std::string& traceFilePath() const { return outputPath_; }

    // prefix + "-" + pid + "-" + a sequence number counting from 1.
    std::string makeCorrelationID(std::string_view prefix);

    // Absent when off or when called on the writer.
    std::optional<ComponentProfileSpan> beginSpan(std::string_view component,
                                                  std::optional<std::string_view> parentComponent,
                                                  std::string_view correlationID,
                                                  const ProfileContext& context = {},
                                                  ProfileCallSite site = {}) noexcept;
    // Records the span's event; the end context adds to (and wins over) the span's context.
    void endSpan(const std::optional<ComponentProfileSpan>& span,
                 const ProfileContext& context = {}) noexcept;

    // Runs body() and returns its result; the span ends whether it returns or throws, and the
    // exception propagates.
    template <class Body>
    decltype(auto) measure(std::string_view component,
                           std::optional<std::string_view> parentComponent,
                           std::string_view correlationID, const ProfileContext& context,
                           Body&& body, ProfileCallSite site = {}) {
        if (!isEnabled()) return std::invoke(std::forward<Body>(body));
        SpanEnd end{*this, beginSpan(component, parentComponent, correlationID, context, site)};
        return std::invoke(std::forward<Body>(body));
    }

    // measure for a blocking call made from the UI thread: the event carries "syncCall" = "1"
    // and "uiThread" = "1" (over any value the caller gave for them).
    template <class Body>
    decltype(auto) measureSyncCall(std::string_view component,
                                   std::optional<std::string_view> parentComponent,
                                   std::string_view correlationID, const ProfileContext& context,
                                   Body&& body, ProfileCallSite site = {}) {
        if (!isEnabled()) return std::invoke(std::forward<Body>(body));
        SpanEnd end{*this, beginSpan(component, parentComponent, correlationID,
                                     withSyncCallMarks(context), site)};
        return std::invoke(std::forward<Body>(body));
    }

    // An event of zero duration, now.
    void recordInstant(std::string_view component, std::optional<std::string_view> parentComponent,
                       std::string_view correlationID, const ProfileContext& context = {},
                       ProfileCallSite site = {}) noexcept;

    // Writes what is buffered now and waits for it; returns at once when called on the writer.
    void flush();

  private:
    struct SpanEnd {
        ComponentProfiler& profiler;
        std::optional<ComponentProfileSpan> span;
        ~SpanEnd();  // endSpan without copying the span
    };
    static ProfileContext withSyncCallMarks(const ProfileContext& context);

    void resetOutputFile();
    void startFlushTimer();
    void finishSpan(ComponentProfileSpan span, const ProfileContext& context);
    void enqueue(ComponentProfileEvent event);
    void flushBufferedEvents();

    const BenchmarkProcessKind kind_;
    const std::string processName_;
    const std::string outputPath_;
    const double flushIntervalSeconds_;
    const int64_t flushThreshold_;
    const bool enabled_;  // enabledOverride, else the debug switch

    std::mutex stateLock_;  // guards sequence_
    uint64_t sequence_ = 0;

    // Confined to the writer once construction is done.
    int fileDescriptor_ = -1;
    std::optional<SerialExecutor::TimerID> flushTimer_;
    std::vector<ComponentProfileEvent> bufferedEvents_;

    // Declared last so that it stops before the state its tasks use is destroyed.
    SerialExecutor writerQueue_;
};

}  // namespace joulix
