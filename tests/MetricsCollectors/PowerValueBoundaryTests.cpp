#include "MetricsCollectors/PowermetricsParser.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

// Where the unit ends and where the label ends are decided per character, not per byte.
TEST(PowerValueBoundaryTests, UnitAndLabelEndAtCharacterBoundaries) {
    const struct {
        const char* line;
        std::optional<double> watts;
    } cases[] = {
        {"CPU Power: 5 W\xC2\xA0(avg)", 5},            // no-break space ends the unit
        {"CPU Power: 5 W\xC2\xAD", std::nullopt},      // soft hyphen: a format character
        {"CPU Power: 5 W\xE2\x93\x90", std::nullopt},  // circled letter: alphabetic
        {"CPU Power: 5 W\xCC\x81 then 7 mW", 0.007},   // combining mark continues the word
        {"CPU Power\xCC\x81: 5 W", std::nullopt},      // the label's last character changed
        {"CPU Power", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PowermetricsParser::powerValue(c.line, "CPU Power"), c.watts) << c.line;
    }
}

}  // namespace
}  // namespace joulix
