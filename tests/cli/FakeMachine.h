#pragma once
// Runs joulix on a fake machine: inside a private mount namespace, stand-in tools show at their
// real paths (an overlay over each tool's folder) and a fake /sys/class and /sys/bus are bound
// over the real ones. By default the machine has one stand-in, an ioreg that reports a battery
// discharging at 18 W, so that every pass has a total to attribute.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

namespace joulix::testing {

class FakeMachine {
  public:
    // `ioregFixture` names the stand-in ioreg's output under tests/fixtures/ioreg; empty: none.
    explicit FakeMachine(const std::string& ioregFixture = "apple-silicon-discharging.plist") {
        if (!ioregFixture.empty())
            standIn("/usr/sbin/ioreg",
                    "exec cat '" JOULIX_FIXTURES "/ioreg/" + ioregFixture + "'\n");
    }

    // Root may make mount namespaces; the mounts themselves are tried by the first run.
    static bool available() { return ::geteuid() == 0; }

    // The tool at `path` (absolute) becomes a shell script running `script`.
    void standIn(const std::string& path, const std::string& script) {
        folder.writeFile("tools" + path, "#!/bin/sh\n" + script);
        std::filesystem::permissions(folder.path() / ("tools" + path),
                                     std::filesystem::perms::owner_all);
        overlaid.insert(std::filesystem::path(path).parent_path().string());
    }
    // A file of the fake /sys, at `path` below it ("class/power_supply/BAT0/type").
    void sysFile(const std::string& path, const std::string& value) {
        folder.writeFile("sys/" + path, value + "\n");
        std::filesystem::create_directories(folder.path() / "sys/class");
        std::filesystem::create_directories(folder.path() / "sys/bus");
    }
    // Files of the fake /sys, each named by its path below `directory`.
    void sysFiles(const std::string& directory, const std::map<std::string, std::string>& files) {
        for (const auto& [name, value] : files)
            sysFile(directory + name, value);
    }

    std::string database() const { return (folder.path() / "history.sqlite").string(); }

    // The shell command that runs `script` in the namespace, with joulix as "$0" (no single
    // quotes in the script); it exits with 77 when a mount fails.
    std::string inNamespace(const std::string& script) const {
        const std::string at = folder.string();
        std::string enter;
        for (const std::string& dir : overlaid) {
            enter += "mkdir -p " + at + "/work" + dir +
                     " && mount -t overlay overlay -o lowerdir=" + dir + ",upperdir=" + at +
                     "/tools" + dir + ",workdir=" + at + "/work" + dir + " " + dir +
                     " || exit 77; ";
        }
        if (std::filesystem::exists(folder.path() / "sys")) {
            enter += "mount --bind " + at + "/sys/class /sys/class && mount --bind " + at +
                     "/sys/bus /sys/bus || exit 77; ";
        }
        return "unshare --mount /bin/sh -c '" + enter + script + "' " + joulixPath;
    }
    // The shell command that runs `joulix <arguments>` in the namespace.
    std::string command(const std::string& arguments) const {
        return inNamespace("exec \"$0\" " + arguments);
    }
    // Runs `joulix <arguments>` in the namespace in the background.
    ChildProcess start(const std::string& arguments) {
        return ChildProcess(ChildProcess::shell(command(arguments)), false,
                            (folder.path() / ("run" + std::to_string(runs++) + ".txt")).string());
    }

    TemporaryDirectory folder;

  private:
    std::set<std::string> overlaid;
    int runs = 0;
};

// The counts of a recorder's summary line.
struct RecordSummary {
    int passes = -1, stored = -1, replaced = -1, dropped = -1, skipped = -1, failed = -1;
    double wh = -1;
};

inline std::optional<RecordSummary> recordSummary(const std::string& output) {
    static const std::regex line(
        R"(Recorded (\d+) passes into .*: (\d+) stored \((\d+) replacing a )"
        R"(near duplicate\), (\d+) dropped as near duplicates, (\d+) )"
        R"(skipped by the publication rule, (\d+) failed; ([0-9.]+) Wh)");
    std::smatch match;
    if (!std::regex_search(output, match, line)) return std::nullopt;
    return RecordSummary{std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]),
                         std::stoi(match[4]), std::stoi(match[5]), std::stoi(match[6]),
                         std::stod(match[7])};
}

// PRAGMA integrity_check of a database file ("ok"), or the error that stopped it (nothing when
// there is no file).
inline std::string integrityCheck(const std::string& path) {
    const auto check =
        runCommand("[ -f '" + path + "' ] && sqlite3 '" + path + "' 'PRAGMA integrity_check' 2>&1");
    return check.output.substr(0, check.output.find('\n'));
}

}  // namespace joulix::testing
