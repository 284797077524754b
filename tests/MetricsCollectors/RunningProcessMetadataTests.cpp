#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace joulix {
namespace {

// The running applications and the bundle identifiers on disk.
struct FakeApplications final : RunningApplicationRegistry, BundleInfoReader {
    std::map<int32_t, RunningApplication> applications;
    std::map<std::string, std::string> identifiers;
    mutable int reads = 0;
    std::optional<RunningApplication> runningApplication(int32_t pid) const override {
        return testing::lookup(applications, pid);
    }
    std::optional<std::string> bundleIdentifier(const std::string& path) const override {
        ++reads;
        return testing::lookup(identifiers, path);
    }
};

TEST(RunningProcessMetadataTests, BundlePathOfAnExecutable) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"/Applications/Foo.app/Contents/MacOS/Foo", "/Applications/Foo.app"},
        {"/Applications/Foo.app", "/Applications/Foo.app"},
        {"/X/Foo.App", std::nullopt},  // suffix test is case-sensitive, search needs the slash
        {"/X/Foo.APP/Contents/MacOS/Foo", "/X/Foo.APP"},
        {"/A.app/Contents/B.app/Contents/MacOS/B", "/A.app"},  // the outermost wins
        {"/S/Helper.xpc/Contents/MacOS/Helper", "/S/Helper.xpc"},
        {"/usr/bin/ps", std::nullopt},
    };
    for (const auto& [path, bundle] : cases) {
        EXPECT_EQ(RunningProcessMetadataResolver::bundlePath(path), bundle) << path;
    }
}

TEST(RunningProcessMetadataTests, ResolverCombinesTableBundlesAndApplications) {
    auto table = std::make_shared<testing::FakeProcessTable>();
    auto applications = std::make_shared<FakeApplications>();
    table->paths = {{10, "/Applications/Editor.app/Contents/MacOS/Editor"},
                    {11, "/Applications/Editor.app/Contents/MacOS/Editor Helper"},
                    {12, "/usr/bin/top"},
                    {13, "/opt/Unnamed.app/Contents/MacOS/Unnamed"},
                    {14, "/opt/Unnamed.app/Contents/MacOS/Other"}};
    applications->identifiers = {{"/Applications/Editor.app", "com.example.Editor"}};
    applications->applications = {{13, {"/ignored.app", "com.example.Registered", std::nullopt}},
                                  {15, {"/Applications/Gone.app", std::nullopt, std::nullopt}}};
    const RunningProcessMetadataResolver resolver(table, applications, applications);

    using M = RunningProcessMetadata;
    EXPECT_EQ(resolver.resolve(10),
              (M{table->paths[10], "/Applications/Editor.app", "com.example.Editor"}));
    EXPECT_EQ(resolver.resolve(11)->bundleID, "com.example.Editor");
    EXPECT_EQ(applications->reads, 1);  // one read per bundle path
    EXPECT_EQ(resolver.resolve(12), (M{"/usr/bin/top", std::nullopt, std::nullopt}));
    // Bundle without identifier: the application registry's identifier, the path's bundle.
    EXPECT_EQ(resolver.resolve(13),
              (M{table->paths[13], "/opt/Unnamed.app", "com.example.Registered"}));
    EXPECT_EQ(resolver.resolve(14), (M{table->paths[14], "/opt/Unnamed.app", std::nullopt}));
    EXPECT_EQ(applications->reads, 2);  // the absent identifier is cached as well
    // No executable path: the application's bundle, whose identifier is read from disk.
    EXPECT_EQ(resolver.resolve(15), (M{std::nullopt, "/Applications/Gone.app", std::nullopt}));
    EXPECT_EQ(resolver.resolve(16), std::nullopt);
}

class MetadataCacheTests : public ::testing::Test {
  protected:
    RunningProcessMetadataCache cache;
    int calls = 0;
    std::optional<RunningProcessMetadata> answer = RunningProcessMetadata{"/bin/x", {}, {}};

    std::shared_ptr<const RunningProcessMetadata> resolveAt(int32_t pid, double seconds) {
        return cache.resolve(pid, Date{seconds}, [this](int32_t) {
            ++calls;
            return answer;
        });
    }
};

TEST_F(MetadataCacheTests, HitsLiveFor120SecondsMissesFor15) {
    const std::tuple<int32_t, double, bool, int> steps[] = {
        {1, 1000, true, 1},  {1, 1120, true, 1},  {1, 1120.001, true, 2},
        {2, 1000, false, 3}, {2, 1015, false, 3}, {2, 1015.5, false, 4}};
    for (const auto& [pid, seconds, found, expectedCalls] : steps) {
        if (!found) answer = std::nullopt;
        EXPECT_EQ(resolveAt(pid, seconds) != nullptr, found) << seconds;
        EXPECT_EQ(calls, expectedCalls) << seconds;
    }
}

TEST_F(MetadataCacheTests, EverySixtyFourthStorePrunesOldEntriesMissesIncluded) {
    answer = std::nullopt;
    resolveAt(1, 0);
    answer = RunningProcessMetadata{"/bin/x", {}, {}};
    resolveAt(2, 0);
    resolveAt(3, 80);  // exactly 120 s old at the pruning store: kept
    for (int32_t pid = 4; pid <= 63; ++pid)
        resolveAt(pid, 200);
    EXPECT_EQ(cache.entryCount(), 63u);
    resolveAt(64, 200);
    EXPECT_EQ(cache.entryCount(), 62u);
}

TEST_F(MetadataCacheTests, OutgrowingTheBoundDropsTheOldest) {
    // 4097 young entries, the first resolved longest ago; stores 64, 128, ... prune nothing old.
    for (int32_t pid = 1; pid <= 4097; ++pid)
        resolveAt(pid, 100 + pid * 0.001);
    EXPECT_EQ(cache.entryCount(), 4096u);
    calls = 0;
    resolveAt(2, 104.2);
    EXPECT_EQ(calls, 0);
    resolveAt(1, 104.2);
    EXPECT_EQ(calls, 1);
}

TEST_F(MetadataCacheTests, ResolveAllAnswersInOrderAndLooksUpOnlyWhatIsNotFresh) {
    answer = std::nullopt;
    resolveAt(2, 1000);  // a miss, stale after 15 s
    answer = RunningProcessMetadata{"/bin/x", {}, {}};
    resolveAt(1, 1000);  // a hit, fresh for 120 s
    std::vector<int32_t> looked;
    const auto lookup = [&](int32_t pid) -> std::optional<RunningProcessMetadata> {
        looked.push_back(pid);
        if (pid == 4) return std::nullopt;
        return RunningProcessMetadata{"/bin/" + std::to_string(pid), {}, {}};
    };
    const auto results = cache.resolveAll({3, 1, 2, 4, 3}, Date{1020}, lookup);
    EXPECT_EQ(looked, (std::vector<int32_t>{3, 2, 4}));  // the repeated 3 once
    ASSERT_EQ(results.size(), 5u);
    EXPECT_EQ(results[4], results[0]);
    EXPECT_EQ(results[0]->executablePath, "/bin/3");
    EXPECT_EQ(results[1]->executablePath, "/bin/x");
    EXPECT_EQ(results[2]->executablePath, "/bin/2");
    EXPECT_EQ(results[3], nullptr);
    // What was looked up is stored, the miss included.
    looked.clear();
    cache.resolveAll({4, 3, 2}, Date{1021}, lookup);
    EXPECT_TRUE(looked.empty());
}

}  // namespace
}  // namespace joulix
