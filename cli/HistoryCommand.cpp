// joulix history [--db PATH | --shared] [--limit N] [--json]: the newest snapshots of a history
// database and the energy summary over them, as a table or as the read model in JSON. The
// database is opened read-only; nothing is created or changed.
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"
#include "cli/Commands.h"
#include "cli/HistoryDatabase.h"
#include "cli/OptionChecks.h"
#include "cli/Table.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>

namespace joulix::cli {
namespace {

struct HistoryOptions {
    std::string database;
    bool shared = false;
    int64_t limit = 20;
    bool json = false;
};

std::string watts(double value) {
    return text::formatted("%.2f", value);
}

std::optional<double> batteryLevel(const DrainSnapshot& snapshot) {
    if (snapshot.powerContext && snapshot.powerContext->batteryLevelPercent)
        return snapshot.powerContext->batteryLevelPercent;
    if (snapshot.batteryStatus) return snapshot.batteryStatus->levelPercent;
    return std::nullopt;
}

void printTable(const SnapshotHistoryReadModel& model) {
    std::vector<std::vector<std::string>> rows{{"TIME (" + localTime(Date::now(), "%Z") + ")",
                                                "TOTAL W", "PROCESS W", "BATTERY %", "PROCESSES"}};
    for (const DrainSnapshot& snapshot : model.snapshots) {
        const auto level = batteryLevel(snapshot);
        rows.push_back({localTime(snapshot.timestamp), watts(snapshot.totalDischargeW),
                        watts(processTotalWatts(snapshot)),
                        level ? text::formatted("%.1f", *level) : "-",
                        std::to_string(snapshot.processes.size())});
    }
    printAlignedRows(rows, {Alignment::left, Alignment::right, Alignment::right, Alignment::right,
                            Alignment::right});
    const EnergyUsageSummary& summary = model.energyUsageSummary;
    std::cout << "\nEnergy over these " << model.snapshots.size() << " snapshots\n";
    printAlignedRows({{"Total", text::formatted("%.3f", summary.totalWh), "Wh"},
                      {"On battery", text::formatted("%.3f", summary.batteryWh), "Wh"},
                      {"Tracked", text::formatted("%.3f", summary.trackedHours), "h"},
                      {"Monitor's own", text::formatted("%.3f", summary.trackerWh), "Wh"}},
                     {Alignment::left, Alignment::right, Alignment::left});
}

void printJSON(const SnapshotHistoryReadModel& model) {
    nlohmann::ordered_json snapshots = nlohmann::ordered_json::array();
    for (const DrainSnapshot& snapshot : model.snapshots)
        snapshots.push_back(nlohmann::ordered_json::parse(SnapshotCodec::encode(snapshot)));
    const EnergyUsageSummary& summary = model.energyUsageSummary;
    const nlohmann::ordered_json json = {{"snapshots", snapshots},
                                         {"energyUsageSummary",
                                          {{"totalWh", summary.totalWh},
                                           {"batteryWh", summary.batteryWh},
                                           {"trackedHours", summary.trackedHours},
                                           {"trackerWh", summary.trackerWh}}}};
    std::cout << json.dump(2) << '\n';
}

// Opens, checks the schema version and reads; every failure is one line on standard error.
void run(const HistoryOptions& options) {
    const auto fail = [](const std::string& message) {
        std::cerr << "joulix history: " << message << '\n';
        exitStatus() = 1;
    };
    std::string path = options.database;
    try {
        path = readableHistoryDatabasePath(options.database, options.shared, "history");
        const auto store = openHistoryDatabase(path);
        const auto model = store->fetchHistoryReadModel(options.limit);
        options.json ? printJSON(model) : printTable(model);
    } catch (const HistoryDatabaseError& error) {
        fail(error.what());
    } catch (const Error& error) {
        fail("cannot read " + (path.empty() ? std::string("the history database") : path) + ": " +
             error.what());
    }
}

HistoryOptions historyOptions;

CommandRegistration registration([](CLI::App& app) {
    auto* command = app.add_subcommand(
        "history", "Print the newest snapshots of a history database and their energy summary");
    auto* database = command
                         ->add_option("--db", historyOptions.database,
                                      "Database file (default: the per-user database)")
                         ->check(nonEmptyPathCheck);
    command->add_flag("--shared", historyOptions.shared, "Read the shared database")
        ->excludes(database);
    command->add_option("--limit", historyOptions.limit, "Newest snapshots to read (1 to 10000)")
        ->capture_default_str()
        ->check(wholeNumberFrom(1, 10000));
    command->add_flag("--json", historyOptions.json, "Print the read model as JSON");
    command->callback([] { run(historyOptions); });
});

}  // namespace
}  // namespace joulix::cli
