#include "Storage/SQLiteSnapshotStoreLocation.h"

#include "SharedModels/SharedRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

using namespace joulix;

namespace {

// Sets or clears one variable for the scope, restoring its previous value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { previous_ ? setenv(name_, previous_->c_str(), 1) : unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

TEST(SQLiteSnapshotStoreLocation, DatabasesLiveUnderTheSharedRootAndTheUserDataDirectory) {
    EXPECT_EQ(SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL(),
              sharedRoot() + "/Joulix/battery_history.sqlite");
    const std::string fromHome = "/home/u/.local/share/Joulix/battery_history.sqlite";
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"/data", "/home/u", "/data/Joulix/battery_history.sqlite"},
        {"/data/", nullptr, "/data/Joulix/battery_history.sqlite"},
        {"", "/home/u", fromHome},
        {"relative", "/home/u", fromHome},
        {nullptr, "/home/u", fromHome},
        {nullptr, "", std::nullopt},
    };
    for (const auto& [dataHome, home, expected] : cases) {
        ScopedEnv dataHomeVariable("XDG_DATA_HOME", dataHome), homeVariable("HOME", home);
        try {
            EXPECT_EQ(SQLiteSnapshotStoreLocation::localAppDatabaseURL(), expected);
        } catch (const SQLiteSnapshotStoreLocationError& error) {
            EXPECT_EQ(expected, std::nullopt);
            EXPECT_STREQ(error.what(), "Unable to locate the Application Support directory.");
        }
    }
}

}  // namespace
