// joulix report [--db PATH | --shared] [--window D] [--out FILE]: reads the window before now
// (default 24 h) from the history database, opened read-only, and writes the report page that
// the Report library builds (default joulix-report.html).
#include "Report/ReportBuilder.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "cli/Commands.h"
#include "cli/DurationText.h"
#include "cli/HistoryDatabase.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace joulix::cli {
namespace {

constexpr int64_t windowMaxRows = 10000;

struct ReportOptions {
    std::string database;
    bool shared = false;
    std::string window = "24h";
    std::string out = "joulix-report.html";
};

// Written beside the target and renamed over it, so a reader never sees half a page.
bool writeAtomically(const std::filesystem::path& file, const std::string& contents,
                     std::string& error) {
    const std::filesystem::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << contents;
        out.flush();
        if (!out) {
            error = std::strerror(errno);
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            return false;
        }
    }
    std::error_code renamed;
    std::filesystem::rename(partial, file, renamed);
    if (renamed) {
        error = renamed.message();
        std::filesystem::remove(partial, renamed);
        return false;
    }
    return true;
}

void runReport(const ReportOptions& options) {
    const double windowS = *parseSecondsOrDuration(options.window);
    const Date now = Date::now();
    std::string path;
    std::vector<DrainSnapshot> snapshots;
    try {
        path = readableHistoryDatabasePath(options.database, options.shared, "report");
        snapshots = openHistoryDatabase(path)->fetchWindowSnapshots(windowS, windowMaxRows, now);
    } catch (const std::exception& error) {
        std::cerr << "joulix report: cannot read the database " << (path.empty() ? "" : path + ": ")
                  << error.what() << std::endl;
        exitStatus() = 1;
        return;
    }
    const std::string html =
        renderReportPage(buildReportPage({path, windowS, now, std::move(snapshots)}));
    const std::filesystem::path out = std::filesystem::absolute(options.out);
    std::string error;
    if (!writeAtomically(out, html, error)) {
        std::cerr << "joulix report: cannot write " << out.string() << ": " << error << std::endl;
        exitStatus() = 1;
        return;
    }
    std::cout << "Report written to " << out.string() << std::endl;
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<ReportOptions>();
    auto* command =
        app.add_subcommand("report", "Write an HTML report with charts of the recorded history");
    command->add_option("--db", options->database, "History database file")
        ->check(nonEmptyPathCheck)
        ->excludes(
            command->add_flag("--shared", options->shared, "Use the history shared by every user"));
    command->add_option("--window", options->window, "How far back the report looks (default 24h)")
        ->check(durationCheck);
    command->add_option("--out", options->out, "The HTML file to write")
        ->capture_default_str()
        ->check(nonEmptyPathCheck);
    command->callback([options] { runReport(*options); });
});

}  // namespace
}  // namespace joulix::cli
