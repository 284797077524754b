// joulix terminate PID: asks the daemon to end a process (SIGTERM, then SIGKILL).
#include "cli/DaemonClient.h"

#include "cli/Commands.h"

#include <cstdint>

namespace {
joulix::cli::CommandRegistration reg([](CLI::App& app) {
    auto* command = app.add_subcommand("terminate", "End a process through the daemon");
    auto pid = std::make_shared<int32_t>(0);
    command->add_option("pid", *pid, "The process identifier")
        ->required()
        ->check(joulix::cli::processIdentifier());
    auto options = joulix::cli::addBusOptions(*command);
    command->callback([options, pid] {
        joulix::cli::runDaemonRequest(*options, [&](joulix::BatteryMetricsClient& client) {
            return joulix::cli::reportReply(client.terminateProcess(*pid));
        });
    });
});
}  // namespace
