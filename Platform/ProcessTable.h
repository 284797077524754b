#pragma once
// The kernel's process table: every pid, a process's executable path, and its accumulated CPU
// time and resident size. The Linux implementation reads a procfs root (default "/proc").
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

struct ProcessUsage {
    uint64_t userTimeNs = 0;
    uint64_t systemTimeNs = 0;
    uint64_t residentSizeBytes = 0;
    // When the process started, in the table's own clock; with the pid it names one process.
    uint64_t startTime = 0;

    friend bool operator==(const ProcessUsage&, const ProcessUsage&) = default;
};

class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // Every pid the table holds, ascending.
    virtual std::vector<int32_t> allPIDs() const = 0;
    // The executable's full path as raw bytes; absent when it cannot be read.
    virtual std::optional<std::string> executablePath(int32_t pid) const = 0;
    // Accumulated CPU time and resident size; absent when the process cannot be read.
    virtual std::optional<ProcessUsage> usage(int32_t pid) const = 0;
};

// The machine's process table.
std::shared_ptr<const ProcessTable> systemProcessTable();
// The process table of a procfs tree at `procRoot`.
std::shared_ptr<const ProcessTable> makeProcfsProcessTable(std::string procRoot);

}  // namespace joulix
