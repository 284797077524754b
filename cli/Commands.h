#pragma once
// Each subcommand of `joulix` lives in its own file and registers itself with a static
// CommandRegistration; main() adds every registered command to the app.
#include <CLI/CLI.hpp>

namespace joulix::cli {

// The exit status the chosen subcommand asks for (0 unless a command sets it).
int& exitStatus();

struct CommandRegistration {
    using Add = void (*)(CLI::App& app);
    explicit CommandRegistration(Add add);
};

}  // namespace joulix::cli
