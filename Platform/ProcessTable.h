#pragma once
// The kernel's process table: every pid, a process's executable path, and its accumulated CPU
// time and resident size. The Linux implementation reads a procfs root (default "/proc").
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// A process's accumulated CPU time (user and system), and its instance: the same for one
// process across scans, different for another process that later has the same pid.
struct ProcessCPUTime {
    uint64_t cpuTimeNs = 0;
    uint64_t instance = 0;

    friend bool operator==(const ProcessCPUTime&, const ProcessCPUTime&) = default;
};

// Reads the CPU time of every process, again and again. It may keep what makes the next scan
// cheap (the Linux one holds a handle on each process), so it belongs to one caller, which makes
// one call at a time.
class ProcessCPUTimeScanner {
  public:
    virtual ~ProcessCPUTimeScanner() = default;
    // Every readable process's pid and CPU time, ascending by pid.
    virtual std::vector<std::pair<int32_t, ProcessCPUTime>> scan() = 0;
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
    // A scanner over this table, which must outlive it. By default every scan asks allPIDs()
    // and usage() of each (the instance is the start time).
    virtual std::unique_ptr<ProcessCPUTimeScanner> cpuTimeScanner() const;
};

// Asks the table for every pid and the usage of each.
class EachProcessCPUTimeScanner final : public ProcessCPUTimeScanner {
  public:
    explicit EachProcessCPUTimeScanner(const ProcessTable& table) : table_(table) {}
    std::vector<std::pair<int32_t, ProcessCPUTime>> scan() override {
        std::vector<std::pair<int32_t, ProcessCPUTime>> times;
        for (const int32_t pid : table_.allPIDs()) {
            if (const auto usage = table_.usage(pid)) {
                times.emplace_back(
                    pid, ProcessCPUTime{usage->userTimeNs + usage->systemTimeNs, usage->startTime});
            }
        }
        return times;
    }

  private:
    const ProcessTable& table_;
};

inline std::unique_ptr<ProcessCPUTimeScanner> ProcessTable::cpuTimeScanner() const {
    return std::make_unique<EachProcessCPUTimeScanner>(*this);
}

// The machine's process table.
std::shared_ptr<const ProcessTable> systemProcessTable();
// The process table of a procfs tree at `procRoot`.
std::shared_ptr<const ProcessTable> makeProcfsProcessTable(std::string procRoot);

}  // namespace joulix
