#pragma once
// What the parts of the vault table share inside the store: the SQL they
// send (only these constants, and the filter's constant fragments, ever
// reach the engine; values always go in as bound parameters) and the small
// helpers around the engine. Not for use outside TVaultTable.
#include "store/VaultTable.h"

#include "platform/Cleanup.h"
#include "platform/Text.h"
#include "store/VaultVfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <tuple>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace vaultengine {

static_assert(vaultfile::kApplicationId == 1196245592, "PRAGMA application_id below must match");
static_assert(vaultfile::kFormatVersion == 1, "PRAGMA user_version below must match");

// auto_vacuum must precede the first table. Incremental: freed pages are
// given back when the table closes with many of them (TrimFreePages), not at
// every command's commit, which would move and journal pages each time.
constexpr const char* kNewDatabaseSql =
    "PRAGMA auto_vacuum = INCREMENTAL;"
    "PRAGMA application_id = 1196245592;"
    "PRAGMA user_version = 1;";
// The table as we make it; a vault's own must say the same (normalised).
constexpr const char* kCreateImagesSql =
    "CREATE TABLE Images ("
    " FileName TEXT NOT NULL COLLATE BINARY,"
    " DimX INTEGER NOT NULL,"
    " DimY INTEGER NOT NULL,"
    " Image BLOB NOT NULL,"
    " ImageType TEXT NOT NULL COLLATE BINARY,"
    " CONSTRAINT CDSIndex2 PRIMARY KEY (FileName, ImageType))";

// A vault: rollback journal beside it, deleted at every commit so that no
// side file outlives a write; full syncs. The page cache is bounded: pages
// changed beyond it spill into the vault file, their old contents already
// synced to the journal, which restores them after a crash. Deleting clears
// the records' own pages but does not zero every freed page of an image
// (some systems' engines do by default): that would journal and rewrite
// each deleted image whole, ten times the cost of the delete.
constexpr const char* kVaultConnectionSql =
    "PRAGMA journal_mode = DELETE; PRAGMA synchronous = FULL; PRAGMA cache_size = -32768; PRAGMA secure_delete = FAST;";
// A vault that may not be changed: reading only.
constexpr const char* kReadOnlyConnectionSql = "PRAGMA cache_size = -32768;";
// A temporary database needs no crash safety, only statement rollback.
constexpr const char* kTemporaryConnectionSql =
    "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF; PRAGMA cache_size = -32768;";
// A new file beside a Save As target is synced and renamed once written.
constexpr const char* kNewFileConnectionSql =
    "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -32768;";
// Vaults made with full auto-vacuum switch to incremental (allowed without
// a rebuild), written with their first command.
constexpr const char* kIncrementalVacuumSql = "PRAGMA auto_vacuum = INCREMENTAL";
constexpr int kFullAutoVacuum = 1;

// The number a pragma answers, -1 when it answers none.
inline int64_t PragmaValue(sqlite3* db, const char* pragma)
{
    sqlite3_stmt* s = nullptr;
    int64_t value = -1;
    if (sqlite3_prepare_v2(db, pragma, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return value;
}
constexpr const char* kBegin = "BEGIN";
constexpr const char* kBeginImmediate = "BEGIN IMMEDIATE";
constexpr const char* kCommit = "COMMIT";
constexpr const char* kRollback = "ROLLBACK";
constexpr const char* kSelectAll = "SELECT rowid, FileName, DimX, DimY, Image, ImageType FROM Images ORDER BY rowid";
constexpr const char* kInsertWithRowid =
    "INSERT INTO Images (rowid, FileName, DimX, DimY, Image, ImageType) VALUES (?, ?, ?, ?, ?, ?)";

// How long a write-back waits for programs that are reading the vault.
constexpr int kBusyWaitMs = 5000;

constexpr const char* kSelectRecord = "SELECT rowid, FileName, DimX, DimY, ImageType FROM Images";
constexpr const char* kAscending = " ORDER BY FileName, ImageType LIMIT 1";
constexpr const char* kDescending = " ORDER BY FileName DESC, ImageType DESC LIMIT 1";
constexpr const char* kAfterKey = "(FileName, ImageType) > (?, ?)";
constexpr const char* kBeforeKey = "(FileName, ImageType) < (?, ?)";
constexpr const char* kCount = "SELECT count(*) FROM Images";
constexpr const char* kNoTail = "";
constexpr const char* kSelectImage = "SELECT Image FROM Images WHERE rowid = ?";
constexpr const char* kSelectImageLength = "SELECT length(Image) FROM Images WHERE rowid = ?";
constexpr const char* kInsert =
    "INSERT INTO Images (FileName, DimX, DimY, Image, ImageType) VALUES (?, ?, ?, ?, ?)";
constexpr const char* kUpdateWithImage =
    "UPDATE Images SET FileName = ?, DimX = ?, DimY = ?, Image = ?, ImageType = ? WHERE rowid = ?";
constexpr const char* kUpdateWithoutImage =
    "UPDATE Images SET FileName = ?, DimX = ?, DimY = ?, ImageType = ? WHERE rowid = ?";
constexpr const char* kDelete = "DELETE FROM Images WHERE rowid = ?";
constexpr const char* kSelectKeys = "SELECT rowid, FileName, DimX, DimY, ImageType FROM Images ORDER BY rowid";
constexpr const char* kSelectKeyAndImage = "SELECT FileName, ImageType, Image FROM Images WHERE rowid = ?";
constexpr const char* kUpdateImage = "UPDATE Images SET Image = ? WHERE rowid = ?";
constexpr const char* kSavepoint = "SAVEPOINT gmb_atomic";
constexpr const char* kRollbackToSavepoint = "ROLLBACK TO gmb_atomic";
constexpr const char* kReleaseSavepoint = "RELEASE gmb_atomic";
constexpr const char* kLocateHead = "SELECT rowid, FileName, DimX, DimY, ImageType FROM Images WHERE ";
constexpr const char* kLocateTail = " ORDER BY FileName, ImageType LIMIT 1";
constexpr const char* kSameTextFunction = "gmb_sametext";
constexpr const char* kLocateEquals = " = ?";
constexpr const char* kLocateSameTextHead = "gmb_sametext(";
constexpr const char* kLocateSameTextTail = ", ?)";

// Schema checks of a loaded file.
constexpr const char* kHasTable = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'Images'";
// Anything besides the table and the index of its key (triggers, views,
// other indexes or tables) would run or constrain inside our engine.
constexpr const char* kForeignObjects =
    "SELECT count(*) FROM sqlite_master WHERE NOT (type = 'table' AND name = 'Images')"
    " AND NOT (type = 'index' AND tbl_name = 'Images' AND sql IS NULL"
    " AND name IN (SELECT name FROM pragma_index_list('Images') WHERE origin = 'pk'))";
constexpr const char* kTableInfo = "SELECT name, type, \"notnull\", pk FROM pragma_table_info('Images') ORDER BY cid";
constexpr const char* kPrimaryIndex = "SELECT name FROM pragma_index_list('Images') WHERE origin = 'pk'";
constexpr const char* kIndexKeys = "SELECT name, coll FROM pragma_index_xinfo(?) WHERE key = 1 ORDER BY seqno";
constexpr const char* kRowidProbe = "SELECT rowid FROM Images LIMIT 0";
constexpr const char* kTableSql = "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'Images'";

struct ColumnShape {
    const char* name;
    const char* type;
    int primaryKeyPosition;
};
constexpr ColumnShape kShape[kVaultFieldCount] = {
    {"FileName", "TEXT", 1}, {"DimX", "INTEGER", 0}, {"DimY", "INTEGER", 0}, {"Image", "BLOB", 0}, {"ImageType", "TEXT", 2},
};

inline bool IsTextField(int i) { return i == 0 || i == 4; }

inline std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

inline std::string ColumnText(sqlite3_stmt* stmt, int column)
{
    const auto* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                : std::string();
}

inline void SameTextSql(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    const auto* a = sqlite3_value_text(argv[0]);
    const int aBytes = sqlite3_value_bytes(argv[0]);
    const auto* b = sqlite3_value_text(argv[1]);
    const int bBytes = sqlite3_value_bytes(argv[1]);
    if (!a || !b) {
        sqlite3_result_int(ctx, 0);
        return;
    }
    if (aBytes == bBytes && std::memcmp(a, b, static_cast<size_t>(aBytes)) == 0) {
        sqlite3_result_int(ctx, 1);
        return;
    }
    const std::string sa(reinterpret_cast<const char*>(a), static_cast<size_t>(aBytes));
    const std::string sb(reinterpret_cast<const char*>(b), static_cast<size_t>(bBytes));
    sqlite3_result_int(ctx, SameText(sa, sb) ? 1 : 0);
}

// Resets a cached statement whatever way its use ends.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~StatementUse()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    sqlite3_stmt* operator*() const { return stmt_; }

private:
    sqlite3_stmt* stmt_;
};

struct ConnectionCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

inline std::string ReplacedMessage(const std::string& vault)
{
    return Format("Cannot write vault \"%s\": another program replaced or removed the file since it was opened; "
                  "nothing was written to it.",
                  vault.c_str());
}

// A table's SQL as tokens joined by blanks: keywords and names in lower
// case, quotes around names dropped, and the two spellings that change
// nothing (COLLATE BINARY, a name for the key's constraint) left out. A
// literal is kept as it stands: no vault's table has one.
inline std::string NormalisedTableSql(const std::string& sql)
{
    std::vector<std::string> tokens;
    for (size_t i = 0; i < sql.size();) {
        const unsigned char c = static_cast<unsigned char>(sql[i]);
        if (std::isspace(c)) {
            ++i;
        } else if (std::isalnum(c) || c == '_') {
            size_t e = i;
            while (e < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[e])) || sql[e] == '_'))
                ++e;
            tokens.push_back(LowerCase(sql.substr(i, e - i)));
            i = e;
        } else if (c == '"' || c == '`' || c == '[' || c == '\'') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            const size_t e = sql.find(close, i + 1);
            if (e == std::string::npos)
                return sql; // not SQL the engine would have taken
            const std::string inner = sql.substr(i + 1, e - i - 1);
            tokens.push_back(c == '\'' ? sql.substr(i, e - i + 1) : LowerCase(inner));
            i = e + 1;
        } else {
            tokens.emplace_back(1, static_cast<char>(c));
            ++i;
        }
    }
    std::string out;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] == "collate" && i + 1 < tokens.size() && tokens[i + 1] == "binary") {
            ++i;
            continue;
        }
        if (tokens[i] == "constraint" && i + 2 < tokens.size() && tokens[i + 2] == "primary") {
            ++i;
            continue;
        }
        out += tokens[i];
        out += ' ';
    }
    return out;
}

inline bool IsDamage(int rc) { return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB; }

// Runs sql; the engine's result code.
inline int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

inline std::string ParentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string EngineMessage(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

// Why the engine could not read the vault at path: a vault nobody may write
// whose journal a crash left cannot be played back here.
inline std::string RefusalReason(sqlite3* db, const std::string& path)
{
    struct stat side {};
    if ((sqlite3_extended_errcode(db) & 0xFF) == SQLITE_READONLY &&
        ::stat((vaultfile::ResolvedPath(path) + "-journal").c_str(), &side) == 0)
        return "it needs recovery after a crash, which only someone allowed to change the file can do";
    if (IsDamage(sqlite3_extended_errcode(db)))
        return std::string("the file is damaged (") + sqlite3_errmsg(db) + ")";
    return EngineMessage(db);
}

// Opens a connection through our file layer; raises message + the engine's
// reason on failure.
inline Connection OpenEngine(const std::string& file, int flags, const std::string& message)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, vaultvfs::Name());
    Connection db(raw);
    if (rc != SQLITE_OK)
        throw EDatabaseError(message + ": " + EngineMessage(raw));
    sqlite3_extended_result_codes(raw, 1);
    return db;
}

// Copies every record (row ids kept) from one connection into another that
// holds an empty table; reports the image bytes copied after each record.
inline void CopyRecords(sqlite3* from, sqlite3* to, const std::string& what, const std::function<void(int64_t)>& progress)
{
    auto failed = [&](sqlite3* db) { throw EDatabaseError(what + ": " + EngineMessage(db)); };
    struct Finalizer {
        sqlite3_stmt* s = nullptr;
        ~Finalizer() { sqlite3_finalize(s); }
    } read, write;
    if (sqlite3_prepare_v2(from, kSelectAll, -1, &read.s, nullptr) != SQLITE_OK)
        failed(from);
    if (sqlite3_prepare_v2(to, kInsertWithRowid, -1, &write.s, nullptr) != SQLITE_OK)
        failed(to);
    if (Exec(to, kBegin) != SQLITE_OK)
        failed(to);
    int64_t copied = 0;
    int rc;
    while ((rc = sqlite3_step(read.s)) == SQLITE_ROW) {
        for (int c = 0; c < 6; ++c)
            if (sqlite3_bind_value(write.s, c + 1, sqlite3_column_value(read.s, c)) != SQLITE_OK)
                failed(to);
        if (sqlite3_step(write.s) != SQLITE_DONE)
            failed(to);
        sqlite3_reset(write.s);
        copied += sqlite3_column_bytes(read.s, 4);
        if (progress)
            progress(copied);
    }
    if (rc != SQLITE_DONE)
        failed(from);
    if (Exec(to, kCommit) != SQLITE_OK)
        failed(to);
}

// Creates the empty vault table (and its marks) in a new database.
inline void CreateSchema(sqlite3* db, const std::string& what)
{
    if (Exec(db, kNewDatabaseSql) != SQLITE_OK || Exec(db, kCreateImagesSql) != SQLITE_OK)
        throw EDatabaseError(what + ": Cannot create the table: " + EngineMessage(db));
}


// The probe of TVaultTable::SetWriteProbe.
TWriteProbe& WriteProbe();

} // namespace vaultengine

// The prepared statements of one connection.
struct TVaultTable::TStatementCache {
    TStatementCache() = default;
    ~TStatementCache()
    {
        for (auto& entry : statements)
            sqlite3_finalize(entry.second);
    }
    TStatementCache(const TStatementCache&) = delete;
    TStatementCache& operator=(const TStatementCache&) = delete;
    std::map<std::string, sqlite3_stmt*> statements;
};

