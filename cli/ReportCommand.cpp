// joulix report [--db PATH | --shared] [--window D] [--out FILE]: reads the window up to the
// newest snapshot (default 24 h) from the history database, opened read-only, and writes the report
// page that the Report library builds (default joulix-report.html).
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

// Snapshots read in full for the charts: the store keeps every stride-th one of the window.
constexpr int64_t chartMaxRows = 2000;
// Application lines drawn, as in the details view.
constexpr int64_t drawnApplications = 6;

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
    ReportInput input{.windowS = windowS};
    std::string& path = input.databasePath;
    try {
        path = readableHistoryDatabasePath(options.database, options.shared, "report");
        const auto store = openHistoryDatabase(path);
        // Every read ends the window at the newest snapshot.
        input.details = store->fetchDetailsReadModel(windowS, drawnApplications, std::nullopt,
                                                     DrainSnapshot{.timestamp = Date::now()});
        if (input.details.snapshotCount > 0) {
            input.chartSnapshots = store->fetchWindowSnapshots(windowS, chartMaxRows, std::nullopt);
            input.powerSources = store->fetchPowerSourceCounts(windowS, std::nullopt);
        }
    } catch (const std::exception& error) {
        std::cerr << "joulix report: cannot read the database " << (path.empty() ? "" : path + ": ")
                  << error.what() << std::endl;
        exitStatus() = 1;
        return;
    }
    const std::string html = renderReportPage(buildReportPage(input));
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
    command
        ->add_option("--window", options->window,
                     "The window, ending at the newest snapshot: 90s, 15m, 1h, 24h, 7d")
        ->capture_default_str()
        ->check(durationCheck);
    command->add_option("--out", options->out, "The HTML file to write")
        ->capture_default_str()
        ->check(nonEmptyPathCheck);
    command->callback([options] { runReport(*options); });
});

}  // namespace
}  // namespace joulix::cli
