#pragma once
// The report page of one window of recorded history: its summary lines and sections (system
// power, energy, battery, applications, hidden workloads, component averages), built with the
// graph build engine and the details pipeline. Rendering is renderReportPage's.
#include "Report/ReportPage.h"
#include "SharedModels/DrainSnapshot.h"

#include <string>
#include <vector>

namespace joulix {

struct ReportInput {
    std::string databasePath{};
    double windowS = 0;
    Date windowEnd{};                        // the window is the windowS before this
    std::vector<DrainSnapshot> snapshots{};  // the window's snapshots, oldest first
};

ReportPage buildReportPage(ReportInput input);

}  // namespace joulix
