#pragma once
// The report as one self-contained HTML page: inline style, inline SVG charts, plain tables;
// no script, no network, no other file. A content security policy forbids loading anything.
#include "Report/SVGChart.h"

#include <optional>
#include <string>
#include <vector>

namespace joulix {

struct ReportTable {
    std::vector<std::string> header{};
    std::vector<std::vector<std::string>> rows{};
    std::vector<bool> numeric{};  // per column: right-aligned
};

struct ReportSection {
    std::string heading{};
    std::string note{};  // one line under the heading, may be empty
    std::vector<ChartSpec> charts{};
    std::optional<ReportTable> table{};
};

struct ReportPage {
    std::string title{};
    std::vector<std::string> summaryLines{};
    // Shown instead of the sections (an empty window, say).
    std::optional<std::string> message{};
    std::vector<ReportSection> sections{};
};

std::string renderReportPage(const ReportPage& page);

}  // namespace joulix
