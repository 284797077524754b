// joulix ping: asks the daemon whether it is alive.
#include "cli/DaemonClient.h"

#include "cli/Commands.h"

#include <iostream>

namespace {
joulix::cli::CommandRegistration reg([](CLI::App& app) {
    auto* command = app.add_subcommand("ping", "Ask the daemon whether it is alive");
    auto options = joulix::cli::addBusOptions(*command);
    command->callback([options] {
        joulix::cli::runDaemonRequest(*options, [](joulix::BatteryMetricsClient& client) {
            const bool alive = client.ping();
            std::cout << (alive ? "alive" : "not alive") << '\n';
            return alive ? joulix::cli::succeeded : joulix::cli::refused;
        });
    });
});
}  // namespace
