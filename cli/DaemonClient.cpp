#include "cli/DaemonClient.h"

#include "cli/Commands.h"

#include <charconv>
#include <cstdint>
#include <iostream>

namespace joulix::cli {

BusSelection DaemonClientOptions::bus() const {
    if (!address.empty()) return BusSelection::at(address);
    return session ? BusSelection::session() : BusSelection::system();
}

std::shared_ptr<DaemonClientOptions> addBusOptions(CLI::App& command) {
    auto options = std::make_shared<DaemonClientOptions>();
    auto* session =
        command.add_flag("--session", options->session, "Talk to the daemon on the session bus");
    command.add_option("--address", options->address, "Talk to the daemon on the bus at ADDRESS")
        ->excludes(session);
    if (command.get_footer().empty()) command.footer(daemonExitStatusHelp);
    return options;
}

const CLI::Validator& processIdentifier() {
    static const CLI::Validator validator(
        [](std::string& text) -> std::string {
            int32_t pid = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
            if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                return "not a decimal process identifier: \"" + text + "\"";
            }
            return {};
        },
        "PID");
    return validator;
}

void runDaemonRequest(const DaemonClientOptions& options,
                      const std::function<DaemonExitStatus(BatteryMetricsClient&)>& request) {
    try {
        BatteryMetricsClient client(options.bus());
        exitStatus() = request(client);
    } catch (const DaemonUnreachableError& error) {
        std::cerr << "joulix: " << error.what() << '\n';
        exitStatus() = unreachable;
    } catch (const DaemonRequestError& error) {
        std::cerr << "joulix: " << error.errorName() << ": " << error.what() << '\n';
        exitStatus() = refused;
    }
}

DaemonExitStatus reportReply(const ServiceReply& reply) {
    if (reply.message) std::cout << *reply.message << '\n';
    return reply.success ? succeeded : refused;
}

}  // namespace joulix::cli
