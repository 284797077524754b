// joulix low-power on|off: asks the daemon to switch Low Power Mode.
#include "cli/DaemonClient.h"

#include "cli/Commands.h"

namespace {
joulix::cli::CommandRegistration reg([](CLI::App& app) {
    auto* command = app.add_subcommand("low-power", "Switch Low Power Mode through the daemon");
    auto state = std::make_shared<std::string>();
    command->add_option("state", *state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    auto options = joulix::cli::addBusOptions(*command);
    command->callback([options, state] {
        joulix::cli::runDaemonRequest(*options, [&](joulix::BatteryMetricsClient& client) {
            return joulix::cli::reportReply(client.setLowPowerMode(*state == "on"));
        });
    });
});
}  // namespace
