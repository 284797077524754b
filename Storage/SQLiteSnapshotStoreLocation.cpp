#include "Storage/SQLiteSnapshotStoreLocation.h"

#include "SharedModels/SharedRoot.h"

#include <cstdlib>

namespace joulix {

SQLiteSnapshotStoreLocationError
SQLiteSnapshotStoreLocationError::missingApplicationSupportDirectory() {
    return {Kind::missingApplicationSupportDirectory,
            "Unable to locate the Application Support directory."};
}

namespace SQLiteSnapshotStoreLocation {

namespace {
std::string withoutTrailingSlashes(std::string path) {
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

std::string databaseURLIn(const std::string& directory) {
    return directory + "/" + std::string(directoryName) + "/" + std::string(databaseFileName);
}
}  // namespace

std::string sharedSnapshotDatabaseURL() {
    return databaseURLIn(sharedRoot());
}

std::string localAppDatabaseURL() {
    // The user's data directory stands in for Application Support: $XDG_DATA_HOME when it is an
    // absolute path (relative values are invalid by the XDG rules), else $HOME/.local/share.
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome && dataHome[0] == '/') {
        return databaseURLIn(withoutTrailingSlashes(dataHome));
    }
    if (const char* home = std::getenv("HOME"); home && home[0] != '\0') {
        return databaseURLIn(withoutTrailingSlashes(home) + "/.local/share");
    }
    throw SQLiteSnapshotStoreLocationError::missingApplicationSupportDirectory();
}

}  // namespace SQLiteSnapshotStoreLocation

}  // namespace joulix
