#include "Platform/RunningApplicationRegistry.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

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
    testing::TemporaryDirectory root;
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
