#pragma once
// Helpers of the store's tests, benchmarks and fuzz target: published snapshots and a second,
// plain connection to the same file for looking behind the store's back.
#include "SharedModels/DrainSnapshot.h"
#include "Storage/SQLiteStatement.h"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace joulix::testing {

// A process row that passes validation: display, canonical and group names all set.
inline ProcessDrain publishedProcess(int64_t pid, const std::string& name, double drainW) {
    ProcessDrain process;
    process.pid = pid;
    process.name = name;
    process.displayName = name;
    process.canonicalName = name;
    process.processGroupKey = "group." + name;
    process.drainW = drainW;
    return process;
}

// A snapshot at `secondsSince1970` with `processCount` processes (the last of 0.5 W, each one
// before it 0.5 W more, so that they read back in this order), two source flags each, one hidden
// drain and a battery row.
inline DrainSnapshot publishedSnapshot(double secondsSince1970, int processCount = 3,
                                       double totalW = 10) {
    DrainSnapshot snapshot;
    snapshot.timestamp = Date::fromTimeIntervalSince1970(secondsSince1970);
    snapshot.totalDischargeW = totalW;
    for (int i = 0; i < processCount; ++i) {
        ProcessDrain process =
            publishedProcess(1000 + i, "worker" + std::to_string(i), 0.5 * (processCount - i));
        process.sourceFlags = {"cpu", "powermetrics"};
        snapshot.processes.push_back(process);
    }
    snapshot.hidden = {{HiddenDrainKind::dockerContainer, "web", 0.5}};
    snapshot.components.screenW = 1;
    snapshot.powerContext = PowerUsageContext{true, 80};
    snapshot.batteryStatus = BatteryStatusSample{.levelPercent = 80, .cycleCount = 12};
    return snapshot;
}

// The permission bits of `path` itself (not of a link's target); 0 when it does not exist.
inline mode_t modeOf(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// The `Error` that `action` throws, or nothing when it returns.
template <class Error, class Action> std::optional<Error> thrown(Action action) {
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// A plain connection (foreign keys on) for statements the store does not offer.
class RawConnection {
  public:
    explicit RawConnection(const std::string& path) : db_(sqlite::open(path, false, 5000)) {
        execute("PRAGMA foreign_keys = ON;");
    }
    ~RawConnection() { sqlite::close(db_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void execute(const char* sql) { sqlite::executeBatch(db_, sql); }
    // The first column of the first row as text ("" for NULL or no row).
    std::string scalar(const std::string& sql) {
        SQLiteStatement statement(db_, sql);
        return statement.next() ? statement.text(0) : std::string();
    }
    sqlite3* db() const { return db_; }

  private:
    sqlite3* db_;
};

}  // namespace joulix::testing
