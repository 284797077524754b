#include "Platform/BundleInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

// An Info dictionary that is a FIFO or a link to a device is absent, without blocking; a link to
// a regular file is followed.
TEST(BundleInfoSpecialFileTests, OnlyRegularFilesAreRead) {
    std::string pattern = (fs::temp_directory_path() / "jlx-bundle-XXXXXX").string();
    const fs::path apps = ::mkdtemp(pattern.data());
    for (const char* name : {"Pipe.app", "Device.app", "Linked.app"})
        fs::create_directories(apps / name / "Contents");
    ASSERT_EQ(::mkfifo((apps / "Pipe.app/Contents/Info.plist").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", apps / "Device.app/Contents/Info.plist");
    std::ofstream(apps / "real.plist")
        << "<plist><dict><key>CFBundleIdentifier</key><string>com.example.L</string></dict>"
           "</plist>";
    fs::create_symlink(apps / "real.plist", apps / "Linked.app/Contents/Info.plist");

    const auto reader = systemBundleInfoReader();
    EXPECT_EQ(reader->bundleIdentifier((apps / "Pipe.app").string()), std::nullopt);
    EXPECT_EQ(reader->bundleIdentifier((apps / "Device.app").string()), std::nullopt);
    EXPECT_EQ(reader->bundleIdentifier((apps / "Linked.app").string()), "com.example.L");
    fs::remove_all(apps);
}

}  // namespace
}  // namespace joulix
