#include "Report/ReportPage.h"

#include "Report/Markup.h"

namespace joulix {

namespace {

constexpr const char* style = R"(
body{margin:24px;font-family:sans-serif;color:#222222;background:#ffffff;max-width:1232px}
h1{font-size:24px;margin:0 0 8px}
h2{font-size:19px;margin:28px 0 6px;border-bottom:1px solid #cccccc;padding-bottom:4px}
h3{font-size:15px;margin:14px 0 4px;font-weight:normal;color:#444444}
p{margin:4px 0;overflow-wrap:anywhere}
.note{color:#555555}
.message{font-size:18px;margin:32px 0;padding:16px;background:#fff6e0;border:1px solid #e0c080}
.scroll{overflow-x:auto;max-width:100%}
svg.chart{display:block;width:100%;max-width:1200px;min-width:1040px;height:auto}
@media (max-width:600px){body{margin:12px}}
table{border-collapse:collapse;margin:8px 0;font-size:14px}
th,td{padding:4px 10px;border-bottom:1px solid #e4e4e4;text-align:left}
th{background:#f0f2f5}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
)";

void appendTable(std::string& html, const ReportTable& table) {
    const auto cellClass = [&](std::size_t column) {
        return column < table.numeric.size() && table.numeric[column] ? " class=\"n\"" : "";
    };
    html += "<div class=\"scroll\"><table><thead><tr>";
    for (std::size_t c = 0; c < table.header.size(); ++c)
        html += std::string("<th") + cellClass(c) + ">" + escapedMarkup(table.header[c]) + "</th>";
    html += "</tr></thead><tbody>";
    for (const auto& row : table.rows) {
        html += "<tr>";
        for (std::size_t c = 0; c < row.size(); ++c)
            html += std::string("<td") + cellClass(c) + ">" + escapedMarkup(row[c]) + "</td>";
        html += "</tr>";
    }
    html += "</tbody></table></div>\n";
}

}  // namespace

std::string renderReportPage(const ReportPage& page) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                       "'none'; style-src 'unsafe-inline'\">"
                       "<meta name=\"viewport\" content=\"width=device-width\">";
    html += "<title>" + escapedMarkup(page.title) + "</title><style>" + style +
            "</style></head>\n<body>\n<h1>" + escapedMarkup(page.title) + "</h1>\n";
    for (const std::string& line : page.summaryLines)
        html += "<p>" + escapedMarkup(line) + "</p>\n";
    if (page.message) {
        html += "<p class=\"message\">" + escapedMarkup(*page.message) + "</p>\n";
    } else {
        for (const ReportSection& section : page.sections) {
            html += "<h2>" + escapedMarkup(section.heading) + "</h2>\n";
            if (!section.note.empty())
                html += "<p class=\"note\">" + escapedMarkup(section.note) + "</p>\n";
            for (const ChartSpec& chart : section.charts) {
                html += "<h3>" + escapedMarkup(chart.title) + "</h3>\n";
                html += "<div class=\"scroll\">" + renderSVGChart(chart) + "</div>\n";
            }
            if (section.table) appendTable(html, *section.table);
        }
    }
    html += "</body></html>\n";
    return html;
}

}  // namespace joulix
