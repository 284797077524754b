#pragma once
// The report page of one window of recorded history: its summary lines and sections (system
// power, energy, battery, applications, hidden workloads, component averages). Rendering is
// renderReportPage's.
//
// Every figure of the window (energies, the applications table and lines, averages, the drain
// rate) comes from the window's details as the store computes them over every snapshot, so the
// page agrees with `joulix details`. The smoothed power, the battery level and the cumulative
// energy are drawn from the window's snapshots as read for charts (down-sampled by the store).
#include "Report/ReportPage.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/Presentation/DetailsRecords.h"
#include "SharedModels/SnapshotMeasures.h"

#include <string>
#include <string_view>
#include <vector>

namespace joulix {

struct ReportInput {
    std::string databasePath{};
    double windowS = 0;  // the window is the windowS up to the newest snapshot
    DetailsPipelineOutput details{};
    std::vector<DrainSnapshot> chartSnapshots{};  // the window's snapshots, oldest first
    PowerSourceCounts powerSources{};             // over every snapshot of the window
};

ReportPage buildReportPage(const ReportInput& input);

// Kernel threads, as ps names them ("[kworker/0:1]"): gathered in one "kernel" row.
bool isKernelThreadName(std::string_view name);

// The applications table: every group with energy in the window, largest first, kernel threads
// in one "kernel" row; share of the window's total energy; average power over the sampled time.
ReportTable applicationTable(const DetailsPipelineOutput& details);

}  // namespace joulix
