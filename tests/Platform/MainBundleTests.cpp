#include "Platform/MainBundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace joulix;
namespace fs = std::filesystem;

namespace {

std::string xmlPlist(const std::string& dictionaryBody) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>)" +
           dictionaryBody + "</dict></plist>\n";
}

std::string binaryPlist(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(root);
    return binary;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

class MainBundleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "main-bundle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(MainBundleTest, ReadsXmlAndBinaryInfoAndMapsValueTypes) {
    const auto xml = xmlPlist(R"(
        <key>CFBundleIdentifier</key><string>org.example.tool</string>
        <key>Flag</key><true/><key>Off</key><false/>
        <key>Count</key><integer>42</integer><key>Below</key><integer>-7</integer>
        <key>Ratio</key><real>1.5</real>
        <key>List</key><array><string>a</string></array>
        <key>When</key><date>2024-01-02T03:04:05Z</date>)");
    const InfoDictionary expected{
        {"CFBundleIdentifier", "org.example.tool"},
        {"Flag", true},
        {"Off", false},
        {"Count", int64_t{42}},
        {"Below", int64_t{-7}},
        {"Ratio", 1.5},
        {"List", InfoOther{}},
        {"When", InfoOther{}},
    };
    for (const auto& bytes : {xml, binaryPlist(xml)}) {
        writeFile(root / "Tool.app/Contents/Info.plist", bytes);
        const auto bundle =
            bundleEnclosingExecutable((root / "Tool.app/Contents/MacOS/tool").string());
        EXPECT_EQ(bundle->infoDictionary(), expected);
        EXPECT_EQ(bundle->bundleIdentifier(), "org.example.tool");
    }
}

TEST_F(MainBundleTest, NearestAppWithInfoPlistEnclosesTheExecutable) {
    const auto identifierPlist = [](const char* identifier) {
        return xmlPlist(std::string("<key>CFBundleIdentifier</key><string>") + identifier +
                        "</string>");
    };
    writeFile(root / "Outer.app/Contents/Info.plist", identifierPlist("org.outer"));
    writeFile(root / "Outer.app/Contents/Helpers/Inner.app/Contents/Info.plist",
              identifierPlist("org.inner"));
    fs::create_directories(root / "Outer.app/Contents/Helpers/Empty.app/Contents");
    writeFile(root / "Broken.app/Contents/Info.plist", "not a property list");
    writeFile(root / "Listed.app/Contents/Info.plist",
              "<plist version=\"1.0\"><array><string>x</string></array></plist>");

    struct Case {
        const char* executable;
        std::optional<std::string> identifier;
    } cases[] = {
        {"Outer.app/Contents/MacOS/outer", "org.outer"},
        {"Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/inner", "org.inner"},
        {"Outer.app/Contents/Helpers/Empty.app/Contents/MacOS/tool", "org.outer"},
        {"Outer.app/Contents/Helpers/../MacOS/outer", "org.outer"},
        {"bin/tool", std::nullopt},
        {"Broken.app/Contents/MacOS/tool", std::nullopt},
        {"Listed.app/Contents/MacOS/tool", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable);
        const auto bundle = bundleEnclosingExecutable((root / c.executable).string());
        EXPECT_EQ(bundle->bundleIdentifier(), c.identifier);
        EXPECT_EQ(bundle->infoDictionary().has_value(), c.identifier.has_value());
    }
}

TEST(MainBundle, InstalledBundleOverridesThePlatformsUntilReset) {
    const auto platformIdentifier = mainBundle()->bundleIdentifier();
    setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, "org.example.test"));
    EXPECT_EQ(mainBundle()->bundleIdentifier(), "org.example.test");
    setMainBundle(nullptr);
    EXPECT_EQ(mainBundle()->bundleIdentifier(), platformIdentifier);
}

}  // namespace
