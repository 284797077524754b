#include "Platform/BundleInfo.h"
#include "Platform/MainBundle.h"
#include "Platform/ProcessTable.h"
#include "Platform/RunningApplicationRegistry.h"
#include "tests/Platform/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <csignal>
#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

namespace joulix {
namespace {

namespace fs = std::filesystem;

using testing::TemporaryDirectory;

// An XML property list of one dictionary with the given body.
std::string xmlPlist(const std::string& dictionaryBody) {
    return "<plist version=\"1.0\"><dict>" + dictionaryBody + "</dict></plist>\n";
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

TEST(LinuxPlatformTests, ReadsAFakeProcfsTree) {
    TemporaryDirectory proc;
    const long tick = ::sysconf(_SC_CLK_TCK);
    const long page = ::sysconf(_SC_PAGESIZE);
    // The command contains ") " and spaces, as a hostile process name may.
    proc.writeFile("42/stat", "42 (evil) 1 2 3) S 1 42 42 0 -1 4194560 100 0 0 0 " +
                                  std::to_string(3 * tick) + " " + std::to_string(tick / 2) +
                                  " 0 0 20 0 1 0 500 1000000 25 18446744073709551615\n");
    proc.writeFile("7/stat", "7 (short) S 1\n");
    proc.writeFile("self/stat", "ignored");
    proc.writeFile("sys/x", "");
    fs::create_symlink("/opt/tools/bin/evil", proc.path() / "42/exe");
    // An executable replaced by a package upgrade keeps its name.
    fs::create_symlink("/usr/sbin/daemon (deleted)", proc.path() / "7/exe");
    // A path must fit 1024 bytes with its terminating NUL: 1023 bytes are read, 1024 are not.
    const std::string fits = "/" + std::string(1022, 'a');
    proc.writeFile("8/stat", "8 (long) S 1\n");
    proc.writeFile("9/stat", "9 (longer) S 1\n");
    fs::create_symlink(fits, proc.path() / "8/exe");
    fs::create_symlink("/" + std::string(1023, 'b'), proc.path() / "9/exe");

    const auto table = makeProcfsProcessTable(proc.path().string());
    EXPECT_EQ(table->allPIDs(), (std::vector<int32_t>{7, 8, 9, 42}));
    EXPECT_EQ(table->executablePath(42), "/opt/tools/bin/evil");
    EXPECT_EQ(table->executablePath(7), "/usr/sbin/daemon");
    EXPECT_EQ(table->executablePath(8), fits);
    EXPECT_EQ(table->executablePath(9), std::nullopt);
    const ProcessUsage expected{3'000'000'000, 500'000'000, static_cast<uint64_t>(25 * page), 500};
    EXPECT_EQ(table->usage(42), expected);
    EXPECT_EQ(table->usage(7), std::nullopt);  // truncated stat line
    EXPECT_EQ(table->usage(99), std::nullopt);
}

std::size_t openDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// The machine's scanner reads each process's CPU clock: this process's own time lies between two
// readings of its clock; a process keeps its instance while it runs; one that ends (its pid then
// free for reuse) leaves the next scan; no descriptor outlives the scanner.
TEST(LinuxPlatformTests, CPUTimeScannerFollowsProcessesComingAndGoing) {
    const std::size_t descriptorsBefore = openDescriptorCount();
    {
        const auto table = systemProcessTable();
        const auto scanner = table->cpuTimeScanner();
        const auto scanned = [&](pid_t pid) -> std::optional<ProcessCPUTime> {
            for (const auto& [scannedPID, time] : scanner->scan()) {
                if (scannedPID == pid) return time;
            }
            return std::nullopt;
        };
        const auto ownCPUTimeNs = [] {
            timespec time{};
            ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
            return static_cast<uint64_t>(time.tv_sec) * 1'000'000'000u +
                   static_cast<uint64_t>(time.tv_nsec);
        };
        const uint64_t before = ownCPUTimeNs();
        const auto self = scanned(::getpid());
        const uint64_t after = ownCPUTimeNs();
        ASSERT_TRUE(self);
        EXPECT_GE(self->cpuTimeNs, before);
        EXPECT_LE(self->cpuTimeNs, after);

        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::pause();
            ::_exit(0);
        }
        const auto first = scanned(child);
        ASSERT_TRUE(first);
        EXPECT_EQ(scanned(child)->instance, first->instance);
        EXPECT_GT(openDescriptorCount(), descriptorsBefore);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        EXPECT_FALSE(scanned(child));
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(LinuxPlatformTests, BundleIdentifiersFromXMLAndBinaryInfoDictionaries) {
    TemporaryDirectory apps;
    const auto editor =
        xmlPlist("<key>CFBundleIdentifier</key><string>com.example.Editor</string>");
    apps.writeFile("Editor.app/Contents/Info.plist", editor);
    apps.writeFile("Flat.xpc/Info.plist", binaryPlist(editor));
    apps.writeFile("Numbered.app/Contents/Info.plist",
                   xmlPlist("<key>CFBundleIdentifier</key><integer>7</integer>"));
    apps.writeFile("Broken.app/Contents/Info.plist", "<plist><dict><key>");
    fs::create_directories(apps.path() / "Empty.app");
    // A FIFO or a link to a device is absent, without blocking; a link to a regular file is read.
    fs::create_directories(apps.path() / "Pipe.app/Contents");
    ASSERT_EQ(::mkfifo((apps.path() / "Pipe.app/Contents/Info.plist").c_str(), 0600), 0);
    fs::create_directories(apps.path() / "Device.app/Contents");
    fs::create_symlink("/dev/zero", apps.path() / "Device.app/Contents/Info.plist");
    fs::create_directories(apps.path() / "Linked.app/Contents");
    fs::create_symlink(apps.path() / "Editor.app/Contents/Info.plist",
                       apps.path() / "Linked.app/Contents/Info.plist");

    const auto reader = systemBundleInfoReader();
    const auto at = [&](const char* name) {
        return reader->bundleIdentifier((apps.path() / name).string());
    };
    EXPECT_EQ(at("Editor.app"), "com.example.Editor");
    EXPECT_EQ(at("Flat.xpc"), "com.example.Editor");
    EXPECT_EQ(at("Linked.app"), "com.example.Editor");
    for (const char* name :
         {"Numbered.app", "Broken.app", "Empty.app", "Missing.app", "Pipe.app", "Device.app"})
        EXPECT_EQ(at(name), std::nullopt) << name;
}

TEST(MainBundle, ReadsXmlAndBinaryInfoAndMapsValueTypes) {
    TemporaryDirectory root;
    const auto xml = xmlPlist(R"(
        <key>CFBundleIdentifier</key><string>org.example.tool</string>
        <key>Flag</key><true/><key>Off</key><false/>
        <key>Count</key><integer>42</integer><key>Below</key><integer>-7</integer>
        <key>Ratio</key><real>1.5</real>
        <key>List</key><array><string>a</string></array>
        <key>When</key><date>2024-01-02T03:04:05Z</date>)");
    const InfoDictionary expected{{"CFBundleIdentifier", "org.example.tool"},
                                  {"Flag", true},
                                  {"Off", false},
                                  {"Count", int64_t{42}},
                                  {"Below", int64_t{-7}},
                                  {"Ratio", 1.5},
                                  {"List", InfoOther{}},
                                  {"When", InfoOther{}}};
    for (const auto& bytes : {xml, binaryPlist(xml)}) {
        root.writeFile("Tool.app/Contents/Info.plist", bytes);
        const auto bundle =
            bundleEnclosingExecutable((root.path() / "Tool.app/Contents/MacOS/tool").string());
        EXPECT_EQ(bundle->infoDictionary(), expected);
        EXPECT_EQ(bundle->bundleIdentifier(), "org.example.tool");
    }
}

TEST(MainBundle, NearestAppWithInfoPlistEnclosesTheExecutable) {
    TemporaryDirectory root;
    const auto identifierPlist = [](const std::string& identifier) {
        return xmlPlist("<key>CFBundleIdentifier</key><string>" + identifier + "</string>");
    };
    root.writeFile("Outer.app/Contents/Info.plist", identifierPlist("org.outer"));
    root.writeFile("Outer.app/Contents/Helpers/Inner.app/Contents/Info.plist",
                   identifierPlist("org.inner"));
    fs::create_directories(root.path() / "Outer.app/Contents/Helpers/Empty.app/Contents");
    root.writeFile("Broken.app/Contents/Info.plist", "not a property list");
    root.writeFile("Listed.app/Contents/Info.plist",
                   "<plist version=\"1.0\"><array><string>x</string></array></plist>");

    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"Outer.app/Contents/MacOS/outer", "org.outer"},
        {"Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/inner", "org.inner"},
        {"Outer.app/Contents/Helpers/Empty.app/Contents/MacOS/tool", "org.outer"},
        {"Outer.app/Contents/Helpers/../MacOS/outer", "org.outer"},
        {"bin/tool", std::nullopt},
        {"Broken.app/Contents/MacOS/tool", std::nullopt},
        {"Listed.app/Contents/MacOS/tool", std::nullopt},
    };
    for (const auto& [executable, identifier] : cases) {
        const auto bundle = bundleEnclosingExecutable((root.path() / executable).string());
        EXPECT_EQ(bundle->bundleIdentifier(), identifier) << executable;
        EXPECT_EQ(bundle->infoDictionary().has_value(), identifier.has_value()) << executable;
    }
}

TEST(MainBundle, InstalledBundleOverridesThePlatformsUntilReset) {
    const auto platformIdentifier = mainBundle()->bundleIdentifier();
    setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, "org.example.test"));
    EXPECT_EQ(mainBundle()->bundleIdentifier(), "org.example.test");
    setMainBundle(nullptr);
    EXPECT_EQ(mainBundle()->bundleIdentifier(), platformIdentifier);
}

TEST(CgroupApplicationRegistry, ApplicationIDOfEachUnitForm) {
    const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {user + "app-gnome-org.gnome.Terminal-4211.scope\n", "org.gnome.Terminal"},
        {user + "app-firefox-4211.scope/tab-7\n", "firefox"},
        {user + "app-org.gnome.Nautilus@a1b2.service\n", "org.gnome.Nautilus"},
        {user + "app-kde-org.kde.konsole@3.service\n", "org.kde.konsole"},
        {user + "app-gnome-my\\x2dtool-12.scope\n", "my-tool"},
        {user + "app-flatpak-org.mozilla.firefox-2890.scope\n", "org.mozilla.firefox"},
        {user + "snap.spotify.spotify-5c1f0a3e.scope\n", "spotify_spotify"},
        {"12:pids:/user.slice\n1:name=systemd:/" + user + "app-gnome-org.gnome.gedit-9.scope\n",
         "org.gnome.gedit"},
        {user + "app-dbus\\x2d:1.2\\x2dorg.a11y.Bus@0.service\n", "dbus-:1.2-org.a11y.Bus"},
        {user + "session.slice/dbus.service\n", std::nullopt},
        {"0::/system.slice/cron.service\n", std::nullopt},
        {user + "app-.scope\n", std::nullopt},
        {"garbage without colons\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [file, id] : cases)
        EXPECT_EQ(applicationIDFromCgroup(file), id) << file;
}

TEST(CgroupApplicationRegistry, NamesTheApplicationFromItsDesktopFile) {
    TemporaryDirectory root;
    root.writeFile("proc/40/cgroup", "0::/user.slice/app-gnome-org.example.Editor-1.scope\n");
    root.writeFile("proc/41/cgroup", "0::/user.slice/app-gnome-org.example.Unknown-1.scope\n");
    root.writeFile("proc/42/cgroup", "0::/system.slice/cron.service\n");
    root.writeFile("home/applications/org.example.Editor.desktop",
                   "[Desktop Action new]\nName=New Window\n[Desktop Entry]\nType=Application\n"
                   "Name=Example Editor\nName[de]=Beispiel\n");
    root.writeFile("usr/applications/org.example.Editor.desktop", "[Desktop Entry]\nName=Other\n");
    const auto registry = makeCgroupApplicationRegistry(
        root.string() + "/proc",
        {root.string() + "/nowhere", root.string() + "/home", root.string() + "/usr"});
    EXPECT_EQ(registry->runningApplication(40),
              (RunningApplication{std::nullopt, "org.example.Editor", "Example Editor"}));
    EXPECT_EQ(registry->runningApplication(41),
              (RunningApplication{std::nullopt, "org.example.Unknown", std::nullopt}));
    EXPECT_EQ(registry->runningApplication(42), std::nullopt);
    EXPECT_EQ(registry->runningApplication(43), std::nullopt);
}

}  // namespace
}  // namespace joulix
