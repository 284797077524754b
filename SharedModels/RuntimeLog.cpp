#include "SharedModels/RuntimeLog.h"

#include "Platform/SystemLog.h"
#include "SharedModels/SharedFileCheck.h"
#include "SharedModels/SharedRoot.h"
#include "SharedModels/Text.h"
#include "SharedModels/Truthiness.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

namespace joulix {
namespace {

constexpr std::string_view logLevelEnvironmentKey = "JLX_LOG_LEVEL";
constexpr std::string_view verboseEnvironmentKey = "JLX_LOG_VERBOSE";
constexpr std::string_view disabledKey = "JLX_LOG_DISABLED";

std::optional<RuntimeLogLevel> levelFromText(std::string_view value) {
    return runtimeLogLevelFromRawValue(text::lowercased(text::trim(value)));
}

std::string_view levelWord(RuntimeLogLevel level) {
    switch (level) {
    case RuntimeLogLevel::error:
        return "ERROR";
    case RuntimeLogLevel::warn:
        return "WARN";
    case RuntimeLogLevel::info:
        return "INFO";
    }
    return "INFO";
}

struct RuntimeLogState {
    explicit RuntimeLogState(RuntimeLogLevel level) : minimumLevel(level) {}
    std::mutex lock;
    RuntimeLogLevel minimumLevel;
    bool notificationsEnabled = false;
    std::shared_ptr<SystemLog> systemLog = platformSystemLog();
};

// Created on first use and never destroyed, so that logging still works while the process's
// static objects are being destroyed.
RuntimeLogState& state() {
    static auto* const instance = new RuntimeLogState(RuntimeLog::defaultLevelFromEnvironment(
        currentEnvironment({logLevelEnvironmentKey, verboseEnvironmentKey}),
        mainBundle()->infoDictionary()));
    return *instance;
}

const std::string& subsystem() {
    static const auto* const value = new std::string(AppConfiguration::Logging::subsystem());
    return *value;
}

// The in-process notification centre for runtimeLogDidWrite, with its own lock; observers are
// called outside it, so an observer may add or remove observers.
struct ObserverRegistry {
    std::mutex lock;
    uint64_t nextToken = 1;
    std::map<uint64_t, RuntimeLog::Observer> observers;
};

ObserverRegistry& observerRegistry() {
    static auto* const registry = new ObserverRegistry;
    return *registry;
}

void postDidWrite(const std::string& line) {
    auto& registry = observerRegistry();
    std::vector<RuntimeLog::Observer> observers;
    {
        std::lock_guard guard(registry.lock);
        for (const auto& [token, observer] : registry.observers)
            observers.push_back(observer);
    }
    for (const auto& observer : observers)
        observer(line);
}

// Writes until done; stops silently on an error or a write of nothing.
void writeAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Standard error may be a pipe whose reader is gone: SIGPIPE is blocked on this thread for the
// write and the one the write raised is consumed, so the log never stops the process.
void writeToStandardError(std::string_view bytes) {
    sigset_t pipeSignal, previous, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    writeAll(STDERR_FILENO, bytes);
    sigpending(&pending);
    if (!alreadyPending && sigismember(&pending, SIGPIPE) == 1) {
        int consumed = 0;
        sigwait(&pipeSignal, &consumed);  // pending, so it returns at once
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void writeSystemLog(SystemLog& systemLog, RuntimeLogLevel level, std::string_view component,
                    std::string_view message) {
    const auto trimmed = text::trim(component);
    std::string category = trimmed.empty() ? "General" : std::string(trimmed);
    std::replace(category.begin(), category.end(), ' ', '_');
    systemLog.write(subsystem(), category, level != RuntimeLogLevel::info, message);
}

// Opens the log inside its folder; -1 when that fails or the file is not one to write.
int openSharedLog(int directory, const char* name) {
    const int descriptor = ::openat(
        directory, name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (descriptor < 0) return -1;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !isSafeSharedFile(status)) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

// Moves a full log to "<name>.1" (replacing the previous one), when the name still holds the
// file that was opened.
bool rollSharedLog(int directory, int descriptor, const std::string& name) {
    struct stat opened {
    }, named{};
    if (::fstat(descriptor, &opened) != 0 ||
        ::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        return false;
    }
    return ::renameat(directory, name.c_str(), directory, (name + ".1").c_str()) == 0;
}

void appendToSharedLogFile(std::string_view bytes) {
    const std::filesystem::path path = RuntimeLog::sharedLogPath();
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) return;
    // The directory is shared and world-writable: O_NOFOLLOW on the log's directory and on the
    // file keeps a planted link from redirecting the write into another place, and O_NONBLOCK
    // with the type check keeps a planted FIFO from blocking the writer or receiving the line. A
    // file with a second hard link may be another file planted under the log's name.
    const int directory =
        ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) return;
    const std::string name = path.filename().string();
    int descriptor = openSharedLog(directory, name.c_str());
    struct stat status {};
    // The log stays under its bound by one roll; a line that would cross it when the log
    // cannot be rolled (another user's log) is dropped.
    if (descriptor >= 0 && ::fstat(descriptor, &status) == 0 &&
        static_cast<uint64_t>(status.st_size) + bytes.size() > RuntimeLog::sharedLogMaxBytes) {
        const bool rolled = rollSharedLog(directory, descriptor, name);
        ::close(descriptor);
        descriptor = rolled ? openSharedLog(directory, name.c_str()) : -1;
    }
    ::close(directory);
    if (descriptor < 0) return;
    writeAll(descriptor, bytes);
    ::close(descriptor);
}

}  // namespace

std::optional<RuntimeLogLevel> runtimeLogLevelFromRawValue(std::string_view raw) {
    if (raw == "error") return RuntimeLogLevel::error;
    if (raw == "warn") return RuntimeLogLevel::warn;
    if (raw == "info") return RuntimeLogLevel::info;
    return std::nullopt;
}

std::string_view rawValue(RuntimeLogLevel level) {
    switch (level) {
    case RuntimeLogLevel::error:
        return "error";
    case RuntimeLogLevel::warn:
        return "warn";
    case RuntimeLogLevel::info:
        return "info";
    }
    return "info";
}

void RuntimeLog::info(std::string_view component, std::string_view message) {
    write(RuntimeLogLevel::info, component, message);
}

void RuntimeLog::warn(std::string_view component, std::string_view message) {
    write(RuntimeLogLevel::warn, component, message);
}

void RuntimeLog::error(std::string_view component, std::string_view message) {
    write(RuntimeLogLevel::error, component, message);
}

void RuntimeLog::write(RuntimeLogLevel level, std::string_view component,
                       std::string_view message) {
    const auto environment = currentEnvironment({disabledKey});
    // The Info dictionary counts only when the environment leaves the switch unset.
    const auto info = environment.empty() ? mainBundle()->infoDictionary() : std::nullopt;
    if (loggingDisabled(environment, info)) return;

    auto& log = state();
    RuntimeLogLevel minimumLevel;
    bool notificationsEnabled;
    std::shared_ptr<SystemLog> systemLog;
    {
        std::lock_guard guard(log.lock);
        minimumLevel = log.minimumLevel;
        notificationsEnabled = log.notificationsEnabled;
        systemLog = log.systemLog;
    }
    if (static_cast<int>(level) > static_cast<int>(minimumLevel)) return;

    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const auto seconds = text::formatted("%.3f", now);
    // The texts may hold any bytes; what is written is always valid UTF-8.
    const auto safeComponent = text::repairUTF8(component);
    const auto safeMessage = text::repairUTF8(message);
    const auto line = "[" + seconds + "] [" + std::string(levelWord(level)) + "] [" +
                      safeComponent + "] " + safeMessage + "\n";

    writeToStandardError(line);
    writeSystemLog(*systemLog, level, safeComponent, safeMessage);
    appendToSharedLogFile(line);
    if (notificationsEnabled) postDidWrite(line);
}

void RuntimeLog::configure(std::optional<RuntimeLogLevel> minLevel,
                           std::optional<bool> notificationsEnabled) {
    auto& log = state();
    std::lock_guard guard(log.lock);
    if (minLevel) log.minimumLevel = *minLevel;
    if (notificationsEnabled) log.notificationsEnabled = *notificationsEnabled;
}

void RuntimeLog::setMinimumLevel(RuntimeLogLevel level) {
    configure(level, std::nullopt);
}

void RuntimeLog::setNotificationBroadcastEnabled(bool enabled) {
    configure(std::nullopt, enabled);
}

std::string RuntimeLog::sharedLogPath() {
    return sharedRoot() + "/Joulix/runtime.log";
}

uint64_t RuntimeLog::addObserver(Observer observer) {
    auto& registry = observerRegistry();
    std::lock_guard guard(registry.lock);
    const auto token = registry.nextToken++;
    registry.observers.emplace(token, std::move(observer));
    return token;
}

void RuntimeLog::removeObserver(uint64_t token) {
    auto& registry = observerRegistry();
    std::lock_guard guard(registry.lock);
    registry.observers.erase(token);
}

RuntimeLogLevel RuntimeLog::defaultLevelFromEnvironment(const Environment& environment,
                                                        const std::optional<InfoDictionary>& info) {
    if (const auto* value = environmentValue(environment, logLevelEnvironmentKey)) {
        if (const auto level = levelFromText(*value)) return *level;
    }
    if (info) {
        const auto found = info->find(AppConfiguration::Logging::logLevelInfoKey);
        if (found != info->end()) {
            if (const auto* value = std::get_if<std::string>(&found->second)) {
                if (const auto level = levelFromText(*value)) return *level;
            }
        }
    }
    if (const auto* verbose = environmentValue(environment, verboseEnvironmentKey);
        verbose && *verbose == "1") {
        return RuntimeLogLevel::info;
    }
    return RuntimeLogLevel::warn;
}

bool RuntimeLog::loggingDisabled(const Environment& environment,
                                 const std::optional<InfoDictionary>& info) {
    if (const auto* value = environmentValue(environment, disabledKey)) {
        return parseTruthiness(*value);
    }
    if (!info) return false;
    const auto found = info->find(disabledKey);
    if (found == info->end()) return false;
    struct Truth {
        bool operator()(const InfoOther&) const { return false; }
        bool operator()(bool value) const { return value; }
        bool operator()(int64_t value) const { return value != 0; }
        bool operator()(double value) const { return value != 0; }
        bool operator()(const std::string& value) const { return parseTruthiness(value); }
    };
    return std::visit(Truth{}, found->second);
}

void RuntimeLog::setSystemLog(std::shared_ptr<SystemLog> systemLog) {
    auto& log = state();
    std::lock_guard guard(log.lock);
    log.systemLog = systemLog ? std::move(systemLog) : platformSystemLog();
}

}  // namespace joulix
