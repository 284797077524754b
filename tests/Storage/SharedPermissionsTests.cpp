#include "SharedModels/SharedRoot.h"
#include "Storage/SQLiteSnapshotStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace joulix;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class SharedPermissionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/jlx-permissions-XXXXXX";
        base = mkdtemp(pattern);
        root = base / "Shared";
        outside = base / "outside";
        fs::create_directories(root / "Joulix");
        fs::create_directories(outside);
        chmod(root.c_str(), 01777);
        setSharedRoot(root);
    }
    void TearDown() override {
        setSharedRoot(defaultSharedRoot);
        fs::remove_all(base);
    }

    // Creates a file (and its directory) with a narrow mode.
    static void create(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
        chmod(path.c_str(), 0600);
        chmod(path.parent_path().c_str(), 0700);
    }

    fs::path base, root, outside;
};

TEST_F(SharedPermissionsTest, WidensTheDirectoryAndTheFilesThatExist) {
    auto database = root / "x" / "battery_history.sqlite";
    create(database);
    create(database.string() + "-wal");
    SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(database);
    EXPECT_EQ(modeOf(database.parent_path()), 0777u);
    EXPECT_EQ(modeOf(database), 0666u);
    EXPECT_EQ(modeOf(database.string() + "-wal"), 0666u);
    EXPECT_FALSE(fs::exists(database.string() + "-shm"));
    EXPECT_EQ(modeOf(root), 01777u);
}

TEST_F(SharedPermissionsTest, ChangesNothingOutsideTheSharedRoot) {
    auto elsewhere = outside / "battery_history.sqlite";
    create(elsewhere);
    for (const fs::path& path :
         {root, elsewhere, root / ".." / "outside" / "battery_history.sqlite",
          root / "Joulix" / ".." / ".." / "outside" / "battery_history.sqlite",
          fs::path(root.string() + "x/battery_history.sqlite")}) {
        SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(path);
        EXPECT_EQ(modeOf(root), 01777u) << path;
        EXPECT_EQ(modeOf(outside), 0700u) << path;
        EXPECT_EQ(modeOf(elsewhere), 0600u) << path;
    }
}

TEST_F(SharedPermissionsTest, NeverFollowsAPlantedLink) {
    auto target = outside / "secret";
    create(target);
    auto database = root / "Joulix" / "battery_history.sqlite";
    create(database);
    fs::create_symlink(target, database.string() + "-wal");
    fs::create_directory_symlink(outside, root / "linked");

    SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(database);
    SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(root / "linked" / "secret");
    EXPECT_EQ(modeOf(database), 0666u);
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(outside), 0700u);
}

}  // namespace
