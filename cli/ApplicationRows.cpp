#include "cli/ApplicationRows.h"

#include "MetricsCollectors/ProcessSampler.h"
#include "SharedModels/SnapshotCodec.h"
#include "SharedModels/Text.h"
#include "cli/Commands.h"
#include "cli/Table.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>

namespace joulix::cli {

namespace {

namespace Service = ProcessAttributionPresentationService;

// A sampled process as a drain record: no watts yet, its CPU % as sampled.
ProcessDrain drainOf(const ProcessSample& sample) {
    return ProcessDrain{
        .pid = sample.pid,
        .parentPID = sample.parentPID,
        .name = sample.name,
        .bundleID = sample.bundleID,
        .rawCPUPercent = sample.cpuPercent,
        .sourceFlags = {"ps"},
    };
}

Date now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return Date::fromTimeIntervalSince1970(std::chrono::duration<double>(sinceEpoch).count());
}

}  // namespace

std::vector<ProcessDrain> ApplicationRows::members(const ProcessDrain& row) const {
    const auto found = grouping.subprocessesByID.find(row.id());
    if (found == grouping.subprocessesByID.end() || found->second.empty()) return {row};
    return found->second;
}

double ApplicationRows::cpuPercent(const std::vector<ProcessDrain>& members) {
    double sum = 0;
    for (const auto& member : members)
        sum += member.rawCPUPercent.value_or(0);
    return sum;
}

ApplicationRows sampleApplicationRows() {
    const ProcessSampler sampler;
    DrainSnapshot snapshot{.timestamp = now()};
    for (const auto& sample : sampler.sampleProcesses(0, true).allProcesses)
        snapshot.processes.push_back(drainOf(sample));
    const auto context = Service::makePresentationContext(std::span(&snapshot, 1));
    ApplicationRows rows{
        Service::groupVisibleProcesses(Service::annotateSnapshot(snapshot, context), context, {})};

    // Busiest first by summed CPU %, equal ones by name.
    std::vector<std::pair<double, ProcessDrain>> ranked;
    for (auto& row : rows.grouping.processes)
        ranked.emplace_back(ApplicationRows::cpuPercent(rows.members(row)), std::move(row));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first > b.first;
        return a.second.displayName < b.second.displayName;
    });
    rows.grouping.processes.clear();
    for (auto& [cpu, row] : ranked)
        rows.grouping.processes.push_back(std::move(row));
    return rows;
}

void printApplications(bool json) {
    ApplicationRows rows;
    try {
        rows = sampleApplicationRows();
    } catch (const std::exception& error) {
        std::cerr << "joulix processes: " << error.what() << '\n';
        exitStatus() = 1;
        return;
    }
    const auto& grouping = rows.grouping;
    if (json) {
        nlohmann::ordered_json out{{"processes", nlohmann::ordered_json::array()},
                                   {"processWhByID", nlohmann::ordered_json::object()},
                                   {"subprocessesByID", nlohmann::ordered_json::object()}};
        for (const auto& row : grouping.processes) {
            out["processes"].push_back(nlohmann::ordered_json::parse(SnapshotCodec::encode(row)));
            out["processWhByID"][row.id()] = grouping.processWhByID.at(row.id());
            auto& members = out["subprocessesByID"][row.id()] = nlohmann::ordered_json::array();
            for (const auto& member : grouping.subprocessesByID.at(row.id()))
                members.push_back(nlohmann::ordered_json::parse(SnapshotCodec::encode(member)));
        }
        std::cout << out.dump() << '\n';
        return;
    }
    std::vector<std::vector<std::string>> table{{"NAME", "PROCESSES", "CPU %", "PID", "GROUP KEY"}};
    for (const auto& row : grouping.processes) {
        const auto members = rows.members(row);
        table.push_back({printable(row.displayName.value_or(row.name)),
                         std::to_string(members.size()),
                         text::formatted("%.1f", ApplicationRows::cpuPercent(members)),
                         std::to_string(row.pid), printable(row.processGroupKey.value_or("-"))});
    }
    using enum Alignment;
    printAlignedRows(table, {left, right, right, right, left});
}

}  // namespace joulix::cli
