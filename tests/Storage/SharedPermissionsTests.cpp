#include "SharedModels/SharedRoot.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/Storage/StoreTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace joulix;
namespace fs = std::filesystem;
using joulix::testing::modeOf;

namespace {

// A shared root (mode 01777) holding Joulix/, beside a folder outside it.
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
        previousRoot = sharedRoot();
        setSharedRoot(root);
    }
    void TearDown() override {
        setSharedRoot(previousRoot);
        fs::remove_all(base);
    }
    // A file of mode 0600 in a folder of mode 0700.
    static void create(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
        chmod(path.c_str(), 0600);
        chmod(path.parent_path().c_str(), 0700);
    }

    fs::path base, root, outside;
    std::string previousRoot;
};

TEST_F(SharedPermissionsTest, WidensTheDirectoryAndTheFilesThatExist) {
    const auto database = root / "x" / "battery_history.sqlite";
    create(database);
    create(database.string() + "-wal");
    SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(database);
    EXPECT_EQ(modeOf(database.parent_path()), 01777u);
    EXPECT_EQ(modeOf(database), 0666u);
    EXPECT_EQ(modeOf(database.string() + "-wal"), 0666u);
    EXPECT_FALSE(fs::exists(database.string() + "-shm"));
    EXPECT_EQ(modeOf(root), 01777u);
}

TEST_F(SharedPermissionsTest, ChangesNothingOutsideTheSharedRootNorThroughAPlantedLink) {
    const auto elsewhere = outside / "battery_history.sqlite";
    create(elsewhere);
    const auto database = root / "Joulix" / "battery_history.sqlite";
    create(database);
    fs::create_symlink(elsewhere, database.string() + "-wal");
    fs::create_hard_link(elsewhere, database.string() + "-shm");
    fs::create_directory_symlink(outside, root / "linked");
    for (const fs::path& path :
         {root, elsewhere, root / ".." / "outside" / "battery_history.sqlite",
          root / "Joulix" / ".." / ".." / "outside" / "battery_history.sqlite",
          fs::path(root.string() + "x/battery_history.sqlite"),
          root / "linked" / "battery_history.sqlite", database}) {
        SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(path);
        EXPECT_EQ(modeOf(root), 01777u) << path;
        EXPECT_EQ(modeOf(outside), 0700u) << path;
        EXPECT_EQ(modeOf(elsewhere), 0600u) << path;
    }
    EXPECT_EQ(modeOf(database), 0666u);
}

}  // namespace
