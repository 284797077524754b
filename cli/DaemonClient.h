#pragma once
// What the daemon's subcommands share: the --session / --address options and one way to run a
// request, print its outcome and set the exit status: 0 success; 1 refused, or the daemon cannot
// be reached (the message tells which); 2, set by the parser, a usage error.
#include "JoulixDaemon/BatteryMetricsClient.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>

namespace joulix::cli {

struct DaemonClientOptions {
    bool session = false;
    std::string address;

    BusSelection bus() const;
};

// Adds --session and --address ADDRESS to `command`, and the exit statuses to its help.
std::shared_ptr<DaemonClientOptions> addBusOptions(CLI::App& command);

enum DaemonExitStatus { succeeded = 0, refused = 1, unreachable = 1 };

inline constexpr const char* daemonExitStatusHelp =
    "Exit status: 0 done, 1 refused or the daemon cannot be reached, 2 usage error.";

// Accepts a process identifier only as a plain decimal integer that fits 32 bits: " 12" or
// "0x10" would otherwise be read as another process's pid.
const CLI::Validator& processIdentifier();

// Runs `request` against the daemon and sets exitStatus() from its outcome.
void runDaemonRequest(const DaemonClientOptions& options,
                      const std::function<DaemonExitStatus(BatteryMetricsClient&)>& request);

// Prints the reply's message, if any, and tells success from refusal.
DaemonExitStatus reportReply(const ServiceReply& reply);

}  // namespace joulix::cli
