#pragma once
// A shell runner for tests: answers each executable with a scripted result (or error) and
// records every call.
#include "MetricsCollectors/ShellRunner.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace joulix::testing {

class ScriptedShellRunner final : public ShellRunning {
  public:
    using Script = std::function<ShellResult(const std::vector<std::string>& arguments)>;

    void script(const std::string& executable, Script answer) {
        scripts_[executable] = std::move(answer);
    }
    void answer(const std::string& executable, ShellResult result) {
        scripts_[executable] = [result](const auto&) { return result; };
    }

    ShellResult run(const std::string& executable,
                    const std::vector<std::string>& arguments) const override {
        {
            std::lock_guard guard(lock_);
            calls_.push_back({executable, arguments});
        }
        const auto found = scripts_.find(executable);
        if (found == scripts_.end()) {
            throw ShellRunnerError::failedToLaunch("no such tool: " + executable);
        }
        return found->second(arguments);
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
    mutable std::mutex lock_;
    mutable std::vector<Call> calls_;
};

}  // namespace joulix::testing
