#pragma once
// Takes one powermetrics sample (tasks sampler with per-process energy, all columns, one
// sample) at the lowest scheduling priority, through "sudo -n" unless running as root, and
// returns the parsed result or a PowermetricsCollectorError saying whether the tool failed,
// lacked privileges or printed nothing usable. Logs every run under "Powermetrics"; when the
// raw-dump switch is on, appends each successful run's output to a dump file. Holds no state.
#include "MetricsCollectors/PowermetricsParser.h"
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/Error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace joulix {

class PowermetricsCollectorError : public Error {
  public:
    enum class Kind { commandFailed, insufficientPrivileges, emptyOrUnparseableOutput };

    static PowermetricsCollectorError commandFailed(const std::string& message);
    static PowermetricsCollectorError insufficientPrivileges(const std::string& message);
    static PowermetricsCollectorError emptyOrUnparseableOutput();
    // commandFailed for a tool that is not installed at all.
    static PowermetricsCollectorError notInstalled(const std::string& message);
    // The tool is not installed: a fact of the platform, not a failure of the pass.
    bool isNotInstalled() const { return notInstalled_; }

    Kind kind() const { return kind_; }
    // The payload of commandFailed and insufficientPrivileges; empty otherwise.
    const std::string& message() const { return message_; }

  private:
    PowermetricsCollectorError(Kind kind, const std::string& description, std::string message)
        : Error(description), kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
    bool notInstalled_ = false;
};

class PowermetricsCollector {
  public:
    explicit PowermetricsCollector(
        std::shared_ptr<const ShellRunning> shell = std::make_shared<DefaultShellRunner>(),
        PowermetricsParser parser = {});

    // Blocks until the command has finished or timed out; throws PowermetricsCollectorError.
    PowermetricsParseOutput collectNormalizedSample() const;

    // Whether anything is installed at the tool's path (a tool that is missing is logged once
    // per process at info level and fails with isNotInstalled()).
    bool isToolInstalled() const;
    // The executable and arguments for the current effective user.
    std::pair<std::string, std::vector<std::string>> command() const;

    // JLX_PM_RAW_DUMP is "1", or the flag file jlx-powermetrics-debug.flag exists.
    bool isRawDumpEnabled() const;
    // JLX_PM_RAW_DUMP_PATH when set and non-empty, else jlx-powermetrics-raw.log.
    std::string rawDumpPath() const;
    // Appends one entry to the dump file when enabled; failures are logged, never thrown. The
    // file is opened without following a symbolic link and must be a regular file.
    void writeRawDumpIfEnabled(const std::string& command,
                               const std::vector<std::string>& arguments,
                               const ShellResult& result) const;

    // Seams: the effective user id, and the folder of the flag file and default dump file.
    std::function<uint32_t()> effectiveUserID;
    std::string temporaryDirectory = "/tmp";

  private:
    std::shared_ptr<const ShellRunning> shell_;
    PowermetricsParser parser_;
};

}  // namespace joulix
