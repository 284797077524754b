// joulix low-power on|off: asks the daemon to switch Low Power Mode.
// joulix low-power status: reads it directly, without the daemon or any privilege: from pmset
// where it is installed, else the power profile service's active profile.
#include "cli/DaemonClient.h"

#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/PmsetLowPowerMode.h"
#include "Platform/PowerProfileService.h"
#include "cli/Commands.h"
#include "cli/Table.h"

#include <iostream>

namespace {

void printStatus() {
    try {
        if (joulix::BatteryMetricsService::isPmsetInstalled()) {
            const auto result =
                joulix::DefaultShellRunner().run(joulix::BatteryMetricsService::pmsetPath, {"-g"});
            const auto enabled = joulix::lowPowerModeFromPmsetOutput(result.stdout);
            if (result.status != 0 || !enabled) {
                throw joulix::Error("Unable to determine lowpowermode state from pmset output.");
            }
            std::cout << (*enabled ? "on" : "off") << " (pmset)\n";
            return;
        }
        const auto profile = joulix::busPowerProfileService()->activeProfile();
        std::cout << (profile == joulix::PowerProfileService::powerSaver ? "on" : "off") << " ("
                  << joulix::cli::printable(profile) << ")\n";
    } catch (const std::exception& error) {
        std::cerr << "joulix low-power: " << error.what() << '\n';
        joulix::cli::exitStatus() = 1;
    }
}

joulix::cli::CommandRegistration reg([](CLI::App& app) {
    auto* command = app.add_subcommand(
        "low-power", "Switch Low Power Mode through the daemon, or show it (status)");
    auto state = std::make_shared<std::string>();
    command->add_option("state", *state, "on, off or status")
        ->required()
        ->check(CLI::IsMember({"on", "off", "status"}));
    auto options = joulix::cli::addBusOptions(*command);
    command->callback([options, state] {
        if (*state == "status") return printStatus();
        joulix::cli::runDaemonRequest(*options, [&](joulix::BatteryMetricsClient& client) {
            return joulix::cli::reportReply(client.setLowPowerMode(*state == "on"));
        });
    });
});
}  // namespace
