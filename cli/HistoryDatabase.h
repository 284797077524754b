#pragma once
// The history database a command works on: --db PATH, or --shared for the one shared by every
// user, or else the per-user one (as `joulix config` shows them).
#include <CLI/CLI.hpp>

#include <memory>
#include <string>

namespace joulix::cli {

struct HistoryDatabaseOption {
    std::string path{};
    bool shared = false;

    // Adds --db and --shared (exclusive) to the command.
    void addTo(CLI::App& command);
    // The chosen path; throws joulix::Error when the per-user location is unknown.
    std::string resolvedPath() const;
};

}  // namespace joulix::cli
