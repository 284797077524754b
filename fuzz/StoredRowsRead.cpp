// Stored rows of any value and type: the input fills the store's tables with fuzzed rows (each
// value NULL, an integer, a real or text of any bytes) behind the store's back, then every read
// runs over them. Reads either return or throw SnapshotStoreError; nothing else.
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteStatement.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

namespace joulix {

// Reaches the store's private window queries.
class SQLiteSnapshotStoreProbe {
  public:
    static void readWindow(SQLiteSnapshotStore& store, double cutoff, double anchor) {
        std::lock_guard hold(store.lock_);
        store.fetchDetailsWindowSummary(cutoff, anchor);
        store.fetchWindowSnapshotRows(cutoff, anchor);
        store.fetchGroupedProcessWindowRows(cutoff, anchor);
        store.fetchGroupedHiddenWindowRows(cutoff, anchor);
        if (const auto latest = store.latestSnapshotSummaryRow()) store.fetchSnapshot(latest->id);
    }
};

}  // namespace joulix

namespace {

using namespace joulix;

// A scratch directory for the whole run, removed at exit.
struct ScratchDirectory {
    ScratchDirectory() {
        char pattern[] = "/tmp/jlx-fuzz-store-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    bool empty() const { return offset_ >= size_; }
    uint8_t byte() { return empty() ? 0 : data_[offset_++]; }
    template <class T> T value() {
        T result{};
        std::array<uint8_t, sizeof(T)> bytes{};
        for (auto& b : bytes)
            b = byte();
        std::memcpy(&result, bytes.data(), sizeof(T));
        return result;
    }
    std::string_view text() {
        const size_t length = std::min<size_t>(byte(), size_ - std::min(offset_, size_));
        const std::string_view piece(reinterpret_cast<const char*>(data_ + offset_), length);
        offset_ += length;
        return piece;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

struct Table {
    const char* name;
    int columns;
};
constexpr std::array<Table, 7> tables{{{"snapshots", 23},
                                       {"process_samples", 10},
                                       {"process_source_flags", 4},
                                       {"hidden_drains", 4},
                                       {"battery_status_samples", 22},
                                       {"estimate_tracking", 19},
                                       {"schema_metadata", 2}}};

void bindFuzzedValue(SQLiteStatement& statement, int index, Input& input) {
    switch (input.byte() % 6) {
    case 0:
        statement.bindNull(index);
        break;
    case 1:
        statement.bindRowID(index, input.value<int64_t>());
        break;
    case 2:
        statement.bindReal(index, input.value<double>());
        break;
    case 3:
        statement.bindText(index, input.text());
        break;
    case 4:
        statement.bindRowID(index, static_cast<int8_t>(input.byte()));
        break;
    default:
        statement.bindReal(index, 1.7e9 + input.byte());
        break;
    }
}

void insertFuzzedRows(sqlite3* db, Input& input) {
    while (!input.empty()) {
        const Table& table = tables[input.byte() % tables.size()];
        std::string sql = std::string("INSERT INTO ") + table.name + " VALUES (?";
        for (int i = 1; i < table.columns; ++i)
            sql += ", ?";
        SQLiteStatement statement(db, sql + ");");
        for (int i = 1; i <= table.columns; ++i)
            bindFuzzedValue(statement, i, input);
        try {
            statement.stepDone();
        } catch (const SnapshotStoreError&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchDirectory scratch;
    if (scratch.path.empty()) return 0;
    const std::string path = scratch.path + "/history.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);

    SQLiteSnapshotStore store(path, SQLiteSnapshotStore::Mode::readWriteCreate);
    Input input(data, size);
    sqlite3* db = sqlite::open(path, false, 5000);
    insertFuzzedRows(db, input);
    sqlite::close(db);
    try {
        store.fetchLatest(100);
        store.fetchHistoryReadModel(100);
        store.fetchWindowSnapshots(1e12, 50, std::nullopt);
        store.fetchDetailsReadModel(1e12, 6, std::nullopt, DrainSnapshot{});
        store.fetchPowerSourceCounts(1e12, std::nullopt);
        store.fetchEstimateRows(100);
        store.fetchPendingEstimates(100);
        store.snapshotSchemaVersion();
        SQLiteSnapshotStoreProbe::readWindow(store, -1e300, 1e300);
    } catch (const SnapshotStoreError&) {
    }
    return 0;
}
