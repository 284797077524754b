#include "MetricsCollectors/ProcessSampler.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

// A path with spaces is still found behind a very long argument list; a NUL byte ends no path.
TEST(CommandPathPrefixTests, LongArgumentListsAndNULBytes) {
    const testing::TemporaryDirectory folder;
    folder.writeFile("my tool", "");
    const auto tool = folder.string() + "/my tool";
    std::string arguments;
    for (int i = 0; i < 100'000; ++i)
        arguments += " -x";
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(tool + arguments), tool);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(tool + std::string(1, '\0') + "x -y"),
              std::nullopt);
}

}  // namespace
}  // namespace joulix
