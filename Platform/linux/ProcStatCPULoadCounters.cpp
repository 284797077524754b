#include "Platform/linux/ProcStatCPULoadCounters.h"

#include "Platform/linux/SysfsAttributes.h"

#include <charconv>
#include <vector>

namespace joulix {

std::optional<CPULoadTicks> ProcStatCPULoadCounters::parseCPULine(std::string_view line) {
    constexpr std::string_view label = "cpu ";
    if (line.substr(0, label.size()) != label) return std::nullopt;
    std::vector<uint64_t> fields;
    size_t position = label.size();
    while (position < line.size() && fields.size() < 8) {
        while (position < line.size() && line[position] == ' ')
            ++position;
        if (position == line.size()) break;
        uint64_t value = 0;
        const auto [rest, error] =
            std::from_chars(line.data() + position, line.data() + line.size(), value);
        if (error != std::errc()) return std::nullopt;
        fields.push_back(value);
        position = static_cast<size_t>(rest - line.data());
    }
    if (fields.size() < 5) return std::nullopt;
    fields.resize(8, 0);
    const auto ticks = [](uint64_t value) { return static_cast<uint32_t>(value); };
    return CPULoadTicks{ticks(fields[0]), ticks(fields[2] + fields[5] + fields[6]),
                        ticks(fields[3] + fields[4]), ticks(fields[1])};
}

std::optional<CPULoadTicks> ProcStatCPULoadCounters::read() const {
    const auto line = sysfs::readText(procRoot_ + "/stat");
    if (!line) return std::nullopt;
    return parseCPULine(*line);
}

std::shared_ptr<const CPULoadCounters> platformCPULoadCounters() {
    return std::make_shared<ProcStatCPULoadCounters>();
}

}  // namespace joulix
