#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/ProcessTerminationTargetResolver.h"
#include "tests/SharedModels/ProcessGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

using namespace joulix;
namespace Service = ProcessAttributionPresentationService;

namespace {

const std::string fooMain = "/Applications/Foo.app/Contents/MacOS/Foo";

VisibleProcessGroupingResult group(std::vector<ProcessDrain> processes,
                                   const std::unordered_map<std::string, double>& whByName = {}) {
    const DrainSnapshot snapshot{.processes = std::move(processes)};
    return Service::groupVisibleProcesses(
        snapshot, Service::makePresentationContext(std::vector{snapshot}), whByName);
}

}  // namespace

TEST(ProcessGrouping, MembersAreSummedOntoOneRowPerGroupName) {
    // clang-format off
    const auto result = group(
        {{.pid = 11, .name = "/usr/bin/foo", .canonicalName = "Foo", .drainW = 1,
          .energyShare = 0.1, .sourceFlags = {"ps"}},
         {.pid = 12, .parentPID = 11, .name = fooMain, .drainW = 2, .energyShare = 0.2,
          .sourceFlags = {"powermetrics", "ps"}},
         {.pid = 13, .name = "foo-helper", .canonicalName = "Foo", .drainW = 0.5},
         {.pid = 14, .parentPID = 3, .name = "/opt/tool", .drainW = 0.5}},
        {{"Foo", 7.5}});
    // clang-format on
    ASSERT_EQ(result.processes.size(), 2u);
    const auto& row = result.processes[0];
    EXPECT_EQ(row.pid, Service::stableSyntheticPID("Foo"));
    EXPECT_EQ(row.parentPID, std::nullopt);
    EXPECT_EQ(row.name, "/Applications/Foo.app");
    EXPECT_EQ(row.displayName, "Foo");
    EXPECT_EQ(row.canonicalName, "Foo");
    EXPECT_DOUBLE_EQ(row.drainW, 3.5);
    EXPECT_DOUBLE_EQ(row.energyShare, 0.3);
    EXPECT_EQ(row.sourceFlags, (std::vector<std::string>{"powermetrics", "ps"}));
    EXPECT_EQ(result.processWhByID.at(row.id()), 7.5);
    EXPECT_EQ(result.subprocessesByID.at(row.id()).size(), 3u);

    // A group of one shows its own process, pid and parent included, without subprocesses.
    const auto& single = result.processes[1];
    EXPECT_EQ(single.pid, 14);
    EXPECT_EQ(single.parentPID, 3);
    EXPECT_EQ(single.name, "/opt/tool");
    EXPECT_EQ(result.processWhByID.at(single.id()), 0);
    EXPECT_TRUE(result.subprocessesByID.at(single.id()).empty());
}

TEST(ProcessGrouping, TheVisibleSourceIsTheMemberNamedLikeTheGroup) {
    struct Case {
        std::vector<std::pair<int64_t, std::string>> members;  // pid, name; all grouped "Foo"
        int64_t sourcePID;
        std::string rowName;
    };
    const Case cases[] = {
        {{{5, "bar"}, {30, "foo"}}, 30, "foo"},
        {{{30, "foo"}, {5, "bar"}}, 30, "foo"},
        {{{30, "bar"}, {5, "baz"}}, 5, "Foo"},
        {{{30, "bar"}, {5, "/opt/bar"}}, 5, "Foo"},
        {{{30, "/opt/foo"}, {5, "/opt/x/Foo"}}, 5, "/opt/x/Foo"},
    };
    for (const auto& c : cases) {
        std::vector<ProcessDrain> processes;
        for (const auto& [pid, name] : c.members)
            processes.push_back({.pid = pid, .name = name, .canonicalName = "Foo"});
        processes.push_back({.pid = 1, .name = "other", .canonicalName = "Other"});
        const auto result = group(processes);
        const auto& row =
            result.processes[0].displayName == "Foo" ? result.processes[0] : result.processes[1];
        EXPECT_EQ(row.name, c.rowName) << c.sourcePID;
        const auto& members = result.subprocessesByID.at(row.id());
        EXPECT_EQ(members.size(), c.members.size());
        // The row is a copy of its source apart from the group's fields.
        EXPECT_TRUE(std::any_of(members.begin(), members.end(), [&](const auto& m) {
            return m.pid == c.sourcePID && m.bundleID == row.bundleID;
        }));
    }
}

TEST(ProcessGrouping, RowsAreOrderedByWattsThenName) {
    const auto result = group({
        {.pid = 1, .name = "b", .drainW = 1},
        {.pid = 2, .name = "nan", .drainW = NAN},
        {.pid = 3, .name = "a", .drainW = 1},
        {.pid = 4, .name = "c", .drainW = 2},
    });
    std::vector<std::string> names;
    for (const auto& row : result.processes)
        names.push_back(*row.displayName);
    EXPECT_EQ(names, (std::vector<std::string>{"c", "a", "b", "nan"}));
}

TEST(ProcessGrouping, AnnotationKeepsStoredValuesAndGivesHelpersTheirHostsKey) {
    const std::vector<ProcessDrain> processes{
        {.pid = 100, .parentPID = 1, .name = fooMain, .bundleID = "Com.Foo"},
        {.pid = 101, .parentPID = 100, .name = "/usr/libexec/xpc"},
        {.pid = 102,
         .parentPID = 100,
         .name = "/usr/bin/stored",
         .canonicalName = " Custom ",
         .processGroupKey = "key:kept"},
        {.pid = 103, .name = "node"},
    };
    const DrainSnapshot snapshot{.processes = processes};
    const auto context = Service::makePresentationContext(std::vector{snapshot});
    // A context built from other records leaves the stored canonical name in place.
    DrainSnapshot unknown = snapshot;
    unknown.processes[2].pid = 202;
    const auto annotated = Service::annotateSnapshot(unknown, context);
    const auto fromRecent = Service::annotateSnapshot(snapshot, std::vector{snapshot});
    EXPECT_EQ(fromRecent, Service::annotateSnapshot(snapshot, context));

    const auto& a = fromRecent.processes;
    EXPECT_EQ(a[0].processGroupKey, "bundle:com.foo");
    EXPECT_EQ(a[1].processGroupKey, "bundle:com.foo");
    EXPECT_EQ(a[1].canonicalName, "Foo");
    EXPECT_EQ(a[1].displayName, "xpc");
    EXPECT_EQ(a[2].processGroupKey, "key:kept");
    EXPECT_EQ(a[3].processGroupKey, "name:node");
    EXPECT_EQ(annotated.processes[2].canonicalName, "Custom");
    EXPECT_EQ(annotated.processes[2].processGroupKey, "key:kept");
    EXPECT_EQ(annotated.processes[0].drainW, processes[0].drainW);

    // Grouping keeps the stored canonical name even though the context names it otherwise.
    const auto grouped = Service::groupVisibleProcesses(annotated, context, {});
    EXPECT_TRUE(std::any_of(grouped.processes.begin(), grouped.processes.end(),
                            [](const auto& row) { return row.displayName == "Custom"; }));
}

TEST(ProcessGrouping, WattsByDisplayNameAndUniqueProcessesOfAWindow) {
    const DrainSnapshot first{
        .processes = {{.pid = 1, .name = "/A/X.app/Contents/MacOS/tool", .drainW = 1},
                      {.pid = 2, .name = "tool", .drainW = 2}},
        .hidden = {{HiddenDrainKind::dockerContainer, "web", 1}}};
    const DrainSnapshot second{
        .processes = {{.pid = 2, .name = "tool", .drainW = 4},
                      {.pid = 3, .name = "node", .canonicalName = "Node", .drainW = 1}},
        .hidden = {{HiddenDrainKind::dockerContainer, "web", 3},
                   {HiddenDrainKind::launchdService, "agent", 1}}};
    const std::vector window{first, second};
    const auto context = Service::makePresentationContext(window);
    EXPECT_EQ(Service::processWattsByDisplayName(first, context),
              (std::unordered_map<std::string, double>{{"X", 3}}));
    std::unordered_map<std::string, std::string> cache;
    const auto aliases = Service::buildExecutableAliasMap(std::span(window), cache);
    EXPECT_EQ(aliases, (std::unordered_map<std::string, std::string>{{"tool", "X"}}));
    EXPECT_EQ(cache.at("1-/A/X.app/Contents/MacOS/tool"), "X");
    EXPECT_EQ(Service::processWattsByDisplayName(second, aliases, cache),
              (std::unordered_map<std::string, double>{{"X", 4}, {"Node", 1}}));

    EXPECT_EQ(Service::uniqueLatestProcesses(window).size(), 3u);
    const auto unique = Service::makeUniqueProcesses(
        window, {{"1-/A/X.app/Contents/MacOS/tool", 1}, {"2-tool", 2}, {"3-node", 0.5}},
        {{"docker_container-web", 2}}, 2, std::nullopt, context);
    ASSERT_EQ(unique.processes.size(), 2u);
    EXPECT_EQ(unique.processes[0].displayName, "X");
    EXPECT_DOUBLE_EQ(unique.processes[0].drainW, 1.5);
    EXPECT_EQ(unique.processWhByID.at(unique.processes[0].id()), 3);
    EXPECT_EQ(unique.processes[1].displayName, "Node");
    ASSERT_EQ(unique.hidden.size(), 2u);
    EXPECT_EQ(unique.hidden[0].identifier, "web");
    EXPECT_DOUBLE_EQ(unique.hidden[0].drainW, 1);
    EXPECT_DOUBLE_EQ(unique.hidden[1].drainW, 0);

    const auto fallback =
        Service::makeUniqueProcesses({}, {}, {}, 0, second, ProcessPresentationContext{});
    ASSERT_EQ(fallback.processes.size(), 2u);
    EXPECT_DOUBLE_EQ(fallback.processes[0].drainW, 4);
}

TEST(ProcessTermination, TargetsRunFromTheMainExecutableToHelpersThenByPID) {
    const ProcessDrain app{
        .pid = -5, .name = "/Applications/Foo.app", .bundleID = "com.foo", .displayName = "Foo"};
    const ProcessDrain main{.pid = 10, .parentPID = 1, .name = fooMain, .bundleID = "com.foo"};
    const ProcessDrain helper{.pid = 5,
                              .parentPID = 10,
                              .name = "/Applications/Foo.app/Contents/Frameworks/H.app/"
                                      "Contents/MacOS/H",
                              .bundleID = "COM.FOO"};
    struct Case {
        ProcessDrain group;
        std::vector<ProcessDrain> subprocesses;
        std::vector<int32_t> targets;
    };
    const Case cases[] = {
        {{.pid = 0}, {}, {}},
        {{.pid = 42}, {}, {42}},
        {{.pid = 42}, {{.pid = 0}, {.pid = -3}}, {42}},
        {{.pid = 4'000'000'000}, {}, {}},
        {app, {helper, main}, {10, 5}},
        {app, {{.pid = 3, .name = "other"}, helper}, {5, 3}},
        {{.pid = 1, .name = "w"}, {{.pid = 9, .name = "w"}, {.pid = 3, .name = "w"}}, {3, 9}},
        {{.pid = 1, .name = "w"}, {{.pid = 9, .name = "w"}, {.pid = 9, .name = "w"}}, {9}},
        {{.pid = 1, .name = "x"},
         {{.pid = 2, .parentPID = 7, .name = "x"}, {.pid = 7, .parentPID = 1, .name = "x"}},
         {7, 2}},
        {{.pid = 1, .name = "x"}, {{.pid = 4'000'000'000, .name = "x"}, {.pid = 8}}, {8}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProcessTerminationTargetResolver::targetPIDs(c.group, c.subprocesses), c.targets)
            << c.group.pid << " " << c.subprocesses.size();
    }
}

TEST(ProcessGrouping, GeneratedSnapshotsKeepTheirSumsAndEveryProcessOnce) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const auto snapshots = joulix::testing::generatedSnapshots(seed, 4, 30);
        const auto context = Service::makePresentationContext(snapshots);
        for (const auto& raw : snapshots) {
            const auto snapshot = Service::annotateSnapshot(raw, context);
            const auto result = Service::groupVisibleProcesses(snapshot, context, {});
            double inW = 0, inShare = 0, outW = 0, outShare = 0;
            for (const auto& p : snapshot.processes)
                inW += p.drainW, inShare += p.energyShare;
            std::unordered_multiset<std::string> seen;
            for (const auto& row : result.processes) {
                outW += row.drainW;
                outShare += row.energyShare;
                const auto& members = result.subprocessesByID.at(row.id());
                for (const auto& member : members)
                    seen.insert(member.id());
                if (members.size() >= 2) {  // a synthetic pid, beside no real one
                    EXPECT_GE(row.pid, -2'000'999'999);
                    EXPECT_LE(row.pid, -1'000'000);
                }
                if (members.empty()) seen.insert(row.id());
                const auto targets = ProcessTerminationTargetResolver::targetPIDs(row, members);
                EXPECT_EQ(std::unordered_set<int32_t>(targets.begin(), targets.end()).size(),
                          targets.size());
                for (const auto pid : targets)
                    EXPECT_GE(pid, 1);
            }
            EXPECT_NEAR(outW, inW, 1e-9) << seed;
            EXPECT_NEAR(outShare, inShare, 1e-9) << seed;
            std::unordered_multiset<std::string> expected;
            for (const auto& p : snapshot.processes)
                expected.insert(p.id());
            EXPECT_EQ(seen, expected) << seed;
        }
    }
}
