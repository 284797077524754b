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

// Only the first maximumPathWords words make prefixes, so a line of thousands of words costs a
// bounded number of file checks: a file whose path needs one word more is not looked for.
TEST(CommandPathPrefixTests, TriesABoundedNumberOfPrefixes) {
    const testing::TemporaryDirectory folder;
    std::string words = folder.string() + "/a";
    for (std::size_t i = 1; i < ProcessSampler::maximumPathWords; ++i)
        words += " a";
    const std::string longer = words + " a";
    for (const auto& file : {words, longer})
        folder.writeFile(file.substr(folder.string().size() + 1), "");
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(words + " -x"), words);
    EXPECT_EQ(ProcessSampler::resolvedCommandPath(longer + " -x"), words);
}

}  // namespace
}  // namespace joulix
