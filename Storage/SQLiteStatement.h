#pragma once
// The store's only door to SQLite: one compiled statement that is finalized on every path, and
// the few connection calls the store needs. Binding indexes start at 1, column indexes at 0.
// Dates are bound and read as REAL seconds since 1970; booleans as 0/1; row ids as 64-bit and
// every other integer as 32-bit (a value outside that range is refused, naming its column);
// absent optionals as NULL. Every failure throws SnapshotStoreError::sqlite with the
// connection's message.
#include "SharedModels/Date.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace joulix {

class SQLiteStatement {
  public:
    // Compiles the full text; throws when it does not compile.
    SQLiteStatement(sqlite3* db, std::string_view sql);
    ~SQLiteStatement();
    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    void bindReal(int index, double value);
    void bindReal(int index, std::optional<double> value);
    void bindBool(int index, bool value);
    void bindBool(int index, std::optional<bool> value);
    void bindInt32(int index, int64_t value, std::string_view column);
    void bindInt32(int index, std::optional<int64_t> value, std::string_view column);
    void bindRowID(int index, int64_t value);
    // Copied by SQLite (transient).
    void bindText(int index, std::string_view value);
    void bindText(int index, const std::string& value);
    void bindText(int index, const std::optional<std::string>& value);
    void bindDate(int index, Date value);
    void bindDate(int index, std::optional<Date> value);
    void bindNull(int index);

    // A write: the step must finish (SQLITE_DONE).
    void stepDone();
    // A single-row query: the step must yield a row.
    void stepRow();
    // A multi-row query: true while the step yields a row, false at the end; any other result
    // throws.
    bool next();
    // Ready for another use with fresh bindings.
    void reset();

    bool isNull(int column) const;
    double real(int column) const;
    bool boolean(int column) const;
    int32_t int32(int column) const;
    int64_t rowID(int column) const;
    std::string text(int column) const;  // empty for NULL
    // The same text without a copy, valid until the next step or reset.
    std::string_view textView(int column) const;
    Date date(int column) const;
    std::optional<double> optionalReal(int column) const;
    std::optional<bool> optionalBool(int column) const;
    std::optional<int64_t> optionalInt32(int column) const;
    std::optional<std::string> optionalText(int column) const;
    std::optional<Date> optionalDate(int column) const;

  private:
    void check(int resultCode);

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

namespace sqlite {

// The connection's last error message, or "Unknown SQLite error".
std::string errorMessage(sqlite3* db);
// Opens with READWRITE|CREATE|FULLMUTEX, or for reading only (READWRITE with every write refused
// when the file is writable, else READONLY), never following a link at the path, and sets the
// busy timeout.
sqlite3* open(const std::string& path, bool readOnly, int busyTimeoutMs);
// True when the connection cannot write its main database (SQLite opens a file it may not
// write read-only).
bool isReadOnly(sqlite3* db);
void close(sqlite3* db);
// Runs a batch of statements; throws on the first failure.
void executeBatch(sqlite3* db, const char* sql);
// Runs a batch of statements that may fail busy without the busy handler being asked (switching
// the journal to WAL while another connection holds the file), again until it passes or
// `timeoutMs` have gone by; throws on any other failure, or the last busy one.
void executeBatchWhenFree(sqlite3* db, const char* sql, int timeoutMs);
// Runs a statement, ignoring its outcome.
void executeIgnoringResult(sqlite3* db, const char* sql);
int64_t lastInsertRowID(sqlite3* db);
// Rows changed by the most recent write statement.
int64_t changes(sqlite3* db);
// Rows changed since the connection was opened.
int64_t totalChanges(sqlite3* db);

}  // namespace sqlite

}  // namespace joulix
