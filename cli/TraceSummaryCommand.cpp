// joulix trace-summary PATH [--top N] [--json]: summarises a component-profiler trace: the event
// counts, then the components that block the UI thread longest, the costliest synchronous calls
// and the functions with the most self time (on the UI thread and overall).
#include "SharedModels/BenchmarkTraceAnalyzer.h"
#include "SharedModels/Error.h"
#include "SharedModels/Text.h"
#include "cli/Commands.h"
#include "cli/OptionChecks.h"
#include "cli/Table.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace joulix::cli {
namespace {

struct TraceSummaryOptions {
    std::string path;
    int64_t top = 10;
    bool json = false;
};

std::string milliseconds(double value) {
    return text::formatted("%.3f", value);
}

// Prints rows under a title with every column padded to its widest cell; the first column is
// text (left-aligned), the others are figures (right-aligned).
void printTable(const std::string& title, const std::vector<std::string>& headers,
                const std::vector<std::vector<std::string>>& rows) {
    std::cout << "\n" << title << "\n";
    if (rows.empty()) {
        std::cout << "(none)\n";
        return;
    }
    std::vector<std::vector<std::string>> lines{headers};
    lines.insert(lines.end(), rows.begin(), rows.end());
    std::vector<Alignment> alignments(headers.size(), Alignment::right);
    alignments.front() = Alignment::left;
    printAlignedRows(lines, alignments);
}

void printComponentTable(const std::string& title,
                         const std::vector<BenchmarkTraceAggregate>& aggregates) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& a : aggregates) {
        rows.push_back({a.component, std::to_string(a.count), milliseconds(a.totalDurationMs),
                        milliseconds(a.averageDurationMs), milliseconds(a.maxDurationMs)});
    }
    printTable(title, {"COMPONENT", "COUNT", "TOTAL MS", "AVG MS", "MAX MS"}, rows);
}

void printFunctionTable(const std::string& title,
                        const std::vector<BenchmarkFunctionTraceAggregate>& aggregates) {
    std::vector<std::vector<std::string>> rows;
    for (const auto& a : aggregates) {
        rows.push_back({a.function, std::to_string(a.count), milliseconds(a.totalDurationMs),
                        milliseconds(a.selfDurationMs), milliseconds(a.averageSelfDurationMs),
                        milliseconds(a.maxDurationMs), milliseconds(a.mainThreadSelfDurationMs)});
    }
    printTable(
        title,
        {"FUNCTION", "COUNT", "TOTAL MS", "SELF MS", "AVG SELF MS", "MAX MS", "MAIN SELF MS"},
        rows);
}

nlohmann::ordered_json toJSON(const std::vector<BenchmarkTraceAggregate>& aggregates) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& a : aggregates) {
        list.push_back({{"component", a.component},
                        {"count", a.count},
                        {"totalDurationMs", a.totalDurationMs},
                        {"averageDurationMs", a.averageDurationMs},
                        {"maxDurationMs", a.maxDurationMs}});
    }
    return list;
}

nlohmann::ordered_json toJSON(const std::vector<BenchmarkFunctionTraceAggregate>& aggregates) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& a : aggregates) {
        list.push_back({{"function", a.function},
                        {"count", a.count},
                        {"totalDurationMs", a.totalDurationMs},
                        {"selfDurationMs", a.selfDurationMs},
                        {"averageSelfDurationMs", a.averageSelfDurationMs},
                        {"maxDurationMs", a.maxDurationMs},
                        {"mainThreadSelfDurationMs", a.mainThreadSelfDurationMs}});
    }
    return list;
}

void printSummary(const BenchmarkTraceSummary& summary, bool json) {
    if (json) {
        const nlohmann::ordered_json object = {
            {"path", summary.path},
            {"eventCount", summary.eventCount},
            {"mainThreadEventCount", summary.mainThreadEventCount},
            {"syncCallCount", summary.syncCallCount},
            {"topMainThreadBlockers", toJSON(summary.topMainThreadBlockers)},
            {"topSyncCalls", toJSON(summary.topSyncCalls)},
            {"topBlockingFunctions", toJSON(summary.topBlockingFunctions)},
            {"topFunctionSelfCost", toJSON(summary.topFunctionSelfCost)}};
        std::cout << object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return;
    }
    std::cout << "Trace: " << summary.path << "\n"
              << "Events: " << summary.eventCount << "\n"
              << "Main-thread events: " << summary.mainThreadEventCount << "\n"
              << "Sync calls: " << summary.syncCallCount << "\n";
    printComponentTable("Top main-thread blockers", summary.topMainThreadBlockers);
    printComponentTable("Top sync calls", summary.topSyncCalls);
    printFunctionTable("Top blocking functions (self time on the main thread)",
                       summary.topBlockingFunctions);
    printFunctionTable("Top functions by self time", summary.topFunctionSelfCost);
}

void run(const TraceSummaryOptions& options) {
    // The analyzer reads a missing file as an empty trace; asked for by name, it is an error.
    std::error_code error;
    if (!std::filesystem::exists(options.path, error)) {
        std::cerr << "No such trace file: " << options.path << "\n";
        exitStatus() = 1;
        return;
    }
    try {
        printSummary(BenchmarkTraceAnalyzer::summarize(options.path, options.top), options.json);
    } catch (const Error& failure) {
        std::cerr << failure.what() << "\n";
        exitStatus() = 1;
    }
}

TraceSummaryOptions traceSummaryOptions;

CommandRegistration registration([](CLI::App& app) {
    auto* command =
        app.add_subcommand("trace-summary", "Summarise a component-profiler trace (JSON lines)");
    command->add_option("PATH", traceSummaryOptions.path, "Trace file")->required();
    command->add_option("--top", traceSummaryOptions.top, "Entries per list (at least 1)")
        ->capture_default_str()
        ->check(wholeNumberFrom(1, 1000000));
    command->add_flag("--json", traceSummaryOptions.json, "Print the summary as JSON");
    command->callback([] { run(traceSummaryOptions); });
});

}  // namespace
}  // namespace joulix::cli
