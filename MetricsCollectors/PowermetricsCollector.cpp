#include "MetricsCollectors/PowermetricsCollector.h"

#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace joulix {
namespace {

constexpr std::string_view component = "Powermetrics";
const std::string powermetricsPath = "/usr/bin/powermetrics";

std::string joined(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += separator;
        out += pieces[i];
    }
    return out;
}

std::string firstStderrLine(const std::string& stderrText) {
    for (const auto line : text::splitKeepingEmpty(stderrText, '\n')) {
        if (!line.empty()) return std::string(line);
    }
    return "<empty>";
}

bool isUnusable(const PowermetricsParseOutput& output) {
    return output.processes.empty() && output.cpuPackageW <= 0 && output.gpuPackageW <= 0 &&
           output.anePackageW <= 0 && output.combinedPackageW <= 0 &&
           (!output.totalSystemWatts || *output.totalSystemWatts <= 0);
}

// The first 16 non-blank lines, trimmed, joined with " | ".
std::string preview(const std::string& stdoutText) {
    std::vector<std::string> lines;
    for (const auto line : text::splitKeepingEmpty(stdoutText, '\n')) {
        const auto trimmed = text::trim(line);
        if (trimmed.empty()) continue;
        lines.emplace_back(trimmed);
        if (lines.size() == 16) break;
    }
    return joined(lines, " | ");
}

std::string iso8601Now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PowermetricsCollectorError PowermetricsCollectorError::commandFailed(const std::string& message) {
    return {Kind::commandFailed, "powermetrics command failed: " + message, message};
}

PowermetricsCollectorError
PowermetricsCollectorError::insufficientPrivileges(const std::string& message) {
    return {Kind::insufficientPrivileges, "powermetrics requires admin privileges: " + message,
            message};
}

PowermetricsCollectorError PowermetricsCollectorError::emptyOrUnparseableOutput() {
    return {Kind::emptyOrUnparseableOutput, "powermetrics returned no usable power data.", ""};
}

PowermetricsCollectorError PowermetricsCollectorError::notInstalled(const std::string& message) {
    PowermetricsCollectorError error = commandFailed(message);
    error.notInstalled_ = true;
    return error;
}

PowermetricsCollector::PowermetricsCollector(std::shared_ptr<const ShellRunning> shell,
                                             PowermetricsParser parser)
    : effectiveUserID([] { return static_cast<uint32_t>(::geteuid()); }), shell_(std::move(shell)),
      parser_(parser) {}

bool PowermetricsCollector::isToolInstalled() const {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(powermetricsPath, error));
}

std::pair<std::string, std::vector<std::string>> PowermetricsCollector::command() const {
    std::vector<std::string> arguments{"-n",         "20",    powermetricsPath,
                                       "-n",         "1",     "--show-process-energy",
                                       "--samplers", "tasks", "--show-all"};
    if (effectiveUserID() == 0) return {"/usr/bin/nice", arguments};
    arguments.insert(arguments.begin(), {"-n", "/usr/bin/nice"});
    return {"/usr/bin/sudo", arguments};
}

PowermetricsParseOutput PowermetricsCollector::collectNormalizedSample() const {
    const auto started = std::chrono::steady_clock::now();
    const auto [executable, arguments] = command();
    RuntimeLog::info(component,
                     "Starting powermetrics fetch: " + executable + " " + joined(arguments, " "));

    ShellResult result;
    try {
        // nice or sudo would start it: a missing tool fails here, as a launch, not in them.
        shell_->checkLaunchable(powermetricsPath);
    } catch (const std::exception& error) {
        // A tool this platform does not have is no failure of the pass: said once, at info level.
        if (!isToolInstalled()) {
            static std::once_flag said;
            std::call_once(said, [&] {
                RuntimeLog::info(component, "powermetrics is not installed (" + powermetricsPath +
                                                ": " + error.what() +
                                                "); passes go without its figures");
            });
            throw PowermetricsCollectorError::notInstalled(error.what());
        }
        RuntimeLog::error(component, std::string("powermetrics execution failed: ") + error.what());
        throw PowermetricsCollectorError::commandFailed(error.what());
    }
    try {
        result = shell_->run(executable, arguments);
    } catch (const std::exception& error) {
        RuntimeLog::error(component, std::string("powermetrics execution failed: ") + error.what());
        throw PowermetricsCollectorError::commandFailed(error.what());
    }

    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    RuntimeLog::info(component, "powermetrics command completed in " +
                                    text::formatted("%.3f", elapsed.count()) +
                                    "s with status=" + std::to_string(result.status) +
                                    ", stdoutBytes=" + std::to_string(result.stdout.size()) +
                                    ", stderrBytes=" + std::to_string(result.stderr.size()));

    if (result.status != 0) {
        const auto line = firstStderrLine(result.stderr);
        RuntimeLog::error(component,
                          "powermetrics non-zero status=" + std::to_string(result.status) +
                              ", firstStderrLine=" + line);
        const auto lowered = text::lowercased(result.stderr);
        if (lowered.find("password") != std::string::npos ||
            lowered.find("not in the sudoers") != std::string::npos) {
            throw PowermetricsCollectorError::insufficientPrivileges(line);
        }
        throw PowermetricsCollectorError::commandFailed(line);
    }

    writeRawDumpIfEnabled(executable, arguments, result);
    auto output = parser_.parse(result.stdout);
    RuntimeLog::info(
        component,
        "Parsed powermetrics output: processes=" + std::to_string(output.processes.size()) +
            ", packageW=" + text::formatted("%.2f", output.combinedPackageW) +
            ", totalSystemWatts=" +
            (output.totalSystemWatts ? text::formatted("%.2f", *output.totalSystemWatts)
                                     : std::string("nil")));

    if (isUnusable(output)) {
        RuntimeLog::error(component,
                          "powermetrics parse produced no process/package/system power. preview=" +
                              preview(result.stdout));
        throw PowermetricsCollectorError::emptyOrUnparseableOutput();
    }
    return output;
}

bool PowermetricsCollector::isRawDumpEnabled() const {
    if (const char* value = std::getenv("JLX_PM_RAW_DUMP");
        value && std::string_view(value) == "1") {
        return true;
    }
    struct stat info {};
    return ::stat((temporaryDirectory + "/jlx-powermetrics-debug.flag").c_str(), &info) == 0;
}

std::string PowermetricsCollector::rawDumpPath() const {
    if (const char* value = std::getenv("JLX_PM_RAW_DUMP_PATH"); value && *value) return value;
    return temporaryDirectory + "/jlx-powermetrics-raw.log";
}

void PowermetricsCollector::writeRawDumpIfEnabled(const std::string& command,
                                                  const std::vector<std::string>& arguments,
                                                  const ShellResult& result) const {
    if (!isRawDumpEnabled()) return;
    const std::string entry = "----- " + iso8601Now() + " -----\ncommand: " + command + " " +
                              joined(arguments, " ") +
                              "\nstatus: " + std::to_string(result.status) +
                              "\nstderr-bytes: " + std::to_string(result.stderr.size()) +
                              "\nstdout-bytes: " + std::to_string(result.stdout.size()) +
                              "\nstdout:\n" + result.stdout + "\nstderr:\n" + result.stderr + "\n";

    // The dump sits in a world-writable folder: never follow a planted link, never block on a
    // planted FIFO, and write only into a regular file.
    const std::string path = rawDumpPath();
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    std::string failure;
    if (fd < 0) {
        failure = std::strerror(errno);
    } else {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            failure = std::strerror(errno);
        } else if (!S_ISREG(info.st_mode)) {
            failure = path + " is not a regular file";
        } else if (!writeAll(fd, entry)) {
            failure = std::strerror(errno);
        }
        ::close(fd);
    }
    if (!failure.empty()) RuntimeLog::warn(component, "Failed to write raw dump file: " + failure);
}

}  // namespace joulix
