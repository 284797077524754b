// Process names and bundle identifiers from outside (ps, bundles) through naming and grouping:
// the input's lines are the names, every other one also a bundle identifier; the process on
// line n has pid n % 5 and the parent (n + 1) % 5, so chains and cycles occur.
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/ProcessTerminationTargetResolver.h"
#include "SharedModels/Text.h"

#include <cstddef>
#include <cstdint>

using namespace joulix;
namespace Service = ProcessAttributionPresentationService;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    DrainSnapshot snapshot;
    int64_t line = 0;
    for (const auto name : text::splitKeepingEmpty(input, '\n')) {
        ProcessDrain process{
            .pid = line % 5, .parentPID = (line + 1) % 5, .name = std::string(name)};
        if (line % 2 == 1) process.bundleID = std::string(name);
        process.processSubtitleText();
        process.isAppleSystemProcess();
        Service::processGroupKeySource(process, name);
        snapshot.processes.push_back(std::move(process));
        ++line;
    }
    const auto context = Service::makePresentationContext(std::span(&snapshot, 1));
    const auto grouped =
        Service::groupVisibleProcesses(Service::annotateSnapshot(snapshot, context), context, {});
    for (const auto& row : grouped.processes)
        ProcessTerminationTargetResolver::targetPIDs(row, grouped.subprocessesByID.at(row.id()));
    return 0;
}
