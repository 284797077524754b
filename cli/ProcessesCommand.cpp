// joulix processes: one process-sampler pass on this machine, the busiest processes (or every
// process) as an aligned table or as JSON records.
#include "MetricsCollectors/ProcessSampler.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "cli/ApplicationRows.h"
#include "cli/Commands.h"
#include "cli/OptionChecks.h"
#include "cli/Table.h"

#include <chrono>
#include <iostream>
#include <thread>

namespace joulix::cli {
namespace {

struct Options {
    int64_t limit = 20;
    bool all = false;
    bool json = false;
    double intervalSeconds = 1;
    bool apps = false;
};

void printTable(const std::vector<ProcessSample>& samples) {
    const std::vector<std::string> header{"PID", "PARENT", "CPU %", "NAME", "BUNDLE ID"};
    std::vector<std::vector<std::string>> rows{header};
    for (const auto& sample : samples) {
        rows.push_back({std::to_string(sample.pid),
                        sample.parentPID ? std::to_string(*sample.parentPID) : "-",
                        text::formatted("%.1f", sample.cpuPercent), printable(sample.name),
                        printable(sample.bundleID.value_or("-"))});
    }
    using enum Alignment;
    printAlignedRows(rows, {right, right, right, left, left});
}

void printJSON(const std::vector<ProcessSample>& samples) {
    std::cout << "[";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::cout << (i == 0 ? "\n" : ",\n") << SnapshotCodec::encode(samples[i]);
    }
    std::cout << "\n]\n";
}

void run(const Options& options) {
    try {
        ProcessSampler sampler;
        if (options.intervalSeconds > 0) {
            // CPU % over the interval, as top shows it, instead of the lifetime average.
            sampler.recentCPU = std::make_shared<RecentProcessCPUTracker>();
            sampler.recentCPU->observe();
            std::this_thread::sleep_for(std::chrono::duration<double>(options.intervalSeconds));
        }
        if (options.apps) {
            printApplications(sampler, options.json);
            return;
        }
        const auto samples = options.all ? sampler.sampleProcessTree(options.limit).allProcesses
                                         : sampler.sampleTopProcesses(options.limit);
        if (options.json) {
            printJSON(samples);
        } else {
            printTable(samples);
        }
    } catch (const std::exception& error) {
        std::cerr << "joulix processes: " << error.what() << '\n';
        exitStatus() = 1;
    }
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* command =
        app.add_subcommand("processes", "Sample the processes of this machine once, busiest first");
    command->add_option("--limit", options->limit, "How many of the busiest processes to show")
        ->capture_default_str()
        ->check(wholeNumberFrom(1, 1000000));
    command->add_flag("--all", options->all, "Show every process, in the order ps lists them");
    command->add_flag("--json", options->json, "Print the samples as JSON records");
    command
        ->add_option("--interval", options->intervalSeconds,
                     "Seconds over which CPU % is measured (0: lifetime figures)")
        ->capture_default_str()
        ->check(secondsFrom(0, 3600));
    command->add_flag("--apps", options->apps, "Group the processes into applications");
    command->callback([options] { run(*options); });
});

}  // namespace
}  // namespace joulix::cli
