// joulix export [--listen ADDRESS:PORT] [--textfile PATH] [--interval S] [--top N]: publishes
// the machine's power, battery and busiest applications as Prometheus metrics, on /metrics
// and/or in a textfile for node_exporter, refreshed by a sampling pass every interval. A setup
// failure (bad address, port in use, unwritable textfile) is one line and exit status 1.
// SIGINT or SIGTERM ends it at once, between passes, or as soon as the running pass ends.
#include "Export/MetricsExporter.h"
#include "cli/Commands.h"
#include "cli/OptionChecks.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <stop_token>
#include <thread>

namespace joulix::cli {
namespace {

struct ExportOptions {
    std::string listen = "127.0.0.1:9469";
    std::string textfile;
    double intervalS = 15;
    std::size_t top = 10;
};

void runExport(const ExportOptions& options, bool listen) {
    // Every thread, the HTTP server's included, leaves SIGINT and SIGTERM to one waiter that
    // turns them into a stop request.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ExporterOptions exporterOptions{.intervalS = options.intervalS,
                                    .top = options.top,
                                    .version = JOULIX_VERSION,
                                    .powerProfiles = busPowerProfileService()};
    if (listen) exporterOptions.listen = options.listen;
    if (!options.textfile.empty()) exporterOptions.textfile = options.textfile;
    std::unique_ptr<MetricsExporter> exporter;
    try {
        exporter = std::make_unique<MetricsExporter>(exporterOptions);
    } catch (const ExporterError& error) {
        std::cerr << "joulix export: " << error.what() << std::endl;
        exitStatus() = 1;
        return;
    }

    std::cout << "joulix export: a pass every " << options.intervalS << " s";
    const auto host = options.listen.substr(0, options.listen.rfind(':'));
    for (const int port : exporter->listeningPorts())
        std::cout << ", serving http://" << host << ":" << port << "/metrics";
    if (exporterOptions.textfile) std::cout << ", writing " << *exporterOptions.textfile;
    std::cout << std::endl;

    std::stop_source stop;
    std::thread([stopSignals, stop]() mutable {
        int signal = 0;
        ::sigwait(&stopSignals, &signal);
        stop.request_stop();
    }).detach();
    exporter->run(stop.get_token());
    // Nothing is left to save (every textfile was replaced whole), and the HTTP server's
    // shutdown waits up to 2 s for its accept loop: the process ends here, at once.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(0);
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<ExportOptions>();
    auto* command = app.add_subcommand(
        "export", "Publish power, battery and application metrics for Prometheus");
    auto* listen = command->add_option("--listen", options->listen,
                                       "Serve /metrics on ADDRESS:PORT (default 127.0.0.1:9469)");
    auto* textfile = command->add_option(
        "--textfile", options->textfile,
        "Also write the metrics to this file (node_exporter's textfile collector)");
    command->add_option("--interval", options->intervalS, "Seconds between passes (default 15)")
        ->check(secondsFrom(1, 3600));
    command
        ->add_option("--top", options->top,
                     "Applications published by name; the rest are \"other\" (default 10)")
        ->check(wholeNumberFrom(1, 1000));
    command->callback([options, listen, textfile] {
        // A textfile alone publishes no HTTP endpoint; --listen with it serves both.
        runExport(*options, listen->count() > 0 || textfile->count() == 0);
    });
});

}  // namespace
}  // namespace joulix::cli
