// Any bytes as the output of `ps`, through the process sampler's line parser, ranking and
// naming, and through the CPU reader's parser and grouping.
#include "MetricsCollectors/ProcessCPUReader.h"
#include "MetricsCollectors/ProcessSampler.h"
#include "SharedModels/Text.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>

namespace {

struct FixedOutput final : joulix::ShellRunning {
    std::string output;
    joulix::ShellResult run(const std::string&, const std::vector<std::string>&) const override {
        return {0, output, ""};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static joulix::ComponentProfiler profiler(
        joulix::BenchmarkProcessKind::daemon, "fuzz",
        (std::filesystem::temp_directory_path() / "jlx-fuzz-profile.jsonl").string(), 0, 24, false);
    auto shell = std::make_shared<FixedOutput>();
    shell->output.assign(reinterpret_cast<const char*>(data), data ? size : 0);
    const auto noMetadata = [](int32_t) { return std::optional<joulix::RunningProcessMetadata>(); };

    for (const auto line : joulix::text::splitLines(shell->output)) {
        joulix::ProcessSampler::parsePSLine(line);
        joulix::ProcessSampler::executableToken(line);
    }

    joulix::RunningProcessMetadataCache cache;
    joulix::ProcessSampler sampler(shell);
    sampler.metadataCache = &cache;
    sampler.metadataResolver = noMetadata;
    sampler.componentProfiler = &profiler;
    const auto tree = sampler.sampleProcessTree(3);
    if (tree.sampledProcesses.size() > 3) std::abort();

    joulix::ProcessCPUReader reader(shell);
    reader.metadataCache = &cache;
    reader.metadataResolver = noMetadata;
    reader.responsiblePIDResolver = [](int64_t pid) { return pid % 7; };
    reader.residentMemoryResolver = [](int64_t) { return std::optional<uint64_t>(UINT64_MAX / 2); };
    const auto readout = reader.sample(2, joulix::Date{0});
    if (readout.groups.size() > 2) std::abort();
    return 0;
}
