#pragma once
// Shared test helpers: a scripted shell runner, fakes, a temporary directory, log capture.
#include "MetricsCollectors/SMCDisplayPowerReading.h"
#include "MetricsCollectors/ShellRunner.h"
#include "Platform/ProcessTable.h"
#include "SharedModels/RuntimeLog.h"
#include "tests/Platform/TemporaryDirectory.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace joulix::testing {

// The value under `key`, if any.
template <class Map, class Key>
std::optional<typename Map::mapped_type> lookup(const Map& map, const Key& key) {
    const auto found = map.find(key);
    if (found == map.end()) return std::nullopt;
    return found->second;
}

// Answers each executable ("*": any other) with a scripted result and records every call.
class ScriptedShellRunner final : public ShellRunning {
  public:
    using Script = std::function<ShellResult(const std::vector<std::string>& arguments)>;
    void script(const std::string& executable, Script answer) { scripts_[executable] = answer; }
    void answer(const std::string& executable, ShellResult result) {
        scripts_[executable] = [result](const auto&) { return result; };
    }

    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override {
        {
            std::lock_guard guard(lock_);
            calls_.push_back({executable, arguments});
        }
        auto found = scripts_.find(executable);
        if (found == scripts_.end()) found = scripts_.find("*");
        if (found == scripts_.end()) {
            throw ShellRunnerError::failedToLaunch("no such tool: " + executable);
        }
        return found->second(arguments);
    }

    // Tools that fail their launch check as a missing tool would.
    void missing(const std::string& executable) { missing_.push_back(executable); }
    void checkLaunchable(const std::string& executable) const override {
        if (std::find(missing_.begin(), missing_.end(), executable) != missing_.end()) {
            throw ShellRunnerError::failedToLaunch("No such file or directory");
        }
    }

    struct Call {
        std::string executable;
        std::vector<std::string> arguments;
    };
    std::vector<Call> calls() const {
        std::lock_guard guard(lock_);
        return calls_;
    }

  private:
    std::map<std::string, Script> scripts_;
    std::vector<std::string> missing_;
    mutable std::mutex lock_;
    mutable std::vector<Call> calls_;
};

using Shell = std::shared_ptr<ScriptedShellRunner>;
inline Shell scriptedShell() {
    return std::make_shared<ScriptedShellRunner>();
}

// A process table of the pids in `cpuTime` (a quarter of it user time) and the given paths.
struct FakeProcessTable final : ProcessTable {
    std::map<int32_t, uint64_t> cpuTime;
    std::map<int32_t, std::string> paths;
    std::vector<int32_t> allPIDs() const override {
        std::vector<int32_t> pids;
        for (const auto& [pid, time] : cpuTime)
            pids.push_back(pid);
        return pids;
    }
    std::optional<std::string> executablePath(int32_t pid) const override {
        return lookup(paths, pid);
    }
    std::optional<ProcessUsage> usage(int32_t pid) const override {
        const auto found = cpuTime.find(pid);
        if (found == cpuTime.end()) return std::nullopt;
        return ProcessUsage{found->second / 4, found->second - found->second / 4, 0};
    }
};

struct FixedDisplayReading final : SMCDisplayPowerReading {
    explicit FixedDisplayReading(std::optional<double> reading) : watts(reading) {}
    std::optional<double> readDisplayPowerWatts() override { return watts; }
    std::optional<double> watts;
};

// Everything the runtime log writes at info level and above while alive.
class LogCapture {
  public:
    LogCapture() {
        RuntimeLog::configure(RuntimeLogLevel::info, true);
        token_ = RuntimeLog::addObserver([this](const std::string& line) {
            std::lock_guard guard(lock_);
            text_ += line;
        });
    }
    ~LogCapture() {
        RuntimeLog::removeObserver(token_);
        RuntimeLog::configure(RuntimeLogLevel::warn, false);
    }
    bool contains(const std::string& part) const {
        std::lock_guard guard(lock_);
        return text_.find(part) != std::string::npos;
    }
    size_t count(const std::string& part) const {
        std::lock_guard guard(lock_);
        size_t found = 0;
        for (auto at = text_.find(part); at != std::string::npos; at = text_.find(part, at + 1))
            ++found;
        return found;
    }

  private:
    uint64_t token_ = 0;
    mutable std::mutex lock_;
    std::string text_;
};

inline std::string fixture(const std::string& relativePath) {
    return readFile(std::string(JOULIX_FIXTURES) + "/" + relativePath);
}

// An ioreg property list of one battery dictionary from "Key=value" words: a number is an
// integer, true is <true/>, anything else (or a value in single quotes) a string.
inline std::string batteryPlist(const std::string& entries) {
    std::string body;
    std::istringstream words(entries);
    for (std::string word; words >> word;) {
        const auto equals = word.find('=');
        const auto value = word.substr(equals + 1);
        body += "<key>" + word.substr(0, equals) + "</key>";
        if (value == "true") {
            body += "<true/>";
        } else if (!value.empty() && value.find_first_not_of("-0123456789") == value.npos) {
            body += "<integer>" + value + "</integer>";
        } else {
            const bool quoted = value.size() >= 2 && value.front() == '\'';
            body += "<string>" + (quoted ? value.substr(1, value.size() - 2) : value) + "</string>";
        }
    }
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict>" + body +
           "</dict></array></plist>";
}

}  // namespace joulix::testing
