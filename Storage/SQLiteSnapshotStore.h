#pragma once
// The SQLite snapshot store.
#include <string>

namespace joulix {

class SQLiteSnapshotStore {
  public:
    // Widens the shared database's directory to 0777 and the database and its "-wal" and "-shm"
    // files (those that exist) to 0666, when the path lies under sharedRoot() + "/". Never
    // follows a symbolic link; every failure is ignored.
    static void ensureSharedSnapshotSidecarPermissions(const std::string& databasePath);
};

}  // namespace joulix
