#pragma once
// Runs `joulix record` on a machine that draws power: inside a private mount namespace a
// stand-in ioreg (an overlay over /usr/sbin) reports a battery discharging at 18 W, so every
// pass has a total to attribute. The recorder runs as a child process that tests may signal.
#include "RunJoulix.h"
#include "tests/MetricsCollectors/TestSupport.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <regex>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace joulix::testing {

class RecordingMachine {
  public:
    RecordingMachine() {
        folder.writeFile("tools/usr/sbin/ioreg", "#!/bin/sh\nexec cat '" JOULIX_FIXTURES
                                                 "/ioreg/apple-silicon-discharging.plist'\n");
        std::filesystem::permissions(folder.path() / "tools/usr/sbin/ioreg",
                                     std::filesystem::perms::owner_all);
        const std::string at = folder.string();
        enter = "mkdir -p " + at + "/work && mount -t overlay overlay -o lowerdir=/usr/sbin," +
                "upperdir=" + at + "/tools/usr/sbin,workdir=" + at + "/work /usr/sbin || exit 77; ";
    }

    // Root may make mount namespaces; the overlay itself is tried by the first run.
    static bool available() { return ::geteuid() == 0; }

    std::string database() const { return (folder.path() / "history.sqlite").string(); }

    // The shell command that runs `script` in the namespace, with joulix as "$0" (no single
    // quotes in the script).
    std::string inNamespace(const std::string& script) const {
        return "unshare --mount /bin/sh -c '" + enter + script + "' " + joulixPath;
    }
    // The shell command that runs `joulix <arguments>` in the namespace.
    std::string command(const std::string& arguments) const {
        return inNamespace("exec \"$0\" " + arguments);
    }

    struct Run {
        pid_t pid = -1;
        std::string outputPath;

        std::string output() const { return readFile(outputPath); }
        // Waits for the exit; the exit status, or -signal when a signal ended it.
        int wait() const {
            int status = 0;
            ::waitpid(pid, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        // Waits until the output holds `text`, at most `seconds`.
        bool waitForOutput(const std::string& text, double seconds) const {
            const auto end =
                std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (std::chrono::steady_clock::now() < end) {
                if (output().find(text) != std::string::npos) return true;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return false;
        }
    };

    // Starts the command in the background, standard output and error into one file.
    Run start(const std::string& arguments) {
        Run run{.outputPath = (folder.path() / ("run" + std::to_string(runs++) + ".txt")).string()};
        const std::string shell = command(arguments) + " >" + run.outputPath + " 2>&1";
        run.pid = ::fork();
        if (run.pid == 0) {
            ::execl("/bin/sh", "sh", "-c", ("exec " + shell).c_str(), nullptr);
            ::_exit(127);
        }
        return run;
    }

    TemporaryDirectory folder;

  private:
    std::string enter;
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

// PRAGMA integrity_check of a database file, or the error that stopped it.
inline std::string integrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        else
            result = sqlite3_errmsg(db);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

}  // namespace joulix::testing
