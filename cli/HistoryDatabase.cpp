#include "cli/HistoryDatabase.h"

#include "Storage/SQLiteSnapshotStoreLocation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <iostream>

namespace joulix::cli {

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

std::string readableHistoryDatabasePath(const std::string& database, bool shared,
                                        std::string_view command) {
    if (!database.empty() || shared) return historyDatabasePath(database, shared);
    std::string local;
    try {
        local = SQLiteSnapshotStoreLocation::localAppDatabaseURL();
    } catch (const SQLiteSnapshotStoreLocationError&) {
    }
    std::error_code error;
    if (!local.empty() && std::filesystem::exists(local, error)) {
        std::cerr << "joulix " << command << ": reading the per-user history " << local << '\n';
        return local;
    }
    const std::string sharedPath = SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL();
    std::cerr << "joulix " << command << ": no per-user history; reading the shared history "
              << sharedPath << '\n';
    return sharedPath;
}

HistoryReader::HistoryReader(std::unique_ptr<SQLiteSnapshotStore> store)
    : store_(std::move(store)) {
    store_->beginRead();
}

HistoryReader::~HistoryReader() {
    if (!store_) return;
    try {
        store_->endRead();
    } catch (const SnapshotStoreError&) {
        // Closing the connection ends the read transaction as well.
    }
}

HistoryReader openHistoryDatabase(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error)))
        throw HistoryDatabaseError("no history database at " + path);
    HistoryReader reader(
        std::make_unique<SQLiteSnapshotStore>(path, SQLiteSnapshotStore::Mode::readOnly));
    const auto version = reader->snapshotSchemaVersion();
    if (version && *version > SQLiteSnapshotStore::schemaVersion) {
        throw HistoryDatabaseError(path + " was written by a newer version (schema version " +
                                   std::to_string(*version) + "; this build reads " +
                                   std::to_string(SQLiteSnapshotStore::schemaVersion) + ")");
    }
    if (version != SQLiteSnapshotStore::schemaVersion) {
        throw HistoryDatabaseError(path + " has schema version " +
                                   (version ? std::to_string(*version) : std::string("(none)")) +
                                   ", expected " +
                                   std::to_string(SQLiteSnapshotStore::schemaVersion));
    }
    return reader;
}

std::string nonEmptyPathCheck(const std::string& text) {
    return text.empty() ? "an empty path names no file" : std::string();
}

}  // namespace joulix::cli
