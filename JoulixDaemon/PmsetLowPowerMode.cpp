#include "JoulixDaemon/PmsetLowPowerMode.h"

#include "SharedModels/Text.h"

namespace joulix {

std::optional<bool> lowPowerModeFromPmsetOutput(std::string_view output) {
    for (const auto line : text::splitLines(output)) {
        const auto trimmed = text::trim(line);
        if (!text::lowercased(trimmed).starts_with("lowpowermode")) continue;
        const auto pieces = text::splitWhitespace(trimmed);
        if (pieces.empty()) continue;
        if (pieces.back() == "1") return true;
        if (pieces.back() == "0") return false;
    }
    return std::nullopt;
}

}  // namespace joulix
