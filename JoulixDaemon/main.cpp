// JoulixDaemon: the privileged service. Serves the system bus unless told otherwise:
//   JoulixDaemon [--session | --address ADDRESS]
#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/DBusListener.h"
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/RuntimeLog.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string_view>

namespace {
constexpr const char* usage = "usage: JoulixDaemon [--session | --address ADDRESS]\n";

bool parseBus(int argc, char** argv, joulix::BusSelection& bus) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--session") {
            bus = joulix::BusSelection::session();
        } else if (argument == "--address" && i + 1 < argc) {
            bus = joulix::BusSelection::at(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    // An inherited ignored SIGCHLD would make every tool's exit status read 0.
    joulix::DefaultShellRunner::restoreChildExitStatuses();
    joulix::BusSelection bus;
    if (!parseBus(argc, argv, bus)) {
        std::fputs(usage, stderr);
        return 64;
    }
    joulix::DBusListener* listener = nullptr;
    try {
        // Created once and kept for the life of the process.
        static joulix::BatteryMetricsService service({.callers = joulix::busCallerAuthority(bus)});
        static joulix::DBusListener serving(bus,
                                            joulix::AppConfiguration::daemonBundleIdentifier());
        joulix::RuntimeLog::info("Daemon", "Starting listener for " +
                                               joulix::AppConfiguration::daemonBundleIdentifier());
        serving.setDelegate(service);
        serving.resume();
        listener = &serving;
    } catch (const std::exception& error) {  // no bus, name taken, no serving thread
        joulix::RuntimeLog::error("Daemon", error.what());
        return 1;
    }
    // Requests are served on the listener's threads until the bus goes away; the service
    // manager then starts the daemon again. Workers may still be running, so the process ends
    // without destroying what they use.
    const auto reason = listener->waitUntilDisconnected();
    joulix::RuntimeLog::error("Daemon",
                              "Lost the connection to " + bus.description() + ": " + reason);
    std::_Exit(1);
}
