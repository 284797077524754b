#include "Storage/SQLiteStatement.h"

#include "Storage/SQLiteSnapshotStore.h"

#include <sqlite3.h>

#include <chrono>
#include <fcntl.h>
#include <limits>
#include <thread>
#include <unistd.h>

namespace joulix {

SQLiteStatement::SQLiteStatement(sqlite3* db, std::string_view sql) : db_(db) {
    // The length counts the terminating zero, as the statement conventions ask.
    const std::string text(sql);
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size() + 1), &statement_,
                           nullptr) != SQLITE_OK ||
        statement_ == nullptr) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
        throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
    }
}

SQLiteStatement::~SQLiteStatement() {
    sqlite3_finalize(statement_);
}

void SQLiteStatement::check(int resultCode) {
    if (resultCode != SQLITE_OK) throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
}

void SQLiteStatement::bindReal(int index, double value) {
    check(sqlite3_bind_double(statement_, index, value));
}

void SQLiteStatement::bindReal(int index, std::optional<double> value) {
    value ? bindReal(index, *value) : bindNull(index);
}

void SQLiteStatement::bindBool(int index, bool value) {
    check(sqlite3_bind_int(statement_, index, value ? 1 : 0));
}

void SQLiteStatement::bindBool(int index, std::optional<bool> value) {
    value ? bindBool(index, *value) : bindNull(index);
}

void SQLiteStatement::bindInt32(int index, int64_t value, std::string_view column) {
    if (value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        throw SnapshotStoreError::sqlite("Value " + std::to_string(value) + " of column " +
                                         std::string(column) + " does not fit in 32 bits");
    }
    check(sqlite3_bind_int(statement_, index, static_cast<int>(value)));
}

void SQLiteStatement::bindInt32(int index, std::optional<int64_t> value, std::string_view column) {
    value ? bindInt32(index, *value, column) : bindNull(index);
}

void SQLiteStatement::bindRowID(int index, int64_t value) {
    check(sqlite3_bind_int64(statement_, index, value));
}

void SQLiteStatement::bindText(int index, std::string_view value) {
    check(sqlite3_bind_text64(statement_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8));
}

void SQLiteStatement::bindText(int index, const std::string& value) {
    bindText(index, std::string_view(value));
}

void SQLiteStatement::bindText(int index, const std::optional<std::string>& value) {
    value ? bindText(index, std::string_view(*value)) : bindNull(index);
}

void SQLiteStatement::bindDate(int index, Date value) {
    bindReal(index, value.timeIntervalSince1970());
}

void SQLiteStatement::bindDate(int index, std::optional<Date> value) {
    value ? bindDate(index, *value) : bindNull(index);
}

void SQLiteStatement::bindNull(int index) {
    check(sqlite3_bind_null(statement_, index));
}

void SQLiteStatement::stepDone() {
    if (sqlite3_step(statement_) != SQLITE_DONE)
        throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
}

void SQLiteStatement::stepRow() {
    if (sqlite3_step(statement_) != SQLITE_ROW)
        throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
}

bool SQLiteStatement::next() {
    // A row, or the end of the rows; anything else (a damaged page, a busy file) fails the read
    // rather than passing for a shorter result.
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    throw SnapshotStoreError::sqlite(sqlite::errorMessage(db_));
}

void SQLiteStatement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

bool SQLiteStatement::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

double SQLiteStatement::real(int column) const {
    return sqlite3_column_double(statement_, column);
}

bool SQLiteStatement::boolean(int column) const {
    return sqlite3_column_int(statement_, column) != 0;
}

int32_t SQLiteStatement::int32(int column) const {
    return sqlite3_column_int(statement_, column);
}

int64_t SQLiteStatement::rowID(int column) const {
    return sqlite3_column_int64(statement_, column);
}

std::string SQLiteStatement::text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    if (bytes == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(bytes),
                       static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

std::string_view SQLiteStatement::textView(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    if (bytes == nullptr) return {};
    return {reinterpret_cast<const char*>(bytes),
            static_cast<size_t>(sqlite3_column_bytes(statement_, column))};
}

Date SQLiteStatement::date(int column) const {
    return Date::fromTimeIntervalSince1970(real(column));
}

std::optional<double> SQLiteStatement::optionalReal(int column) const {
    if (isNull(column)) return std::nullopt;
    return real(column);
}

std::optional<bool> SQLiteStatement::optionalBool(int column) const {
    if (isNull(column)) return std::nullopt;
    return boolean(column);
}

std::optional<int64_t> SQLiteStatement::optionalInt32(int column) const {
    if (isNull(column)) return std::nullopt;
    return int32(column);
}

std::optional<std::string> SQLiteStatement::optionalText(int column) const {
    if (isNull(column)) return std::nullopt;
    return text(column);
}

std::optional<Date> SQLiteStatement::optionalDate(int column) const {
    if (isNull(column)) return std::nullopt;
    return date(column);
}

namespace sqlite {

std::string errorMessage(sqlite3* db) {
    const char* message = db ? sqlite3_errmsg(db) : nullptr;
    return message && *message ? message : "Unknown SQLite error";
}

sqlite3* open(const std::string& path, bool readOnly, int busyTimeoutMs) {
    // A reader opens a file it may write read-write with every write refused (query_only): the
    // last connection to close then folds the WAL back and removes the "-wal" and "-shm" files it
    // made, which a read-only connection cannot do, so a reader never leaves its own sidecar
    // files in another user's folder. A link at the path is never followed. A reader's connection
    // takes no mutex of SQLite's own: the store's lock already serialises every use of it, and
    // SQLite's locking costs a fifth of a long read.
    const bool readerMayWrite =
        readOnly && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
    const int flags = readerMayWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX
                      : readOnly
                          ? SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX
                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
        const std::string message = errorMessage(db);
        sqlite3_close(db);
        throw SnapshotStoreError::sqlite(message);
    }
    if (db == nullptr) throw SnapshotStoreError::sqlite("Failed to open SQLite database.");
    sqlite3_busy_timeout(db, busyTimeoutMs);
    if (readerMayWrite) {
        std::string message;
        if (sqlite3_exec(db, "PRAGMA query_only = ON;", nullptr, nullptr, nullptr) != SQLITE_OK) {
            message = errorMessage(db);
            sqlite3_close(db);
            throw SnapshotStoreError::sqlite(message);
        }
    }
    return db;
}

bool isReadOnly(sqlite3* db) {
    return sqlite3_db_readonly(db, "main") == 1;
}

void close(sqlite3* db) {
    sqlite3_close_v2(db);
}

namespace {

// The batch's result code; on failure `message` holds SQLite's text.
int runBatch(sqlite3* db, const char* sql, std::string& message) {
    char* error = nullptr;
    const int result = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (result != SQLITE_OK) message = error && *error ? error : errorMessage(db);
    sqlite3_free(error);
    return result;
}

}  // namespace

void executeBatch(sqlite3* db, const char* sql) {
    std::string message;
    if (runBatch(db, sql, message) != SQLITE_OK) throw SnapshotStoreError::sqlite(message);
}

void executeBatchWhenFree(sqlite3* db, const char* sql, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        std::string message;
        const int result = runBatch(db, sql, message);
        if (result == SQLITE_OK) return;
        if ((result & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) {
            throw SnapshotStoreError::sqlite(message);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void executeIgnoringResult(sqlite3* db, const char* sql) {
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int64_t lastInsertRowID(sqlite3* db) {
    return sqlite3_last_insert_rowid(db);
}

int64_t changes(sqlite3* db) {
    return sqlite3_changes64(db);
}

int64_t totalChanges(sqlite3* db) {
    return sqlite3_total_changes64(db);
}

}  // namespace sqlite

}  // namespace joulix
