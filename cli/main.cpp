// joulix: the command-line front end of the daemon's client and of the libraries' jobs.
#include "cli/Commands.h"

namespace joulix::cli {
int& exitStatus() {
    static int status = 0;
    return status;
}
}  // namespace joulix::cli

int main(int argc, char** argv) {
    CLI::App app{"Joulix battery and power monitor: system layer tools"};
    app.require_subcommand(1);
    CLI11_PARSE(app, argc, argv);
    return joulix::cli::exitStatus();
}
