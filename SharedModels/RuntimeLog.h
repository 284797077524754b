#pragma once
// The one logging facade. An accepted message becomes one line
// "[<unix seconds %.3f>] [<LEVEL>] [<component>] <message>\n" written to standard error, to the
// system log (journald: the message alone, identifier = subsystem, category in its own field),
// appended to the shared log file, and, when broadcasting is on, passed to in-process observers
// of runtimeLogDidWrite on the writing thread. Never fails, callable from any thread.
#include "SharedModels/AppConfiguration.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

class SystemLog;

enum class RuntimeLogLevel { error, warn, info };

std::optional<RuntimeLogLevel> runtimeLogLevelFromRawValue(std::string_view raw);
std::string_view rawValue(RuntimeLogLevel level);

class RuntimeLog {
  public:
    static constexpr std::string_view runtimeLogDidWrite = "RuntimeLogDidWrite";

    static void info(std::string_view component, std::string_view message);
    static void warn(std::string_view component, std::string_view message);
    static void error(std::string_view component, std::string_view message);
    static void write(RuntimeLogLevel level, std::string_view component, std::string_view message);

    static void configure(std::optional<RuntimeLogLevel> minLevel,
                          std::optional<bool> notificationsEnabled);
    static void setMinimumLevel(RuntimeLogLevel level);
    static void setNotificationBroadcastEnabled(bool enabled);

    // The shared log file: sharedRoot() + "/Joulix/runtime.log". A line that would take it past
    // sharedLogMaxBytes first moves it to "runtime.log.1" (replacing the older one).
    static std::string sharedLogPath();
    static constexpr uint64_t sharedLogMaxBytes = 1024 * 1024;

    // The minimum level a process starts with: "JLX_LOG_LEVEL" from the environment, else from
    // the Info dictionary (trimmed, lower-cased, one of the three raw values), else info when
    // "JLX_LOG_VERBOSE" is exactly "1", else warn. Read once, when the log is first used.
    static RuntimeLogLevel defaultLevelFromEnvironment(const Environment& environment,
                                                       const std::optional<InfoDictionary>& info);
    // "JLX_LOG_DISABLED": the environment's value by parseTruthiness (SharedModels/Truthiness.h)
    // when set; else the Info dictionary's (boolean, truthy string, non-zero number); else false.
    // Checked on every write.
    static bool loggingDisabled(const Environment& environment,
                                const std::optional<InfoDictionary>& info);

    // Replaces the system-log sink (tests); nullptr restores the platform's.
    static void setSystemLog(std::shared_ptr<SystemLog> systemLog);

    // Observers of runtimeLogDidWrite receive the user info's "line" (with its line feed).
    using Observer = std::function<void(const std::string& line)>;
    static uint64_t addObserver(Observer observer);
    static void removeObserver(uint64_t token);
};

}  // namespace joulix
