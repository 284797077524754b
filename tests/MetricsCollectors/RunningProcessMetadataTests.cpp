#include "MetricsCollectors/RunningProcessMetadataCache.h"
#include "MetricsCollectors/RunningProcessMetadataResolver.h"

#include <gtest/gtest.h>

#include <map>

namespace joulix {
namespace {

struct FakeProcessTable final : ProcessTable {
    std::map<int32_t, std::string> paths;
    std::vector<int32_t> allPIDs() const override { return {}; }
    std::optional<std::string> executablePath(int32_t pid) const override {
        const auto found = paths.find(pid);
        return found == paths.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<ProcessUsage> usage(int32_t) const override { return std::nullopt; }
};

struct FakeApplications final : RunningApplicationRegistry {
    std::map<int32_t, RunningApplication> applications;
    std::optional<RunningApplication> runningApplication(int32_t pid) const override {
        const auto found = applications.find(pid);
        return found == applications.end() ? std::nullopt : std::optional(found->second);
    }
};

struct FakeBundles final : BundleInfoReader {
    std::map<std::string, std::string> identifiers;
    mutable int reads = 0;
    std::optional<std::string> bundleIdentifier(const std::string& path) const override {
        ++reads;
        const auto found = identifiers.find(path);
        return found == identifiers.end() ? std::nullopt : std::optional(found->second);
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
    auto table = std::make_shared<FakeProcessTable>();
    auto applications = std::make_shared<FakeApplications>();
    auto bundles = std::make_shared<FakeBundles>();
    table->paths = {{10, "/Applications/Editor.app/Contents/MacOS/Editor"},
                    {11, "/Applications/Editor.app/Contents/MacOS/Editor Helper"},
                    {12, "/usr/bin/top"},
                    {13, "/opt/Unnamed.app/Contents/MacOS/Unnamed"},
                    {14, "/opt/Unnamed.app/Contents/MacOS/Other"}};
    bundles->identifiers = {{"/Applications/Editor.app", "com.example.Editor"}};
    applications->applications = {{13, {"/ignored.app", "com.example.Registered"}},
                                  {15, {"/Applications/Gone.app", std::nullopt}}};
    const RunningProcessMetadataResolver resolver(table, applications, bundles);

    using M = RunningProcessMetadata;
    EXPECT_EQ(resolver.resolve(10),
              (M{table->paths[10], "/Applications/Editor.app", "com.example.Editor"}));
    EXPECT_EQ(resolver.resolve(11)->bundleID, "com.example.Editor");
    EXPECT_EQ(bundles->reads, 1);  // one read per bundle path
    EXPECT_EQ(resolver.resolve(12), (M{"/usr/bin/top", std::nullopt, std::nullopt}));
    // Bundle without identifier: the application registry's identifier, the path's bundle.
    EXPECT_EQ(resolver.resolve(13),
              (M{table->paths[13], "/opt/Unnamed.app", "com.example.Registered"}));
    EXPECT_EQ(resolver.resolve(14), (M{table->paths[14], "/opt/Unnamed.app", std::nullopt}));
    EXPECT_EQ(bundles->reads, 2);  // the absent identifier is cached as well
    // No executable path: the application's bundle, whose identifier is read from disk.
    EXPECT_EQ(resolver.resolve(15), (M{std::nullopt, "/Applications/Gone.app", std::nullopt}));
    EXPECT_EQ(resolver.resolve(16), std::nullopt);
}

class MetadataCacheTests : public ::testing::Test {
  protected:
    RunningProcessMetadataCache cache;
    int calls = 0;
    std::optional<RunningProcessMetadata> answer = RunningProcessMetadata{"/bin/x", {}, {}};

    std::optional<RunningProcessMetadata> resolveAt(int32_t pid, double seconds) {
        return cache.resolve(pid, Date{seconds}, [this](int32_t) {
            ++calls;
            return answer;
        });
    }
};

TEST_F(MetadataCacheTests, HitsLiveFor120SecondsMissesFor15) {
    resolveAt(1, 1000);
    resolveAt(1, 1120);
    EXPECT_EQ(calls, 1);
    resolveAt(1, 1120.001);
    EXPECT_EQ(calls, 2);

    answer = std::nullopt;
    EXPECT_EQ(resolveAt(2, 1000), std::nullopt);
    resolveAt(2, 1015);
    EXPECT_EQ(calls, 3);
    resolveAt(2, 1015.5);
    EXPECT_EQ(calls, 4);
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

}  // namespace
}  // namespace joulix
