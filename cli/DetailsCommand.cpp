// joulix details [--db PATH | --shared] [--window DURATION] [--json]: the details of one window
// of the stored history, computed inside the database: the window, the energy summary, the
// component averages, the battery drain rate, the top application groups and the hidden
// workloads, or the whole details output as JSON. The database is opened read-only.
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "cli/Commands.h"
#include "cli/HistoryDatabase.h"
#include "cli/Table.h"

#include <iostream>
#include <string>

namespace joulix::cli {
namespace {

constexpr int64_t shownApplications = 10;

struct DetailsOptions {
    std::string database;
    bool shared = false;
    std::string window = "1h";
    bool json = false;
};

std::string fixed(double value, const char* format = "%.3f") {
    return text::formatted(format, value);
}

void printDetails(const DetailsPipelineOutput& details) {
    std::cout << "Window: " << localTime(details.windowStart) << " to "
              << localTime(details.windowEnd) << " " << localTime(details.windowEnd, "%Z") << ", "
              << details.snapshotCount << " snapshots\n\n";
    const EnergyUsageSummary& energy = details.energySummary;
    const ComponentAverages& average = details.componentAverages;
    printAlignedRows(
        {{"Energy", fixed(energy.totalWh), "Wh"},
         {"On battery", fixed(energy.batteryWh), "Wh"},
         {"Tracked", fixed(energy.trackedHours), "h"},
         {"Monitor's own", fixed(energy.trackerWh), "Wh"},
         {"Battery drain",
          details.batteryDrainRatePerHour ? fixed(*details.batteryDrainRatePerHour, "%.2f") : "-",
          "%/h"}},
        {Alignment::left, Alignment::right, Alignment::left});

    std::cout << "\nAverage power\n";
    printAlignedRows({{"Total", fixed(average.totalW, "%.2f"), "W"},
                      {"Processes", fixed(average.processW, "%.2f"), "W"},
                      {"Screen", fixed(average.screenW, "%.2f"), "W"},
                      {"USB", fixed(average.usbW, "%.2f"), "W"},
                      {"Unattributed", fixed(average.unattributedW, "%.2f"), "W"},
                      {"CPU", fixed(average.cpuW, "%.2f"), "W"},
                      {"GPU", fixed(average.gpuW, "%.2f"), "W"},
                      {"ANE", fixed(average.aneW, "%.2f"), "W"},
                      {"RAM", fixed(average.ramW, "%.2f"), "W"},
                      {"PCI", fixed(average.pciW, "%.2f"), "W"}},
                     {Alignment::left, Alignment::right, Alignment::left});

    std::cout << "\nTop applications\n";
    std::vector<std::vector<std::string>> rows{{"APPLICATION", "WH", "SHARE", "PROCESSES"}};
    for (const ProcessGroup& group : details.processGroups) {
        if (static_cast<int64_t>(rows.size()) > shownApplications) break;
        const double share = energy.totalWh > 0 ? group.totalEnergyWh / energy.totalWh * 100 : 0;
        rows.push_back({printable(group.canonicalName), fixed(group.totalEnergyWh),
                        fixed(share, "%.1f") + " %", std::to_string(group.processes.size())});
    }
    printAlignedRows(rows, {Alignment::left, Alignment::right, Alignment::right, Alignment::right});

    std::cout << "\nHidden workloads\n";
    std::vector<std::vector<std::string>> hidden{{"WORKLOAD", "W", "WH"}};
    for (const HiddenDrain& drain : details.hiddenDrains) {
        const auto wh = details.hiddenTotalWhByID.find(drain.id());
        hidden.push_back({printable(drain.id()), fixed(drain.drainW, "%.2f"),
                          fixed(wh == details.hiddenTotalWhByID.end() ? 0.0 : wh->second)});
    }
    printAlignedRows(hidden, {Alignment::left, Alignment::right, Alignment::right});
}

// Every failure is one line on standard error and exit status 1.
void run(const DetailsOptions& options) {
    const auto fail = [](const std::string& message) {
        std::cerr << "joulix details: " << message << '\n';
        exitStatus() = 1;
    };
    const auto window = parseDuration(options.window);
    if (!window) return fail("not a duration: " + options.window + " (use 90s, 15m, 1h, 7d)");
    std::string path;
    try {
        path = readableHistoryDatabasePath(options.database, options.shared, "details");
        const auto store = openHistoryDatabase(path);
        const DrainSnapshot now{.timestamp = Date::now()};
        const auto details = store->fetchDetailsReadModel(*window, 6, std::nullopt, now);
        if (options.json) {
            std::cout << SnapshotCodec::encodeForReading(details) << "\n";
        } else {
            printDetails(details);
        }
    } catch (const HistoryDatabaseError& error) {
        fail(error.what());
    } catch (const Error& error) {
        fail("cannot read " + (path.empty() ? std::string("the history database") : path) + ": " +
             error.what());
    }
}

DetailsOptions detailsOptions;

CommandRegistration registration([](CLI::App& app) {
    auto* command =
        app.add_subcommand("details", "Print the details of one window of a history database");
    auto* database = command
                         ->add_option("--db", detailsOptions.database,
                                      "Database file (default: the per-user database)")
                         ->check(nonEmptyPathCheck);
    command->add_flag("--shared", detailsOptions.shared, "Read the shared database")
        ->excludes(database);
    command
        ->add_option("--window", detailsOptions.window,
                     "The window, ending at the newest snapshot: 90s, 15m, 1h, 24h, 7d")
        ->capture_default_str();
    command->add_flag("--json", detailsOptions.json, "Print the whole details output as JSON");
    command->callback([] { run(detailsOptions); });
});

}  // namespace
}  // namespace joulix::cli
