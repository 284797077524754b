#include "cli/HistoryDatabase.h"

#include "Storage/SQLiteSnapshotStoreLocation.h"

namespace joulix::cli {

void HistoryDatabaseOption::addTo(CLI::App& command) {
    auto* db = command.add_option("--db", path, "History database file");
    auto* sharedFlag = command.add_flag("--shared", shared, "Use the history shared by every user");
    db->excludes(sharedFlag);
}

std::string HistoryDatabaseOption::resolvedPath() const {
    if (!path.empty()) return path;
    if (shared) return SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL();
    return SQLiteSnapshotStoreLocation::localAppDatabaseURL();
}

}  // namespace joulix::cli
