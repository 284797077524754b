#include "Platform/BundleInfo.h"
#include "Platform/ProcessTable.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "jlx-platform-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }
    void write(const fs::path& relative, const std::string& contents) const {
        fs::create_directories((path_ / relative).parent_path());
        std::ofstream(path_ / relative, std::ios::binary) << contents;
    }

  private:
    fs::path path_;
};

TEST(LinuxPlatformTests, ReadsAFakeProcfsTree) {
    TemporaryFolder proc;
    const long tick = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    // The command contains ") " and spaces, as a hostile process name may.
    proc.write("42/stat", "42 (evil) 1 2 3) S 1 42 42 0 -1 4194560 100 0 0 0 " +
                              std::to_string(3 * tick) + " " + std::to_string(tick / 2) +
                              " 0 0 20 0 1 0 500 1000000 25 18446744073709551615\n");
    proc.write("7/stat", "7 (short) S 1\n");
    proc.write("self/stat", "ignored");
    proc.write("sys/x", "");
    fs::create_symlink("/opt/tools/bin/evil", proc.path() / "42/exe");

    const auto table = makeProcfsProcessTable(proc.path().string());
    EXPECT_EQ(table->allPIDs(), (std::vector<int32_t>{7, 42}));
    EXPECT_EQ(table->executablePath(42), "/opt/tools/bin/evil");
    EXPECT_EQ(table->executablePath(7), std::nullopt);
    const ProcessUsage expected{3'000'000'000, 500'000'000, static_cast<uint64_t>(25 * page)};
    EXPECT_EQ(table->usage(42), expected);
    EXPECT_EQ(table->usage(7), std::nullopt);  // truncated stat line
    EXPECT_EQ(table->usage(99), std::nullopt);
}

TEST(LinuxPlatformTests, FindsThisProcessInTheMachinesTable) {
    const auto table = systemProcessTable();
    const int32_t self = ::getpid();
    const auto pids = table->allPIDs();
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), self));
    EXPECT_EQ(table->executablePath(self), fs::read_symlink("/proc/self/exe").string());
    const auto usage = table->usage(self);
    ASSERT_TRUE(usage);
    EXPECT_GT(usage->residentSizeBytes, 0u);
}

std::string infoPlist(plist_t root, bool binary) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(root, &bytes, &length);
    } else {
        plist_to_xml(root, &bytes, &length);
    }
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

TEST(LinuxPlatformTests, BundleIdentifiersFromXMLAndBinaryInfoDictionaries) {
    TemporaryFolder apps;
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string("com.example.Editor"));
    apps.write("Editor.app/Contents/Info.plist", infoPlist(dict, false));
    apps.write("Flat.xpc/Info.plist", infoPlist(dict, true));
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_uint(7));
    apps.write("Numbered.app/Contents/Info.plist", infoPlist(dict, false));
    plist_free(dict);
    apps.write("Broken.app/Contents/Info.plist", "<plist><dict><key>");
    fs::create_directories(apps.path() / "Empty.app");

    const auto reader = systemBundleInfoReader();
    const auto at = [&](const char* name) {
        return reader->bundleIdentifier((apps.path() / name).string());
    };
    EXPECT_EQ(at("Editor.app"), "com.example.Editor");
    EXPECT_EQ(at("Flat.xpc"), "com.example.Editor");
    EXPECT_EQ(at("Numbered.app"), std::nullopt);
    EXPECT_EQ(at("Broken.app"), std::nullopt);
    EXPECT_EQ(at("Empty.app"), std::nullopt);
    EXPECT_EQ(at("Missing.app"), std::nullopt);
}

}  // namespace
}  // namespace joulix
