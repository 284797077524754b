// SQLiteSnapshotStore: the connection and the schema. Opening creates the file when asked,
// configures the connection, and brings the snapshot tables to schema version 5 (dropping them
// when the stored version is older; the estimate log is kept). A version-5 history whose battery
// level is still NOT NULL has that constraint lifted, rows kept.
#include "Storage/SQLiteSnapshotStore.h"

#include "SharedModels/RuntimeLog.h"
#include "SharedModels/SharedRoot.h"
#include "Storage/SQLiteStatement.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace joulix {

SnapshotStoreError SnapshotStoreError::sqlite(const std::string& message) {
    return {Kind::sqlite, message};
}

SnapshotStoreError SnapshotStoreError::invalidPublishedSnapshot(const std::string& message) {
    return {Kind::invalidPublishedSnapshot, message};
}

SnapshotStoreError SnapshotStoreError::invalidPath() {
    return {Kind::invalidPath, "Invalid database path"};
}

namespace {

constexpr const char* connectionPragmas = "PRAGMA busy_timeout = 5000;\n"
                                          "PRAGMA foreign_keys = ON;";
constexpr const char* writerPragmas = "PRAGMA journal_mode = WAL;\n"
                                      "PRAGMA synchronous = NORMAL;\n"
                                      "PRAGMA wal_autocheckpoint = 100;";

constexpr const char* createSchemaMetadata = "CREATE TABLE IF NOT EXISTS schema_metadata (\n"
                                             "    key TEXT PRIMARY KEY,\n"
                                             "    value TEXT NOT NULL\n"
                                             ");";

constexpr const char* dropSnapshotTables = "DROP TABLE IF EXISTS process_source_flags;\n"
                                           "DROP TABLE IF EXISTS process_samples;\n"
                                           "DROP TABLE IF EXISTS hidden_drains;\n"
                                           "DROP TABLE IF EXISTS battery_status_samples;\n"
                                           "DROP TABLE IF EXISTS snapshots;";

constexpr const char* createSnapshotTablesBatch = R"(CREATE TABLE IF NOT EXISTS snapshots (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    timestamp REAL NOT NULL,
    total_watts REAL NOT NULL,
    process_total_w REAL NOT NULL,
    tracker_total_w REAL NOT NULL,
    on_battery_power INTEGER,
    battery_level_percent REAL,
    pm_command_ok INTEGER,
    pm_parsed_process_count INTEGER,
    pm_has_package_power INTEGER,
    pm_has_system_power INTEGER,
    used_estimated_total_power INTEGER,
    screen_model_available INTEGER,
    usb_model_available INTEGER,
    components_screen_w REAL NOT NULL,
    components_usb_w REAL NOT NULL,
    components_cpu_w REAL NOT NULL DEFAULT 0,
    components_gpu_w REAL NOT NULL DEFAULT 0,
    components_ane_w REAL NOT NULL DEFAULT 0,
    components_ram_w REAL NOT NULL DEFAULT 0,
    components_pci_w REAL NOT NULL DEFAULT 0,
    components_confidence REAL,
    unattributed_w REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_snapshots_timestamp ON snapshots(timestamp DESC);
CREATE TABLE IF NOT EXISTS process_samples (
    snapshot_id INTEGER NOT NULL,
    pid INTEGER NOT NULL,
    parent_pid INTEGER,
    process_name TEXT NOT NULL,
    bundle_id TEXT,
    display_name TEXT NOT NULL,
    canonical_name TEXT NOT NULL,
    process_group_key TEXT NOT NULL,
    drain_w REAL NOT NULL,
    energy_share REAL NOT NULL,
    PRIMARY KEY (snapshot_id, pid, process_name),
    FOREIGN KEY (snapshot_id) REFERENCES snapshots(id) ON DELETE CASCADE
);
CREATE INDEX IF NOT EXISTS idx_process_samples_snapshot ON process_samples(snapshot_id);
CREATE INDEX IF NOT EXISTS idx_process_samples_display_name ON process_samples(display_name);
CREATE INDEX IF NOT EXISTS idx_process_samples_canonical_name ON process_samples(canonical_name);
CREATE INDEX IF NOT EXISTS idx_process_samples_snapshot_group_key
    ON process_samples(snapshot_id, process_group_key);
CREATE INDEX IF NOT EXISTS idx_process_samples_group_key_snapshot
    ON process_samples(process_group_key, snapshot_id);
CREATE TABLE IF NOT EXISTS process_source_flags (
    snapshot_id INTEGER NOT NULL,
    pid INTEGER NOT NULL,
    process_name TEXT NOT NULL,
    source_flag TEXT NOT NULL,
    PRIMARY KEY (snapshot_id, pid, process_name, source_flag),
    FOREIGN KEY (snapshot_id, pid, process_name)
        REFERENCES process_samples(snapshot_id, pid, process_name) ON DELETE CASCADE
);
CREATE TABLE IF NOT EXISTS hidden_drains (
    snapshot_id INTEGER NOT NULL,
    kind TEXT NOT NULL,
    identifier TEXT NOT NULL,
    drain_w REAL NOT NULL,
    PRIMARY KEY (snapshot_id, kind, identifier),
    FOREIGN KEY (snapshot_id) REFERENCES snapshots(id) ON DELETE CASCADE
);
CREATE TABLE IF NOT EXISTS battery_status_samples (
    snapshot_id INTEGER PRIMARY KEY,
    level_percent REAL,
    remaining_wh REAL,
    is_charging INTEGER NOT NULL,
    external_power_connected INTEGER NOT NULL,
    system_time_remaining_minutes INTEGER,
    discharge_watts REAL,
    cycle_count INTEGER,
    voltage_mv INTEGER,
    amperage_ma INTEGER,
    temperature_centi_c INTEGER,
    design_capacity_mah INTEGER,
    max_capacity_mah INTEGER,
    current_capacity_mah INTEGER,
    nominal_charge_capacity_mah INTEGER,
    design_cycle_count INTEGER,
    serial_number TEXT,
    device_name TEXT,
    fully_charged INTEGER,
    is_ac_powered INTEGER,
    adapter_watts INTEGER,
    adapter_name TEXT,
    FOREIGN KEY (snapshot_id) REFERENCES snapshots(id) ON DELETE CASCADE
);)";

constexpr const char* createEstimateTracking = R"(CREATE TABLE IF NOT EXISTS estimate_tracking (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    estimate_timestamp REAL NOT NULL,
    horizon_seconds INTEGER NOT NULL,
    estimate_source TEXT NOT NULL,
    on_battery INTEGER NOT NULL,
    start_battery_percent REAL NOT NULL,
    estimated_power_w REAL NOT NULL,
    estimated_drain_rate_pct_hr REAL,
    estimated_time_left_min INTEGER,
    evaluation_status TEXT NOT NULL DEFAULT 'pending',
    evaluated_at REAL,
    sample_duration_seconds REAL,
    actual_battery_percent REAL,
    actual_avg_power_w REAL,
    actual_drain_rate_pct_hr REAL,
    actual_time_left_min REAL,
    power_error_w REAL,
    drain_rate_error_pct_hr REAL,
    time_left_error_min REAL
);
CREATE INDEX IF NOT EXISTS idx_estimate_tracking_estimate_ts
    ON estimate_tracking(estimate_timestamp DESC);
CREATE INDEX IF NOT EXISTS idx_estimate_tracking_status_ts
    ON estimate_tracking(evaluation_status, estimate_timestamp DESC);)";

// Histories written before a battery's level could be absent hold it NOT NULL. The table is
// renamed aside, made again, and its rows copied back: the columns are the same, in order.
constexpr const char* batteryLevelRequired =
    "SELECT \"notnull\" FROM pragma_table_info('battery_status_samples')\n"
    "WHERE name = 'level_percent';";
constexpr const char* setBatteryTableAside =
    "ALTER TABLE battery_status_samples RENAME TO battery_status_samples_level_required;";
constexpr const char* copyBatteryRowsBack =
    "INSERT INTO battery_status_samples SELECT * FROM battery_status_samples_level_required;\n"
    "DROP TABLE battery_status_samples_level_required;";

constexpr const char* readVersion =
    "SELECT value FROM schema_metadata WHERE key = 'snapshot_schema_version' LIMIT 1;";
constexpr const char* writeVersion =
    "INSERT INTO schema_metadata(key, value) VALUES('snapshot_schema_version', ?)\n"
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value;";

// Under the shared root, folders are made for every user: sticky and world-writable (1777), so
// that no user can remove or replace another user's file there, and the files 0666. Everything
// else is private to its user: folders 0700, files 0600, which the umask may only narrow.
constexpr mode_t sharedDirectoryMode = 01777;
constexpr mode_t sharedFileMode = 0666;
constexpr mode_t privateDirectoryMode = 0700;
constexpr mode_t privateFileMode = 0600;

bool isUnderSharedRoot(const std::filesystem::path& path) {
    const std::string root = sharedRoot();
    const std::string text = path.lexically_normal().string();
    return text == root || text.starts_with(root + "/");
}

// Creates each missing folder of the chain; a folder that exists keeps its mode. A shared folder
// gets its mode through a descriptor opened without following links, so a link planted in its
// place between mkdir and chmod is never widened.
void createDirectoryChain(const std::filesystem::path& directory, bool shared) {
    if (directory.empty() || std::filesystem::is_directory(directory)) return;
    createDirectoryChain(directory.parent_path(), shared);
    // Folders above the shared root (made by whoever installs it) only need to be traversable.
    const bool widened = shared && isUnderSharedRoot(directory);
    const mode_t mode = widened ? sharedDirectoryMode : shared ? 0755 : privateDirectoryMode;
    if (::mkdir(directory.c_str(), mode) != 0) {
        if (errno == EEXIST && std::filesystem::is_directory(directory)) return;
        throw std::filesystem::filesystem_error("Cannot create directory", directory,
                                                std::error_code(errno, std::generic_category()));
    }
    if (!widened) return;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        ::fchmod(fd, sharedDirectoryMode);
        ::close(fd);
    }
}

std::string describeFileType(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

// The number of snapshots a schema reset is about to drop (0 when there is no table).
int64_t storedSnapshotCount(sqlite3* db) {
    try {
        SQLiteStatement count(db, "SELECT COUNT(*) FROM snapshots;");
        count.stepRow();
        return count.rowID(0);
    } catch (const SnapshotStoreError&) {
        return 0;
    }
}

}  // namespace

SQLiteSnapshotStore::SQLiteSnapshotStore(const std::string& path, Mode mode,
                                         std::string bundleIdentifierPrefix)
    : path_(path), bundleIdentifierPrefix_(std::move(bundleIdentifierPrefix)) {
    if (path.empty()) throw SnapshotStoreError::invalidPath();
    if (mode == Mode::readWriteCreate) prepareFilesystem(path);
    db_ = sqlite::open(checkedOpenPath(path), mode == Mode::readOnly, busyTimeoutMs);
    try {
        // SQLite opens a file it may not write read-only without a word; a writer must know at
        // once, before the first read leaves sidecar files behind.
        if (mode == Mode::readWriteCreate && sqlite::isReadOnly(db_))
            throw SnapshotStoreFileError(path + " is read-only for this user");
        configureConnection(db_, mode);
        if (mode == Mode::readWriteCreate) ensureSchema(db_);
    } catch (...) {
        sqlite::close(db_);
        throw;
    }
}

SQLiteSnapshotStore::~SQLiteSnapshotStore() {
    sqlite::close(db_);
}

std::string SQLiteSnapshotStore::checkedOpenPath(const std::string& path) {
    const std::filesystem::path file = std::filesystem::absolute(path).lexically_normal();
    const std::filesystem::path folder = file.parent_path();
    struct stat status {};
    if (::lstat(folder.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
        throw SnapshotStoreFileError(folder.string() + " is a symbolic link; a history is never "
                                                       "opened through a link");
    if (::lstat(file.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode))
            throw SnapshotStoreFileError(path + " is a symbolic link; a history is never opened "
                                                "through a link");
        if (!S_ISREG(status.st_mode))
            throw SnapshotStoreFileError(path + " is " + describeFileType(status.st_mode) +
                                         ", not a history database file");
    }
    // SQLITE_OPEN_NOFOLLOW refuses a link anywhere in the name: the folders above the
    // database's own folder are resolved first, since they may fairly be links (a home on
    // another disk). The own folder and the file stay as checked, and a link swapped in after
    // the check is refused by SQLite itself.
    if (folder == folder.root_path()) return file.string();
    char* resolved = ::realpath(folder.parent_path().c_str(), nullptr);
    if (resolved == nullptr) return file.string();
    const std::filesystem::path above(resolved);
    ::free(resolved);
    return (above / folder.filename() / file.filename()).string();
}

// BEGIN alone defers the snapshot to the first read; reading the schema takes it at once.
void SQLiteSnapshotStore::beginRead() {
    std::lock_guard hold(lock_);
    sqlite::executeBatch(db_, "BEGIN;\nSELECT COUNT(*) FROM sqlite_schema;");
}

void SQLiteSnapshotStore::endRead() {
    std::lock_guard hold(lock_);
    sqlite::executeBatch(db_, "COMMIT;");
}

std::optional<int64_t> SQLiteSnapshotStore::snapshotSchemaVersion() {
    std::lock_guard hold(lock_);
    return readSnapshotSchemaVersion(db_);
}

void SQLiteSnapshotStore::prepareFilesystem(const std::string& databasePath) {
    const std::filesystem::path file = std::filesystem::absolute(databasePath).lexically_normal();
    const bool shared = isUnderSharedRoot(file);
    createDirectoryChain(file.parent_path(), shared);
    // Neither the folder nor the file is reached through a planted link; an existing file is left
    // as it is. Whatever fails here, the path check and the open that follow report.
    const int folder =
        ::open(file.parent_path().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) return;
    const mode_t mode = shared ? sharedFileMode : privateFileMode;
    const int fd = ::openat(folder, file.filename().c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    ::close(folder);
    if (fd < 0) return;
    if (shared) ::fchmod(fd, mode);
    ::close(fd);
}

void SQLiteSnapshotStore::configureConnection(sqlite3* db, Mode mode) {
    sqlite::executeBatch(db, connectionPragmas);
    if (mode == Mode::readWriteCreate)
        sqlite::executeBatchWhenFree(db, writerPragmas, busyTimeoutMs);
}

// One IMMEDIATE transaction: two processes opening the same file at once cannot both see an old
// version, and the second cannot drop tables (and snapshots) that the first has just created.
void SQLiteSnapshotStore::ensureSchema(sqlite3* db) {
    sqlite::executeBatch(db, "BEGIN IMMEDIATE TRANSACTION;");
    std::optional<int64_t> previousVersion;
    int64_t droppedSnapshots = 0;
    bool reset = false;
    try {
        sqlite::executeBatch(db, createSchemaMetadata);
        previousVersion = readSnapshotSchemaVersion(db);
        // A newer build's history is refused, never dropped: its snapshots are not ours to lose.
        if (previousVersion && *previousVersion > schemaVersion) {
            throw SnapshotStoreFileError(
                "the history was written by a newer version (schema version " +
                std::to_string(*previousVersion) + "; this build reads " +
                std::to_string(schemaVersion) + ")");
        }
        if (previousVersion != schemaVersion) {
            droppedSnapshots = storedSnapshotCount(db);
            resetSnapshotTables(db);
            createSnapshotTables(db);
            writeSnapshotSchemaVersion(db, schemaVersion);
            reset = true;
        } else {
            relaxBatteryLevel(db);
        }
        sqlite::executeBatch(db, createEstimateTracking);
        sqlite::executeBatch(db, "COMMIT;");
    } catch (...) {
        sqlite::executeIgnoringResult(db, "ROLLBACK;");
        throw;
    }
    if (reset && (previousVersion || droppedSnapshots > 0)) {
        RuntimeLog::warn(
            "Storage",
            "history schema version " +
                (previousVersion ? std::to_string(*previousVersion) : std::string("(none)")) +
                " replaced by version " + std::to_string(schemaVersion) + ": " +
                std::to_string(droppedSnapshots) + " snapshots dropped, the estimate log kept");
    }
}

std::optional<int64_t> SQLiteSnapshotStore::readSnapshotSchemaVersion(sqlite3* db) {
    SQLiteStatement statement(db, readVersion);
    if (!statement.next() || statement.isNull(0)) return std::nullopt;
    const std::string text = statement.text(0);
    int64_t version = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), version);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return version;
}

void SQLiteSnapshotStore::resetSnapshotTables(sqlite3* db) {
    sqlite::executeBatch(db, dropSnapshotTables);
}

void SQLiteSnapshotStore::writeSnapshotSchemaVersion(sqlite3* db, int version) {
    SQLiteStatement statement(db, writeVersion);
    statement.bindText(1, std::to_string(version));
    statement.stepDone();
}

void SQLiteSnapshotStore::createSnapshotTables(sqlite3* db) {
    sqlite::executeBatch(db, createSnapshotTablesBatch);
}

void SQLiteSnapshotStore::relaxBatteryLevel(sqlite3* db) {
    {
        SQLiteStatement required(db, batteryLevelRequired);
        if (!required.next() || !required.boolean(0)) return;
    }
    sqlite::executeBatch(db, setBatteryTableAside);
    createSnapshotTables(db);
    sqlite::executeBatch(db, copyBatteryRowsBack);
}

}  // namespace joulix
