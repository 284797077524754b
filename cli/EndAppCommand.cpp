// joulix end-app NAME [--dry-run]: ends the processes of one application, main executable first,
// through the daemon. Only members that belong to the application are ended (see belongsTo); the
// others of its row are listed and left running. Rows gather every process of a name in any
// case, so the application is chosen inside the row (see chooseApplication). Exit status: 0 all
// ended, 1 one was refused, sampling failed or the daemon cannot be reached, 2 usage error, 3 no
// application has that name, or several do.
#include "SharedModels/ProcessTerminationTargetResolver.h"
#include "SharedModels/Text.h"
#include "cli/ApplicationRows.h"
#include "cli/Commands.h"
#include "cli/DaemonClient.h"
#include "cli/Table.h"

#include <algorithm>
#include <iostream>
#include <map>

#include <unistd.h>

namespace joulix::cli {
namespace {

constexpr int noSuchApplication = 3;

struct Options {
    std::string name;
    bool dryRun = false;
};

// The row whose name matches `name` in any case (rows of names differing only in case are one
// row); prints when there is none and sets the exit status.
const ProcessDrain* findRow(const std::vector<ProcessDrain>& rows, const std::string& name) {
    const auto wanted = text::lowercased(name);
    for (const auto& row : rows) {
        if (text::lowercased(row.displayName.value_or("")) == wanted) return &row;
    }
    std::cerr << "joulix end-app: no application named " << printable(name) << '\n';
    exitStatus() = noSuchApplication;
    return nullptr;
}

// One application among a row's members: its bundle folder and/or bundle identifier
// (application ID), and the name it is shown by.
struct Application {
    std::optional<std::string> bundle, identifier;  // the identifier lower-cased
    std::string displayName;

    bool has(const ProcessDrain& member) const {
        const auto memberBundle = ProcessDrain::topLevelAppBundlePath(member.name);
        const auto memberIdentifier = identifierOf(member);
        return (bundle && memberBundle == bundle) || (identifier && memberIdentifier == identifier);
    }
    std::string description() const {
        return printable(displayName) + " (" + printable(bundle.value_or(*identifier)) + ")";
    }
    static std::optional<std::string> identifierOf(const ProcessDrain& member) {
        const auto identifier = text::trim(member.bundleID.value_or(""));
        if (identifier.empty()) return std::nullopt;
        return text::lowercased(identifier);
    }
};

// The applications among `members`: those with a bundle folder or an identifier. A process with
// neither (a stray copy of the same name, an interpreter) is no application.
std::vector<Application> applicationsAmong(const std::vector<ProcessDrain>& members) {
    std::vector<Application> applications;
    for (const auto& member : members) {
        const auto bundle = member.name.starts_with('/')
                                ? ProcessDrain::topLevelAppBundlePath(member.name)
                                : std::nullopt;
        const auto identifier = Application::identifierOf(member);
        if (!bundle && !identifier) continue;
        const auto known = std::find_if(applications.begin(), applications.end(),
                                        [&](const Application& a) { return a.has(member); });
        if (known == applications.end()) {
            applications.push_back({bundle, identifier, member.processDisplayName()});
        } else {
            if (!known->bundle) known->bundle = bundle;
            if (!known->identifier) known->identifier = identifier;
        }
    }
    return applications;
}

// The application named `name` in the row: the one named exactly, else the one named in any
// case; several of either kind are listed and none is chosen (exit 3). A row without any
// application stands for its executable (`std::nullopt` inside the result).
std::optional<std::optional<Application>>
chooseApplication(const std::vector<ProcessDrain>& members, const std::string& name) {
    const auto applications = applicationsAmong(members);
    if (applications.empty()) return std::optional<Application>();
    std::vector<const Application*> exact, anyCase;
    for (const auto& application : applications) {
        if (application.displayName == name) exact.push_back(&application);
        if (text::lowercased(application.displayName) == text::lowercased(name)) {
            anyCase.push_back(&application);
        }
    }
    const auto& matches = !exact.empty() ? exact : anyCase;
    if (matches.size() == 1) return std::optional<Application>(*matches.front());
    if (matches.empty()) return std::optional<Application>(applications.front());
    std::cerr << "joulix end-app: several applications are named " << printable(name)
              << "; give the exact name of one:\n";
    for (const auto* application : matches)
        std::cerr << "  " << application->description() << '\n';
    exitStatus() = noSuchApplication;
    return std::nullopt;
}

// A member belongs to the application when its executable lies inside the application's bundle
// folder or it has the application's identifier. Without an application the row stands for one
// executable, shown by its path: members running that same path belong.
bool belongsTo(const ProcessDrain& member, const std::optional<Application>& application,
               const ProcessDrain& row) {
    if (application) return application->has(member);
    return !row.name.starts_with('/') || member.name == row.name;
}

void run(const Options& options, const DaemonClientOptions& bus) {
    ApplicationRows rows;
    try {
        rows = sampleApplicationRows();
    } catch (const std::exception& error) {
        std::cerr << "joulix end-app: " << error.what() << '\n';
        exitStatus() = refused;
        return;
    }
    const auto* row = findRow(rows.grouping.processes, options.name);
    if (row == nullptr) return;

    auto candidates = rows.members(*row);
    const auto application = chooseApplication(candidates, options.name);
    if (!application) return;
    std::vector<ProcessDrain> members, strays;
    for (auto& member : candidates)
        (belongsTo(member, *application, *row) ? members : strays).push_back(std::move(member));
    // This command is never among its own targets: ending itself would stop it halfway down the
    // list, with the rest of the application still running.
    auto targets = ProcessTerminationTargetResolver::targetPIDs(*row, members);
    std::erase(targets, static_cast<int32_t>(::getpid()));
    const auto shownName = *application ? (*application)->displayName : *row->displayName;
    std::cout << printable(shownName) << ":";
    for (const auto pid : targets)
        std::cout << ' ' << pid;
    std::cout << '\n';
    for (const auto& stray : strays) {
        std::cout << "not ended: not part of the application: " << stray.pid << ' '
                  << printable(stray.name) << '\n';
    }
    if (options.dryRun) return;

    std::map<int64_t, std::string> paths;
    for (const auto& member : members)
        paths.emplace(member.pid, member.name);
    runDaemonRequest(bus, [&](BatteryMetricsClient& client) {
        DaemonExitStatus status = succeeded;
        for (const auto pid : targets) {
            std::cout << "ending " << pid << ' ' << printable(paths[pid]) << std::endl;
            const auto reply = client.terminateProcess(pid);
            std::cout << pid << ": "
                      << (reply.message   ? *reply.message
                          : reply.success ? "ended"
                                          : "refused")
                      << '\n';
            if (!reply.success) status = refused;
        }
        return status;
    });
}

const CommandRegistration registration([](CLI::App& app) {
    auto options = std::make_shared<Options>();
    auto* command = app.add_subcommand(
        "end-app", "End the processes of an application through the daemon, main one first");
    command
        ->add_option("name", options->name,
                     "The application's name (exact case preferred, else any case)")
        ->required();
    command->add_flag("--dry-run", options->dryRun, "Print the order without ending anything");
    command->footer("Exit status: 0 all ended, 1 one was refused or the daemon cannot be reached, "
                    "2 usage error, 3 no application has that name, or several do.");
    auto bus = addBusOptions(*command);
    command->callback([options, bus] { run(*options, *bus); });
});

}  // namespace
}  // namespace joulix::cli
