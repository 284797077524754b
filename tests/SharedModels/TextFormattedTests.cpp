#include "SharedModels/Text.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

TEST(TextFormatted, PrintsShortAndLongNumbersWhole) {
    EXPECT_EQ(text::formatted("%.2f", 2.345), "2.35");
    const std::string large = text::formatted("%.2f", 1e80);
    EXPECT_EQ(large.size(), 84u);
    EXPECT_TRUE(large.starts_with("1000000000000000000") && large.ends_with(".00")) << large;
}

}  // namespace
}  // namespace joulix
