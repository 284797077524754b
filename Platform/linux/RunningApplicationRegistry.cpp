#include "Platform/RunningApplicationRegistry.h"

#include <cstdlib>
#include <fstream>

namespace joulix {
namespace {

constexpr std::size_t maxCgroupFileBytes = 64 * 1024;

// systemd escapes a '-' inside a unit name's parts as "\x2d".
std::string unescapeUnitPart(std::string_view part) {
    std::string out;
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part.substr(i, 4) == "\\x2d") {
            out += '-';
            i += 3;
        } else {
            out += part[i];
        }
    }
    return out;
}

// "[LAUNCHER-]APP_ID": a first part without a dot, followed by more, is the launcher.
std::string_view withoutLauncher(std::string_view name) {
    const auto dash = name.find('-');
    if (dash == std::string_view::npos || dash + 1 >= name.size()) return name;
    if (name.substr(0, dash).find('.') != std::string_view::npos) return name;
    return name.substr(dash + 1);
}

// The application ID of one cgroup path component naming a unit; absent for other units.
std::optional<std::string> applicationIDOfUnit(std::string_view unit) {
    if (unit.size() > 11 && unit.starts_with("snap.") && unit.ends_with(".scope")) {
        // snap.NAME.APP-RANDOM.scope: the desktop file of a snap is NAME_APP.desktop.
        auto body = unit.substr(5, unit.size() - 5 - 6);
        const auto dash = body.rfind('-');
        if (dash == std::string_view::npos) return std::nullopt;
        body = body.substr(0, dash);
        const auto dot = body.find('.');
        if (dot == std::string_view::npos || dot == 0 || dot + 1 >= body.size()) {
            return std::nullopt;
        }
        return std::string(body.substr(0, dot)) + "_" + std::string(body.substr(dot + 1));
    }
    if (!unit.starts_with("app-")) return std::nullopt;
    std::string_view body = unit.substr(4);
    if (body.ends_with(".scope")) {
        body.remove_suffix(6);
        const auto dash = body.rfind('-');
        if (dash == std::string_view::npos) return std::nullopt;
        body = body.substr(0, dash);
    } else if (body.ends_with(".service")) {
        body.remove_suffix(8);
        if (const auto at = body.find('@'); at != std::string_view::npos) body = body.substr(0, at);
    } else {
        return std::nullopt;
    }
    const auto id = unescapeUnitPart(withoutLauncher(body));
    if (id.empty()) return std::nullopt;
    return id;
}

// The "Name" of the [Desktop Entry] group of a .desktop file.
std::optional<std::string> desktopEntryName(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    bool inEntry = false;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with('[')) {
            inEntry = line == "[Desktop Entry]";
        } else if (inEntry && line.starts_with("Name=")) {
            return line.substr(5);
        }
    }
    return std::nullopt;
}

class CgroupApplicationRegistry final : public RunningApplicationRegistry {
  public:
    CgroupApplicationRegistry(std::string procRoot, std::vector<std::string> dataDirectories)
        : procRoot_(std::move(procRoot)), dataDirectories_(std::move(dataDirectories)) {}

    std::optional<RunningApplication> runningApplication(int32_t pid) const override {
        std::ifstream file(procRoot_ + "/" + std::to_string(pid) + "/cgroup", std::ios::binary);
        if (!file) return std::nullopt;
        std::string contents(maxCgroupFileBytes, '\0');
        file.read(contents.data(), static_cast<std::streamsize>(contents.size()));
        contents.resize(static_cast<std::size_t>(file.gcount()));
        auto id = applicationIDFromCgroup(contents);
        if (!id) return std::nullopt;
        RunningApplication application;
        for (const auto& directory : dataDirectories_) {
            if (auto name = desktopEntryName(directory + "/applications/" + *id + ".desktop")) {
                application.localizedName = std::move(name);
                break;
            }
        }
        application.bundleIdentifier = std::move(id);
        return application;
    }

  private:
    std::string procRoot_;
    std::vector<std::string> dataDirectories_;
};

// $XDG_DATA_HOME (else ~/.local/share), $XDG_DATA_DIRS (else /usr/local/share:/usr/share), and
// the export folders of Flatpak and Snap.
std::vector<std::string> xdgDataDirectories() {
    std::vector<std::string> directories;
    if (const char* home = std::getenv("XDG_DATA_HOME"); home && *home) {
        directories.emplace_back(home);
    } else if (const char* user = std::getenv("HOME"); user && *user) {
        directories.push_back(std::string(user) + "/.local/share");
    }
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string_view list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    while (!list.empty()) {
        const auto colon = list.find(':');
        const auto entry = list.substr(0, colon);
        if (!entry.empty()) directories.emplace_back(entry);
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    directories.emplace_back("/var/lib/flatpak/exports/share");
    directories.emplace_back("/var/lib/snapd/desktop");
    return directories;
}

}  // namespace

std::optional<std::string> applicationIDFromCgroup(std::string_view cgroupFile) {
    // Lines "ID:CONTROLLERS:PATH"; the innermost application unit of any path wins.
    while (!cgroupFile.empty()) {
        const auto newline = cgroupFile.find('\n');
        std::string_view line = cgroupFile.substr(0, newline);
        cgroupFile =
            newline == std::string_view::npos ? std::string_view() : cgroupFile.substr(newline + 1);
        const auto first = line.find(':');
        const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view path = line.substr(second + 1);
        while (!path.empty()) {
            const auto slash = path.rfind('/');
            const auto component = slash == std::string_view::npos ? path : path.substr(slash + 1);
            if (auto id = applicationIDOfUnit(component)) return id;
            path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
        }
    }
    return std::nullopt;
}

std::shared_ptr<const RunningApplicationRegistry>
makeCgroupApplicationRegistry(std::string procRoot, std::vector<std::string> dataDirectories) {
    return std::make_shared<CgroupApplicationRegistry>(std::move(procRoot),
                                                       std::move(dataDirectories));
}

std::shared_ptr<const RunningApplicationRegistry> systemRunningApplicationRegistry() {
    static const auto registry = makeCgroupApplicationRegistry("/proc", xdgDataDirectories());
    return registry;
}

}  // namespace joulix
