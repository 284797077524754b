#include "SharedModels/SharedRoot.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"

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

TEST(SQLiteSnapshotStoreLocationTest, SharedDatabaseLivesUnderTheSharedRoot) {
    EXPECT_EQ(SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL(),
              "/Users/Shared/Joulix/battery_history.sqlite");
}

TEST(SQLiteSnapshotStoreLocationTest, LocalDatabaseLivesInTheUserDataDirectory) {
    struct Case {
        const char* dataHome;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/data", "/home/u", "/data/Joulix/battery_history.sqlite"},
        {"/data/", nullptr, "/data/Joulix/battery_history.sqlite"},
        {"", "/home/u", "/home/u/.local/share/Joulix/battery_history.sqlite"},
        {"relative", "/home/u", "/home/u/.local/share/Joulix/battery_history.sqlite"},
        {nullptr, "/home/u", "/home/u/.local/share/Joulix/battery_history.sqlite"},
    };
    for (const auto& c : cases) {
        ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(SQLiteSnapshotStoreLocation::localAppDatabaseURL(), c.expected);
    }
}

TEST(SQLiteSnapshotStoreLocationTest, FailsWithoutAUserDataDirectory) {
    ScopedEnv dataHome("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "");
    try {
        SQLiteSnapshotStoreLocation::localAppDatabaseURL();
        FAIL() << "no error";
    } catch (const SQLiteSnapshotStoreLocationError& error) {
        EXPECT_STREQ(error.what(), "Unable to locate the Application Support directory.");
    }
}

}  // namespace
