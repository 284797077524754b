#pragma once
// Where the snapshot history lives: one database shared by every user under the shared users'
// area, or a per-user one under the user's data directory.
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/Error.h"

#include <string>
#include <string_view>

namespace joulix {

class SQLiteSnapshotStoreLocationError : public Error {
  public:
    enum class Kind { missingApplicationSupportDirectory };
    static SQLiteSnapshotStoreLocationError missingApplicationSupportDirectory();
    Kind kind() const { return kind_; }

  private:
    SQLiteSnapshotStoreLocationError(Kind kind, const std::string& description)
        : Error(description), kind_(kind) {}
    Kind kind_;
};

namespace SQLiteSnapshotStoreLocation {
inline constexpr std::string_view directoryName = AppConfiguration::dataDirectoryName;
inline constexpr std::string_view databaseFileName = "battery_history.sqlite";

// sharedRoot() + "/Joulix/battery_history.sqlite"; no side effects.
std::string sharedSnapshotDatabaseURL();
// $XDG_DATA_HOME (else $HOME/.local/share) + "/Joulix/battery_history.sqlite";
// throws missingApplicationSupportDirectory when neither is set.
std::string localAppDatabaseURL();
}  // namespace SQLiteSnapshotStoreLocation

}  // namespace joulix
