// joulix: the command-line front end of the daemon's client and of the libraries' jobs.
#include "cli/Commands.h"

#include <vector>

namespace joulix::cli {

int& exitStatus() {
    static int status = 0;
    return status;
}

namespace {
std::vector<CommandRegistration::Add>& registeredCommands() {
    static std::vector<CommandRegistration::Add> commands;
    return commands;
}
}  // namespace

CommandRegistration::CommandRegistration(Add add) {
    registeredCommands().push_back(add);
}

}  // namespace joulix::cli

int main(int argc, char** argv) {
    CLI::App app{"Joulix battery and power monitor: system layer tools"};
    app.require_subcommand(1);
    for (const auto add : joulix::cli::registeredCommands())
        add(app);
    CLI11_PARSE(app, argc, argv);
    return joulix::cli::exitStatus();
}
