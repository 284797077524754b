// joulix config: prints, as JSON, the identifiers and paths derived from the running program's
// bundle and environment, and the standard sampling configuration.
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/SnapshotCodec.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"
#include "cli/Commands.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace joulix::cli {
namespace {

nlohmann::ordered_json configuration() {
    nlohmann::ordered_json json;
    json["bundleIdentifierPrefix"] = AppConfiguration::bundleIdentifierPrefix();
    json["daemonBundleIdentifier"] = AppConfiguration::daemonBundleIdentifier();
    json["daemonPlistName"] = AppConfiguration::daemonPlistName();
    json["loggingSubsystem"] = AppConfiguration::Logging::subsystem();
    json["sharedDatabasePath"] = SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL();
    try {
        json["localDatabasePath"] = SQLiteSnapshotStoreLocation::localAppDatabaseURL();
    } catch (const Error& error) {
        json["localDatabasePath"] = nullptr;
        json["localDatabaseError"] = error.what();
    }
    json["samplingConfig"] = nlohmann::ordered_json::parse(SnapshotCodec::encode(SamplingConfig{}));
    return json;
}

const CommandRegistration registration([](CLI::App& app) {
    app.add_subcommand("config", "Print the derived identifiers and database paths as JSON")
        ->callback([] { std::cout << configuration().dump(2) << '\n'; });
});

}  // namespace
}  // namespace joulix::cli
