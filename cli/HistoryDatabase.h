#pragma once
// What the commands that use a history database share: which file (--db PATH, --shared, or
// the default), a read-only open whose reads all come from one read transaction, the schema
// check, and how times are shown.
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

// `database` when given, else the shared or the per-user database's path (where `record`
// writes).
std::string historyDatabasePath(const std::string& database, bool shared);
// Where a reading command reads: `database` or the shared one when asked; otherwise the per-user
// history when it exists, else the shared one. Which of the two defaults was taken is said in
// one line on standard error, so that the output on standard output stays as it is.
std::string readableHistoryDatabasePath(const std::string& database, bool shared,
                                        std::string_view command);

// An open history and its one read transaction, ended when this goes; `->` reaches the store.
class HistoryReader {
  public:
    explicit HistoryReader(std::unique_ptr<SQLiteSnapshotStore> store);
    HistoryReader(HistoryReader&&) = default;
    ~HistoryReader();
    SQLiteSnapshotStore* operator->() const { return store_.get(); }

  private:
    std::unique_ptr<SQLiteSnapshotStore> store_;
};

// The history at `path`, read-only, inside one read transaction; throws HistoryDatabaseError when
// there is no such file or its schema version is not the current one, SnapshotStoreError or
// SnapshotStoreFileError when it cannot be read.
HistoryReader openHistoryDatabase(const std::string& path);

// The CLI11 check of a --db or --out path: empty for a usable text, else why not.
std::string nonEmptyPathCheck(const std::string& text);

// A duration such as "90s", "15m", "1h", "24h" or "7d" in seconds; none for anything else
// (no unit, another unit, a number that is not positive and finite).
std::optional<double> parseDuration(std::string_view text);

// The time in the local time zone, "YYYY-MM-DD HH:MM:SS" by default ("%Z" names the zone), or
// "-" for a time no calendar can show.
std::string localTime(Date date, const char* format = "%Y-%m-%d %H:%M:%S");

}  // namespace joulix::cli
