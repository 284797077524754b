#include "MetricsCollectors/PowermetricsParser.h"

#include "MetricsCollectors/DecimalNumber.h"
#include "MetricsCollectors/PropertyValueReaders.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <utf8proc.h>

namespace joulix {
namespace {

struct PackageTotals {
    double cpuPackageW = 0;
    double gpuPackageW = 0;
    double anePackageW = 0;
    double combinedPackageW = 0;
    std::optional<double> totalSystemWatts;
};

struct TaskActivityRow {
    int64_t pid = 0;
    std::string name;
    double cpuMsPerSec = 0;
    double gpuMsPerSec = 0;
};

struct RunningTasks {
    std::vector<TaskActivityRow> rows;
    double totalCPUmsPerSec = 0;
    double totalGPUmsPerSec = 0;
    std::optional<double> allTasksCPUmsPerSec;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The code point at byte `pos` and its length; an invalid sequence reads as U+FFFD of length 1.
char32_t codePointAt(std::string_view s, std::size_t pos, std::size_t& length) {
    const auto byte = static_cast<unsigned char>(s[pos]);
    length = 1;
    if (byte < 0x80) return byte;
    utf8proc_int32_t cp = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + pos),
                                    static_cast<utf8proc_ssize_t>(s.size() - pos), &cp);
    if (n < 1) return 0xFFFD;
    length = static_cast<std::size_t>(n);
    return static_cast<char32_t>(cp);
}

// "\s" of the power expression: tab, LF, FF, CR and the Unicode separators (Zs, Zl, Zp).
bool isPatternSpace(char32_t c) {
    if (c < 0x80) return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP;
}

// "\w": alphabetic characters, marks, decimal digits, connector punctuation, ZWNJ and ZWJ.
// Alphabetic takes in the circled and squared Latin letters beside the letter categories.
bool isWordCharacter(char32_t c) {
    if (c < 0x80) {
        return isDigit(static_cast<char>(c)) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '_';
    }
    if (c == 0x200C || c == 0x200D) return true;
    if ((c >= 0x24B6 && c <= 0x24E9) || (c >= 0x1F130 && c <= 0x1F149) ||
        (c >= 0x1F150 && c <= 0x1F169) || (c >= 0x1F170 && c <= 0x1F189)) {
        return true;
    }
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_PC:
        return true;
    default:
        return false;
    }
}

// "\b" right after a word character: the next character is not a word character. A combining
// mark or a format character there extends the word, so it is never a boundary.
bool isWordEndAt(std::string_view s, std::size_t pos) {
    if (pos == s.size()) return true;
    std::size_t length = 1;
    const auto c = codePointAt(s, pos, length);
    if (c >= 0x80 && utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_CF) {
        return false;
    }
    return !isWordCharacter(c);
}

struct PowerMatch {
    std::string_view number;
    std::string_view unit;
};

// First match of ([0-9]+(?:\.[0-9]+)?)\s*([muMkK]?W)\b. Every part is greedy and no shorter
// choice can succeed where the greedy one fails, so one attempt per start position decides; a
// start inside the same leading digit run sees the same continuation, so the scan skips it.
std::optional<PowerMatch> firstPowerMatch(std::string_view s) {
    std::size_t start = 0;
    while (start < s.size()) {
        if (!isDigit(s[start])) {
            ++start;
            continue;
        }
        std::size_t p = start;
        while (p < s.size() && isDigit(s[p]))
            ++p;
        const std::size_t integerEnd = p;
        if (p + 1 < s.size() && s[p] == '.' && isDigit(s[p + 1])) {
            p += 2;
            while (p < s.size() && isDigit(s[p]))
                ++p;
        }
        const std::size_t numberEnd = p;
        std::size_t length = 1;
        while (p < s.size() && isPatternSpace(codePointAt(s, p, length)))
            p += length;
        const std::size_t unitStart = p;
        if (p < s.size() && std::string_view("muMkK").find(s[p]) != std::string_view::npos) ++p;
        if (p < s.size() && s[p] == 'W') {
            ++p;
            if (isWordEndAt(s, p)) {
                return PowerMatch{s.substr(start, numberEnd - start),
                                  s.substr(unitStart, p - unitStart)};
            }
        }
        start = integerEnd;
    }
    return std::nullopt;
}

// Trims white space, newlines and colons from both ends.
std::string_view trimColonsAndSpace(std::string_view s) {
    while (true) {
        std::string_view t = text::trim(s);
        while (t.starts_with(':'))
            t.remove_prefix(1);
        while (t.ends_with(':'))
            t.remove_suffix(1);
        if (t.size() == s.size()) return t;
        s = t;
    }
}

// True when `s`, upper-cased code point by code point, equals the ASCII text `upper`.
bool uppercasedEquals(std::string_view s, std::string_view upper) {
    std::size_t pos = 0;
    std::size_t matched = 0;
    while (pos < s.size()) {
        std::size_t length = 1;
        const auto c = utf8proc_toupper(static_cast<utf8proc_int32_t>(codePointAt(s, pos, length)));
        if (matched >= upper.size() || c != static_cast<unsigned char>(upper[matched]))
            return false;
        ++matched;
        pos += length;
    }
    return matched == upper.size();
}

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Character positions of one line mapped to byte offsets. Lines are split at LF, so an ASCII
// line has one character per byte; other lines are measured in grapheme clusters.
class LineColumns {
  public:
    LineColumns(std::string_view line, bool asciiText) : line_(line) {
        if (!asciiText && !isASCII(line)) boundaries_ = text::characterBoundaries(line);
    }

    std::size_t length() const {
        return boundaries_.empty() ? line_.size() : boundaries_.size() - 1;
    }

    std::size_t characterIndex(std::size_t byteOffset) const {
        if (boundaries_.empty()) return byteOffset;
        const auto after = std::upper_bound(boundaries_.begin(), boundaries_.end(), byteOffset);
        return static_cast<std::size_t>(after - boundaries_.begin()) - 1;
    }

    // The text between two character positions, each clamped into the line.
    std::string_view field(std::size_t start, std::size_t end) const {
        start = std::min(start, length());
        end = std::min(end, length());
        if (start >= end) return {};
        const auto from = byteOffset(start);
        return line_.substr(from, byteOffset(end) - from);
    }

  private:
    std::size_t byteOffset(std::size_t index) const {
        return boundaries_.empty() ? index : boundaries_[index];
    }

    std::string_view line_;
    std::vector<std::size_t> boundaries_;
};

PackageTotals parsePackageTotals(const std::vector<std::string_view>& lines) {
    using Parser = PowermetricsParser;
    PackageTotals totals;
    for (const auto rawLine : lines) {
        const auto line = text::trim(rawLine);
        // Every label begins with one of these letters; other lines need no label test.
        if (line.empty() ||
            std::string_view("CGAST").find(line.front()) == std::string_view::npos) {
            continue;
        }
        if (const auto cpu = Parser::powerValue(line, "CPU Power")) {
            totals.cpuPackageW = *cpu;
        } else if (const auto gpu = Parser::powerValue(line, "GPU Power")) {
            totals.gpuPackageW = *gpu;
        } else if (const auto ane = Parser::powerValue(line, "ANE Power")) {
            totals.anePackageW = *ane;
        } else if (const auto combined =
                       Parser::powerValue(line, "Combined Power (CPU + GPU + ANE)")) {
            totals.combinedPackageW = *combined;
        } else if (!totals.totalSystemWatts) {
            for (const auto label :
                 {"System Average Power", "System Power", "Total Power", "Total System Power"}) {
                if (const auto system = Parser::powerValue(line, label)) {
                    totals.totalSystemWatts = system;
                    break;
                }
            }
        }
    }
    return totals;
}

RunningTasks parseRunningTasks(const std::vector<std::string_view>& lines, bool asciiText) {
    enum class State { beforeSection, lookingForHeader, readingRows };
    State state = State::beforeSection;
    std::size_t nameStart = 0, idStart = 0, cpuStart = 0, gpuStart = 0;
    RunningTasks tasks;
    for (const auto line : lines) {
        const auto trimmed = text::trim(line);
        if (state == State::beforeSection) {
            if (trimmed == "*** Running tasks ***") state = State::lookingForHeader;
            continue;
        }
        if (trimmed.starts_with("****") && trimmed.ends_with("****")) break;
        if (state == State::lookingForHeader) {
            const auto name = line.find("Name");
            const auto id = line.find("ID");
            const auto cpu = line.find("CPU ms/s");
            const auto gpu = line.find("GPU ms/s");
            if (name == line.npos || id == line.npos || cpu == line.npos || gpu == line.npos) {
                continue;
            }
            const LineColumns header(line, asciiText);
            nameStart = header.characterIndex(name);
            idStart = header.characterIndex(id);
            cpuStart = header.characterIndex(cpu);
            gpuStart = header.characterIndex(gpu);
            state = State::readingRows;
            continue;
        }
        if (trimmed.empty()) continue;

        const LineColumns row(line, asciiText);
        const auto nameField = row.field(nameStart, idStart);
        const auto name = text::trim(nameField);
        const auto cpuField = row.field(cpuStart, gpuStart);
        if (uppercasedEquals(name, "ALL_TASKS")) {
            tasks.allTasksCPUmsPerSec = PowermetricsParser::parseFirstDouble(cpuField);
            continue;
        }
        std::size_t length = 1;
        if (nameField.empty() || !text::isWhitespaceOrNewline(codePointAt(nameField, 0, length))) {
            continue;
        }
        if (name.empty() || uppercasedEquals(name, "DEAD_TASKS") || name.starts_with("***")) {
            continue;
        }
        const auto pid = property::parseDecimalInteger(text::trim(row.field(idStart, cpuStart)));
        if (!pid || *pid <= 0) continue;
        const double cpuMsPerSec =
            std::max(PowermetricsParser::parseFirstDouble(cpuField).value_or(0), 0.0);
        const double gpuMsPerSec = std::max(
            PowermetricsParser::parseFirstDouble(row.field(gpuStart, row.length())).value_or(0),
            0.0);
        tasks.rows.push_back(TaskActivityRow{*pid, std::string(name), cpuMsPerSec, gpuMsPerSec});
        tasks.totalCPUmsPerSec += cpuMsPerSec;
        tasks.totalGPUmsPerSec += gpuMsPerSec;
    }
    return tasks;
}

}  // namespace

bool PowermetricsParseOutput::hasPackagePower() const {
    return cpuPackageW > 0 || gpuPackageW > 0 || anePackageW > 0 || combinedPackageW > 0;
}

double PowermetricsParseOutput::resolvedCPUAttributionDenominator() const {
    if (totalTaskCPUmsPerSec > 0) return totalTaskCPUmsPerSec;
    return std::max(allTasksCPUmsPerSec.value_or(0), 0.0);
}

bool PowermetricsParseOutput::gpuPackageAllocatedByCPUShare() const {
    return gpuPackageW > 0 && totalTaskGPUmsPerSec <= 0 &&
           (totalTaskCPUmsPerSec > 0 || (allTasksCPUmsPerSec && *allTasksCPUmsPerSec > 0));
}

PowermetricsParseOutput PowermetricsParser::parse(std::string_view output) const {
    const auto lines = text::splitKeepingEmpty(output, '\n');
    const auto totals = parsePackageTotals(lines);
    auto tasks = parseRunningTasks(lines, isASCII(output));

    PowermetricsParseOutput result;
    result.cpuPackageW = totals.cpuPackageW;
    result.gpuPackageW = totals.gpuPackageW;
    result.anePackageW = totals.anePackageW;
    result.combinedPackageW = totals.combinedPackageW;
    result.totalSystemWatts = totals.totalSystemWatts;
    result.totalTaskCPUmsPerSec = tasks.totalCPUmsPerSec;
    result.totalTaskGPUmsPerSec = tasks.totalGPUmsPerSec;
    result.allTasksCPUmsPerSec = tasks.allTasksCPUmsPerSec;

    const double cpuDenominator = result.resolvedCPUAttributionDenominator();
    const bool gpuFallback = result.gpuPackageAllocatedByCPUShare();
    result.processes.reserve(tasks.rows.size());
    for (auto& row : tasks.rows) {
        const double cpuShare =
            cpuDenominator > 0 ? std::max(row.cpuMsPerSec, 0.0) / cpuDenominator : 0;
        double gpuShare = 0;
        if (tasks.totalGPUmsPerSec > 0) {
            gpuShare = std::max(row.gpuMsPerSec, 0.0) / tasks.totalGPUmsPerSec;
        } else if (gpuFallback) {
            gpuShare = cpuShare;
        }
        const double cpuW = totals.cpuPackageW * cpuShare;
        const double gpuW = totals.gpuPackageW * gpuShare;
        const double aneW = totals.anePackageW * cpuShare;
        result.processes.push_back(PowermetricsProcessRecord{row.pid, std::move(row.name),
                                                             row.cpuMsPerSec, row.gpuMsPerSec, cpuW,
                                                             gpuW, aneW, cpuW + gpuW + aneW});
    }
    if (!(result.combinedPackageW > 0)) {
        result.combinedPackageW =
            std::max(totals.cpuPackageW + totals.gpuPackageW + totals.anePackageW, 0.0);
    }
    return result;
}

std::optional<double> PowermetricsParser::powerValue(std::string_view line,
                                                     std::string_view label) {
    // The label must end where a character ends: a combining mark after it changes its last
    // character. The next code point alone decides, so a few bytes past the label suffice.
    if (!line.starts_with(label) || text::byteOffsetOfCharacter(line.substr(0, label.size() + 4),
                                                                label.size()) != label.size()) {
        return std::nullopt;
    }
    const auto match = firstPowerMatch(trimColonsAndSpace(line.substr(label.size())));
    if (!match) return std::nullopt;
    const auto value = parseDecimalNumber(match->number);
    if (!value) return std::nullopt;
    return convertToWatts(*value, match->unit);
}

double PowermetricsParser::convertToWatts(double value, std::string_view unit) {
    const auto lower = text::lowercased(unit);
    if (lower == "uw") return value / 1'000'000;
    if (lower == "mw") return value / 1000;
    if (lower == "kw") return value * 1000;
    return value;
}

std::optional<double> PowermetricsParser::parseFirstDouble(std::string_view text) {
    const auto trimmed = text::trim(text);
    std::size_t end = 0;
    while (end < trimmed.size()) {
        std::size_t length = 1;
        if (text::isWhitespaceOrNewline(codePointAt(trimmed, end, length))) break;
        end += length;
    }
    if (end == 0) return std::nullopt;
    return parseDecimalNumber(trimmed.substr(0, end));
}

}  // namespace joulix
