#pragma once
// Each subcommand of `joulix` lives in its own file and registers itself on the app here.
// A command's callback sets the process exit status through CommandResult.
#include <CLI/CLI.hpp>

namespace joulix::cli {

// The exit status the chosen subcommand asks for.
int& exitStatus();

}  // namespace joulix::cli
