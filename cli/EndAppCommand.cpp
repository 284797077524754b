// joulix end-app NAME [--dry-run]: ends every process of one application, main executable first,
// through the daemon. Exit status: 0 all ended, 1 one was refused (or sampling failed), 2 the
// daemon cannot be reached, 3 no application has that name.
#include "SharedModels/ProcessTerminationTargetResolver.h"
#include "SharedModels/Text.h"
#include "cli/ApplicationRows.h"
#include "cli/Commands.h"
#include "cli/DaemonClient.h"
#include "cli/Table.h"

#include <iostream>

namespace joulix::cli {
namespace {

constexpr int noSuchApplication = 3;

struct Options {
    std::string name;
    bool dryRun = false;
};

void run(const Options& options, const DaemonClientOptions& bus) {
    ApplicationRows rows;
    try {
        rows = sampleApplicationRows();
    } catch (const std::exception& error) {
        std::cerr << "joulix end-app: " << error.what() << '\n';
        exitStatus() = refused;
        return;
    }
    const auto wanted = text::lowercased(options.name);
    const auto& all = rows.grouping.processes;
    const auto row = std::find_if(all.begin(), all.end(), [&](const ProcessDrain& candidate) {
        return text::lowercased(candidate.displayName.value_or("")) == wanted;
    });
    if (row == all.end()) {
        std::cerr << "joulix end-app: no application named " << printable(options.name) << '\n';
        exitStatus() = noSuchApplication;
        return;
    }

    const auto targets = ProcessTerminationTargetResolver::targetPIDs(*row, rows.members(*row));
    std::cout << printable(*row->displayName) << ":";
    for (const auto pid : targets)
        std::cout << ' ' << pid;
    std::cout << '\n';
    if (options.dryRun) return;

    runDaemonRequest(bus, [&](BatteryMetricsClient& client) {
        DaemonExitStatus status = succeeded;
        for (const auto pid : targets) {
            const auto reply = client.terminateProcess(pid);
            std::cout << pid << ": "
                      << (reply.message   ? *reply.message
                          : reply.success ? "ended"
                                          : "refused")
                      << '\n';
            if (!reply.success) status = refused;
        }
        return status;
    });
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* command = app.add_subcommand(
        "end-app", "End every process of an application through the daemon, main one first");
    command->add_option("name", options->name, "The application's name (any case)")->required();
    command->add_flag("--dry-run", options->dryRun, "Print the order without ending anything");
    auto bus = addBusOptions(*command);
    command->callback([options, bus] { run(*options, *bus); });
});

}  // namespace
}  // namespace joulix::cli
