#pragma once
// What the commands that read a history database share: which file (--db PATH, --shared, or
// the per-user default), a read-only open that creates and changes nothing, the schema check,
// and how times are shown.
#include "SharedModels/Date.h"
#include "SharedModels/Error.h"
#include "Storage/SQLiteSnapshotStore.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace joulix::cli {

// A database that cannot be read: the message names the path and why.
class HistoryDatabaseError : public Error {
  public:
    using Error::Error;
};

// `database` when given, else the shared or the per-user database's path.
std::string historyDatabasePath(const std::string& database, bool shared);
// The store on the file at `path`, read-only; throws HistoryDatabaseError when there is no such
// file or its schema version is not the current one, SnapshotStoreError when it cannot be read.
std::unique_ptr<SQLiteSnapshotStore> openHistoryDatabase(const std::string& path);

// A duration such as "90s", "15m", "1h", "24h" or "7d" in seconds; none for anything else
// (no unit, another unit, a number that is not positive and finite).
std::optional<double> parseDuration(std::string_view text);

// The time in the local time zone, "YYYY-MM-DD HH:MM:SS" by default ("%Z" names the zone), or
// "-" for a time no calendar can show.
std::string localTime(Date date, const char* format = "%Y-%m-%d %H:%M:%S");

}  // namespace joulix::cli
