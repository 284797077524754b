#include "cli/HistoryDatabase.h"

#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <filesystem>

namespace joulix::cli {
namespace {

// A read-only connection to a WAL database whose "-wal" file is absent would create the "-wal"
// and "-shm" sidecars, owned by this user, which can then lock other users' writers out. With no
// "-wal" the whole database lies in its main file, so that file is opened as immutable instead.
std::string readOnlyOpenName(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::exists(path + "-wal", ignored)) return path;
    std::string uri = "file:";
    for (const unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            uri += text::formatted("%%%02X", c);
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?immutable=1";
}

}  // namespace

// Stored values are whatever a writer put there, so the time may lie beyond any calendar.
std::string localTime(Date date, const char* format) {
    const double since1970 = date.timeIntervalSince1970();
    if (!(std::abs(since1970) < 1e12)) return "-";
    const auto seconds = static_cast<std::time_t>(since1970);
    std::tm local{};
    char buffer[40] = "-";
    if (::localtime_r(&seconds, &local)) std::strftime(buffer, sizeof buffer, format, &local);
    return buffer;
}

std::optional<double> parseDuration(std::string_view text) {
    if (text.size() < 2) return std::nullopt;
    double unitSeconds = 0;
    switch (text.back()) {
    case 's':
        unitSeconds = 1;
        break;
    case 'm':
        unitSeconds = 60;
        break;
    case 'h':
        unitSeconds = 3600;
        break;
    case 'd':
        unitSeconds = 86400;
        break;
    default:
        return std::nullopt;
    }
    const std::string_view number = text.substr(0, text.size() - 1);
    if (!std::all_of(number.begin(), number.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size() || !(value > 0) ||
        !std::isfinite(value * unitSeconds)) {
        return std::nullopt;
    }
    return value * unitSeconds;
}

std::string historyDatabasePath(const std::string& database, bool shared) {
    if (!database.empty()) return database;
    return shared ? SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL()
                  : SQLiteSnapshotStoreLocation::localAppDatabaseURL();
}

std::unique_ptr<SQLiteSnapshotStore> openHistoryDatabase(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw HistoryDatabaseError("no history database at " + path);
    auto store = std::make_unique<SQLiteSnapshotStore>(readOnlyOpenName(path),
                                                       SQLiteSnapshotStore::Mode::readOnly);
    const auto version = store->snapshotSchemaVersion();
    if (version != SQLiteSnapshotStore::schemaVersion) {
        throw HistoryDatabaseError(path + " has schema version " +
                                   (version ? std::to_string(*version) : std::string("(none)")) +
                                   ", expected " +
                                   std::to_string(SQLiteSnapshotStore::schemaVersion));
    }
    return store;
}

}  // namespace joulix::cli
