#include "SharedModels/AppleProcessDetector.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "tests/SharedModels/ProcessGenerator.h"

#include <gtest/gtest.h>

#include <stop_token>

using namespace joulix;
namespace Service = ProcessAttributionPresentationService;

namespace {

const std::string fooMain = "/Applications/Foo.app/Contents/MacOS/Foo";

DrainSnapshot snapshotOf(std::vector<ProcessDrain> processes) {
    return DrainSnapshot{.processes = std::move(processes)};
}

std::string canonicalName(const ProcessPresentationContext& context, int64_t pid,
                          const std::string& name) {
    const auto found = context.canonicalNameByIdentity.find({pid, name});
    return found == context.canonicalNameByIdentity.end() ? "<none>" : found->second;
}

}  // namespace

TEST(ProcessNaming, DisplayNameSubtitleAndScore) {
    struct Case {
        ProcessDrain process;
        std::string displayName;
        std::optional<std::string> subtitle;
        int64_t score;
    };
    // clang-format off
    const Case cases[] = {
        {{.pid = 5, .name = "/Applications/Foo.app/Contents/Helpers/Bar.app/Contents/MacOS/Bar"},
         "Foo", "/Applications/Foo.app", 31},
        {{.pid = 5, .name = "/Applications/My.Thing.app/Contents/MacOS/x", .bundleID = "a.b"},
         "My.Thing", "/Applications/My.Thing.app", 34},
        {{.pid = 0, .name = "(kernel_task)"}, "kernel_task", "(kernel_task)", 0},
        {{.pid = 9, .name = "( )"}, "( )", std::nullopt, 1},
        {{.pid = 9, .name = "com.acme.sync"}, "sync", "com.acme.sync", 1},
        {{.pid = 9, .name = "COM.Acme.Sync "}, "Sync", "COM.Acme.Sync", 1},
        {{.pid = 9, .name = "com.acme"}, "com.acme", std::nullopt, 1},
        {{.pid = 9, .name = "uk.acme.sync"}, "uk.acme.sync", std::nullopt, 1},
        {{.pid = 9, .name = "com.acme.my sync"}, "com.acme.my sync", std::nullopt, 1},
        {{.pid = 3, .name = "/usr/bin/python3", .displayName = " \n "}, "python3",
         "/usr/bin/python3", 11},
        {{.pid = 3, .name = "/usr/bin/python3", .displayName = " Kept "}, " Kept ",
         "/usr/bin/python3", 11},
        {{.pid = 3, .name = "  node ", .bundleID = "org.nodejs"}, "node", "org.nodejs", 4},
        {{.pid = 3, .name = "  node ", .bundleID = ""}, "node", std::nullopt, 1},
        {{.pid = 3, .name = "/"}, "", "/", 11},
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(c.process.processDisplayName(), c.displayName) << c.process.name;
        EXPECT_EQ(c.process.processSubtitleText(), c.subtitle) << c.process.name;
        EXPECT_EQ(c.process.processPresentationScore(), c.score) << c.process.name;
        EXPECT_EQ(c.process.processExecutablePath().has_value(), c.process.name.starts_with('/'));
    }
}

TEST(ProcessNaming, AppleSystemProcessDetection) {
    struct Case {
        std::string name;
        std::optional<std::string> bundleID;
        std::string displayName;
        bool apple;
    };
    const Case cases[] = {
        {"/usr/libexec/foo", std::nullopt, "foo", true},
        {"/USR/BIN/tool", std::nullopt, "tool", true},
        {"/Library/Apple/System/x", std::nullopt, "x", true},
        {"WindowServer", std::nullopt, "WindowServer", true},
        {"/opt/x/mdworker shared", std::nullopt, "x", true},
        {"natural language service", std::nullopt, "x", false},
        {"x", "COM.APPLE.Safari", "x", true},
        {"/opt/com.apple.thing/run", std::nullopt, "run", true},
        {"/opt/x", std::nullopt, "com.apple.x", true},
        {"/opt/x", std::nullopt, "Finder", true},
        {fooMain, std::nullopt, "Foo", false},
        {fooMain, "com.apple", "Foo", false},
        {"/Users/me/usr/bin/tool", std::nullopt, "tool", false},
        {"com.acme.sync", "org.acme", "sync", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppleProcessDetector::isAppleSystemProcess(c.name, c.bundleID, c.displayName),
                  c.apple)
            << c.name;
    }
    EXPECT_TRUE((ProcessDrain{.name = "/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock"})
                    .isAppleSystemProcess());
    EXPECT_TRUE(std::is_sorted(AppleProcessDetector::systemProcessNames.begin(),
                               AppleProcessDetector::systemProcessNames.end()));
}

TEST(ProcessNaming, StoredValuesGroupKeysLeavesAndSyntheticPIDs) {
    struct KeyCase {
        ProcessDrain process;
        std::string canonicalName, key;
    };
    const KeyCase keys[] = {
        {{.name = "/usr/bin/python3"}, "Python", "exec:/usr/bin/python3"},
        {{.name = "node"}, "Node", "name:node"},
        {{.name = "node"}, " \t", "raw:node"},
        {{.name = fooMain, .bundleID = " Com.Foo.App "}, "Foo", "bundle:com.foo.app"},
        {{.name = fooMain, .bundleID = " "}, "Foo", "app:/applications/foo.app"},
        {{.name = "/Applications/\u00c9T\u00c9.app/x"}, "", "app:/applications/\u00e9t\u00e9.app"},
    };
    for (const auto& c : keys)
        EXPECT_EQ(Service::processGroupKeySource(c.process, c.canonicalName), c.key);

    const ProcessDrain stored{.displayName = " A ", .canonicalName = " ", .processGroupKey = "k"};
    EXPECT_EQ(Service::storedDisplayName(stored), "A");
    EXPECT_EQ(Service::storedCanonicalName(stored), std::nullopt);
    EXPECT_EQ(Service::storedProcessGroupKey(stored), "k");
    EXPECT_EQ(Service::storedDisplayName(ProcessDrain{}), std::nullopt);

    const std::pair<ProcessDrain, std::string> leaves[] = {
        {{.name = " /usr/bin/x "}, "x"}, {{.name = "(kernel_task)"}, "kernel_task"},
        {{.name = "( a )"}, " a "},      {{.name = " ", .displayName = "Shown"}, "Shown"},
        {{.name = "plain"}, "plain"},
    };
    for (const auto& [process, leaf] : leaves)
        EXPECT_EQ(Service::executableLeaf(process), leaf);

    EXPECT_EQ(Service::stableSyntheticPID(""), -1'935'665'603);
    EXPECT_EQ(Service::stableSyntheticPID("abc"), -1'746'875'709);
}

TEST(PresentationContext, HelpersTakeTheirHostApplicationsNameWithinEightSteps) {
    // An application (pid 100) and chains of Apple-side helpers below it.
    std::vector<ProcessDrain> processes{{.pid = 100, .parentPID = 1, .name = fooMain}};
    const auto chain = [&](int64_t first, int length) {
        int64_t parent = 100;
        for (int64_t pid = first; pid < first + length; ++pid) {
            processes.push_back({.pid = pid, .parentPID = parent, .name = "/usr/libexec/xpc"});
            parent = pid;
        }
        return parent;  // the deepest helper
    };
    const auto eightAway = chain(200, 8);
    const auto nineAway = chain(300, 9);
    processes.push_back({.pid = 400, .parentPID = 401, .name = "worker"});
    processes.push_back({.pid = 401, .parentPID = 400, .name = "worker"});
    processes.push_back({.pid = 402, .parentPID = 999, .name = "orphan"});
    processes.push_back({.pid = 403, .parentPID = 100, .name = "tool", .bundleID = "org.x"});

    const auto context = Service::makePresentationContext(std::vector{snapshotOf(processes)});
    EXPECT_EQ(canonicalName(context, 200, "/usr/libexec/xpc"), "Foo");
    EXPECT_EQ(canonicalName(context, eightAway, "/usr/libexec/xpc"), "Foo");
    EXPECT_EQ(canonicalName(context, nineAway, "/usr/libexec/xpc"), "xpc");
    EXPECT_EQ(canonicalName(context, 400, "worker"), "worker");
    EXPECT_EQ(canonicalName(context, 402, "orphan"), "orphan");
    EXPECT_EQ(canonicalName(context, 403, "tool"), "tool");  // third party: its own name
    EXPECT_EQ(context.displayNameByProcessID.at("200-/usr/libexec/xpc"), "xpc");
    EXPECT_EQ(context.canonicalNameByProcessID.at("201-/usr/libexec/xpc"), "Foo");

    // The process-based form walks the same way and caches the host's display name.
    std::unordered_map<std::string, std::string> cache;
    const auto& byPID = context.latestProcessByPID;
    EXPECT_EQ(Service::hostApplicationDisplayName(byPID.at(eightAway), {}, byPID, cache), "Foo");
    EXPECT_EQ(cache.at("100-" + fooMain), "Foo");
    EXPECT_EQ(Service::hostApplicationDisplayName(byPID.at(nineAway), {}, byPID, cache),
              std::nullopt);
    EXPECT_EQ(Service::hostApplicationDisplayName(byPID.at(201), {{100, "Pref"}}, byPID, cache),
              "Pref");
    EXPECT_EQ(Service::hostApplicationProcess(byPID.at(400), byPID), nullptr);
}

TEST(PresentationContext, AliasesAndPreferredNamesPreferScoreThenFirstSeen) {
    const ProcessDrain x{.pid = 1, .name = "/A/X.app/Contents/MacOS/tool"};
    const ProcessDrain y{.pid = 2, .name = "/B/Y.app/Contents/MacOS/tool"};
    const ProcessDrain yWithBundle{.pid = 2, .name = y.name, .bundleID = "org.y"};
    const ProcessDrain plain{.pid = 3, .name = "tool"};
    struct Case {
        std::vector<DrainSnapshot> snapshots;
        std::string alias;
        int64_t score;
    };
    const Case cases[] = {
        {{snapshotOf({x}), snapshotOf({y, plain})}, "X", 31},
        {{snapshotOf({y}), snapshotOf({x, plain})}, "Y", 31},
        {{snapshotOf({x, yWithBundle, plain})}, "Y", 34},
    };
    for (const auto& c : cases) {
        const auto context = Service::makePresentationContext(c.snapshots);
        EXPECT_EQ(context.aliasByExecutableLeaf.at("tool"), c.alias);
        EXPECT_EQ(context.aliasScoreByExecutableLeaf.at("tool"), c.score);
        EXPECT_EQ(canonicalName(context, 3, "tool"), c.alias);
    }

    // Two records of one pid: the better-scoring one names both.
    const auto samePID = Service::makePresentationContext(std::vector{
        snapshotOf({{.pid = 7, .name = "tool"}}), snapshotOf({{.pid = 7, .name = "/Z.app/z"}})});
    EXPECT_EQ(canonicalName(samePID, 7, "tool"), "Z");
    EXPECT_EQ(samePID.displayNameByIdentity.at({7, "tool"}), "tool");
    EXPECT_EQ(samePID.latestProcessByPID.at(7).name, "/Z.app/z");
}

TEST(PresentationContext, SameInputGivesTheSameContextHoweverItIsBuilt) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        const auto snapshots = joulix::testing::generatedSnapshots(seed, 6, 25);
        const auto whole = Service::makePresentationContext(snapshots);
        EXPECT_EQ(Service::makePresentationContext(snapshots), whole);
        EXPECT_EQ(Service::makeLatestOnlyPresentationContext(snapshots), whole);
        const std::span<const DrainSnapshot> all(snapshots);
        EXPECT_EQ(Service::appendingPresentationContext(
                      Service::makePresentationContext(all.first(2)), all.subspan(2)),
                  whole)
            << seed;
        for (const auto& [identity, name] : whole.canonicalNameByIdentity) {
            EXPECT_EQ(
                whole.canonicalNameByProcessID.at(whole.latestProcessByIdentity.at(identity).id()),
                name);
        }
    }
}

TEST(PresentationContext, StopsBeforeTheNextSnapshotWhenCancelled) {
    std::stop_source source;
    source.request_stop();
    const auto snapshots = joulix::testing::generatedSnapshots(3, 2, 5);
    EXPECT_EQ(Service::makePresentationContext(snapshots, source.get_token()),
              ProcessPresentationContext{});
    const auto first = Service::makePresentationContext(std::span(snapshots).first(1));
    EXPECT_EQ(Service::appendingPresentationContext(first, std::span(snapshots).subspan(1),
                                                    source.get_token()),
              first);
}
