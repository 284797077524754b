#include "MetricsCollectors/ProcessCPUReader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace joulix {
namespace {

class ProcessCPUReaderTests : public ::testing::Test {
  protected:
    ProcessCPUReaderTests() {
        reader.metadataCache = &cache;
        reader.metadataResolver = [this](int32_t pid) { return testing::lookup(metadata, pid); };
        reader.responsiblePIDResolver = [](int64_t pid) { return pid >= 500 ? int64_t{500} : pid; };
        reader.residentMemoryResolver = [](int64_t pid) -> std::optional<uint64_t> {
            return pid == 502 ? std::nullopt : std::optional<uint64_t>(1000);
        };
    }

    testing::Shell shell = testing::scriptedShell();
    ProcessCPUReader reader{shell};
    RunningProcessMetadataCache cache;
    std::map<int32_t, RunningProcessMetadata> metadata;
    void ps(const ShellResult& answer) { shell->answer("/bin/ps", answer); }
};

TEST_F(ProcessCPUReaderTests, IntervalsFromTheFirstAndLaterCalls) {
    ps({0, "  42   1  50.0 worker\n", ""});
    const auto first = reader.sample(std::nullopt, Date{1000});
    EXPECT_EQ(shell->calls().at(0).arguments,
              (std::vector<std::string>{"-Aceo", "pid=,ppid=,pcpu=,comm=", "-r"}));
    EXPECT_DOUBLE_EQ(first.intervalSeconds, 1);
    EXPECT_DOUBLE_EQ(first.rawProcesses.at(0).samplingIntervalMs, 1000);
    EXPECT_DOUBLE_EQ(reader.sample(std::nullopt, Date{1000.1}).intervalSeconds, 0.25);
    // 50 % over 2 seconds is one second of CPU time.
    const auto later = reader.sample(std::nullopt, Date{1002.1});
    EXPECT_EQ(later.rawProcesses.at(0).cpuTimeDeltaNs, 1'000'000'000u);
    EXPECT_EQ(later.groups.at(0).representativeProcess.cpuTimeDeltaNs, 1'000'000'000u);

    // A failing ps still advances the clock and yields an empty readout; the first failure is
    // logged, the later ones are not.
    std::optional<testing::LogCapture> log(std::in_place);
    shell->script("/bin/ps", [](const auto&) -> ShellResult { throw Error("launch failed"); });
    EXPECT_EQ(reader.sample(std::nullopt, Date{1003.1}), (ProcessCPUReadout{{}, {}, 1.0}));
    EXPECT_TRUE(log->contains("[INFO] [ProcessSampler] CPU reader's ps run failed, its readouts "
                              "stay empty: launch failed"));
    log.emplace();
    ps({1, "  42   1  50.0 worker\n", ""});
    EXPECT_EQ(reader.sample(std::nullopt, Date{1004.1}), (ProcessCPUReadout{{}, {}, 1.0}));
    EXPECT_FALSE(log->contains("CPU reader"));
}

TEST_F(ProcessCPUReaderTests, GroupsByResponsibleProcess) {
    ps({0,
        "501 500 20.0 Helper\n"
        "502 501 30.0 Renderer\n"
        " 10   1 50.0 mds\n"
        " 11   0 -3.0 launchd\n"
        "500   1 0.0 Editor\n",
        ""});
    const auto readout = reader.sample(std::nullopt, Date{0});
    ASSERT_EQ(readout.rawProcesses.size(), 5u);
    EXPECT_EQ(readout.rawProcesses[3].cpuPercent, 0);  // negative raised to 0
    EXPECT_EQ(readout.rawProcesses[3].parentPID, std::nullopt);
    EXPECT_EQ(readout.rawProcesses[1].residentMemoryBytes, 0u);

    // Equal totals (50 and 50): ascending responsible pid.
    ASSERT_EQ(readout.groups.size(), 3u);
    EXPECT_EQ(readout.groups[0].responsiblePID, 10);
    EXPECT_EQ(readout.groups[1].responsiblePID, 500);
    const auto& editor = readout.groups[1];
    EXPECT_EQ(editor.memberProcesses.size(), 3u);
    EXPECT_EQ(editor.memberProcesses[0].pid, 502);
    EXPECT_EQ(editor.memberProcesses[2].pid, 500);
    // No metadata anywhere: the busiest member with its short command name, the group's sums.
    EXPECT_EQ(editor.representativeProcess, (ProcessSample{.pid = 502,
                                                           .parentPID = 501,
                                                           .responsiblePID = 500,
                                                           .name = "Renderer",
                                                           .residentMemoryBytes = 2000,
                                                           .cpuPercent = 50,
                                                           .cpuTimeDeltaNs = 500'000'000,
                                                           .samplingIntervalMs = 1000}));

    EXPECT_EQ(reader.sample(0, Date{10}).groups.size(), 1u);
}

TEST_F(ProcessCPUReaderTests, RepresentativeFromMetadata) {
    ps({0, "501 500 20.0 Helper\n502 501 30.0 Renderer\n", ""});
    metadata[501] = {"/opt/Editor.app/Helper", std::nullopt, std::nullopt};
    auto representative = reader.sample(std::nullopt, Date{0}).groups.at(0).representativeProcess;
    EXPECT_EQ(representative.pid, 501);  // the busiest member with metadata
    EXPECT_EQ(representative.name, "/opt/Editor.app/Helper");
    EXPECT_EQ(representative.parentPID, 500);

    RunningProcessMetadataCache fresh;
    reader.metadataCache = &fresh;
    metadata[500] = RunningProcessMetadata{std::nullopt, "/opt/Editor.app", "com.example.Editor"};
    representative = reader.sample(std::nullopt, Date{0}).groups.at(0).representativeProcess;
    EXPECT_EQ(representative.pid, 500);
    EXPECT_EQ(representative.name, "/opt/Editor.app");
    EXPECT_EQ(representative.bundleID, "com.example.Editor");
    EXPECT_EQ(representative.parentPID, 501);  // the best member's parent
}

}  // namespace
}  // namespace joulix
