// joulix: the command-line front end of the daemon's client and of the libraries' jobs.
// Exit status: 0 ok, 1 the command failed, 2 a usage error (an unknown option, a bad value).
#include "cli/Commands.h"

#include <exception>
#include <iostream>
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

constexpr int usageError = 2;
constexpr int failed = 1;
}  // namespace

CommandRegistration::CommandRegistration(Add add) {
    registeredCommands().push_back(add);
}

}  // namespace joulix::cli

int main(int argc, char** argv) {
    using namespace joulix::cli;
    CLI::App app{"Joulix battery and power monitor: system layer tools"};
    app.set_version_flag("--version", "joulix " JOULIX_VERSION);
    app.require_subcommand(1);
    // A usage error is one line: the option and what it accepts.
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return "joulix: " + std::string(error.what()) + "\n";
    });
    for (const auto add : registeredCommands())
        add(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& shown) {
        return app.exit(shown);  // --help or --version
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return usageError;
    } catch (const std::exception& error) {
        // Nothing a command does may end the program on an uncaught exception.
        std::cerr << "joulix: " << error.what() << '\n';
        return failed;
    } catch (...) {
        std::cerr << "joulix: failed with an unexpected error\n";
        return failed;
    }
    return exitStatus();
}
