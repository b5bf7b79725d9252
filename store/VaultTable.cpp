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

namespace {

// ---- SQL: only these constants (and the filter's constant fragments) ever
// reach the engine; values always go in as bound parameters.

static_assert(vaultfile::kApplicationId == 1196245592, "PRAGMA application_id below must match");
static_assert(vaultfile::kFormatVersion == 1, "PRAGMA user_version below must match");

// auto_vacuum must precede the first table: it keeps freed pages from
// piling up in the file when images are deleted.
constexpr const char* kNewDatabaseSql =
    "PRAGMA auto_vacuum = FULL;"
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
// synced to the journal, which restores them after a crash.
constexpr const char* kVaultConnectionSql =
    "PRAGMA journal_mode = DELETE; PRAGMA synchronous = FULL; PRAGMA cache_size = -32768;";
// A vault that may not be changed: reading only.
constexpr const char* kReadOnlyConnectionSql = "PRAGMA cache_size = -32768;";
// A temporary database needs no crash safety, only statement rollback.
constexpr const char* kTemporaryConnectionSql =
    "PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF; PRAGMA cache_size = -32768;";
// A new file beside a Save As target is synced and renamed once written.
constexpr const char* kNewFileConnectionSql =
    "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -32768;";
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

bool IsTextField(int i) { return i == 0 || i == 4; }

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

std::string ColumnText(sqlite3_stmt* stmt, int column)
{
    const auto* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
                : std::string();
}

void SameTextSql(sqlite3_context* ctx, int, sqlite3_value** argv)
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

std::string ReplacedMessage(const std::string& vault)
{
    return Format("Cannot write vault \"%s\": another program replaced or removed the file since it was opened; "
                  "nothing was written to it.",
                  vault.c_str());
}

// A table's SQL as tokens joined by blanks: keywords and names in lower
// case, quotes around names dropped, and the two spellings that change
// nothing (COLLATE BINARY, a name for the key's constraint) left out. A
// literal is kept as it stands: no vault's table has one.
std::string NormalisedTableSql(const std::string& sql)
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

bool IsDamage(int rc) { return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB; }

// Runs sql; the engine's result code.
int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string EngineMessage(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

// Why the engine could not read the vault at path: a vault nobody may write
// whose journal a crash left cannot be played back here.
std::string RefusalReason(sqlite3* db, const std::string& path)
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
Connection OpenEngine(const std::string& file, int flags, const std::string& message)
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
void CopyRecords(sqlite3* from, sqlite3* to, const std::string& what, const std::function<void(int64_t)>& progress)
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
void CreateSchema(sqlite3* db, const std::string& what)
{
    if (Exec(db, kNewDatabaseSql) != SQLITE_OK || Exec(db, kCreateImagesSql) != SQLITE_OK)
        throw EDatabaseError(what + ": Cannot create the table: " + EngineMessage(db));
}

} // namespace

// ---- statement cache -------------------------------------------------------

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

namespace {
TWriteProbe& WriteProbe()
{
    static TWriteProbe probe;
    return probe;
}
} // namespace

void TVaultTable::SetWriteProbe(TWriteProbe probe)
{
    vaultvfs::SetProbe(probe);
    WriteProbe() = std::move(probe);
}

// ---- fields ----------------------------------------------------------------

bool TField::IsNull() const
{
    const auto* slot = table_.ReadSlot(index_);
    return !slot || slot->null;
}

void TField::Clear() { table_.WriteSlot(*this) = {}; }

std::string TStringField::AsString() const
{
    const auto* slot = table_.ReadSlot(Index());
    return slot && !slot->null ? slot->text : std::string();
}

void TStringField::SetAsString(const std::string& value)
{
    auto& slot = table_.WriteSlot(*this);
    if (value.empty()) {
        slot = {};
        return;
    }
    slot.null = false;
    slot.text = width_ == TTextWidth::Utf8Bytes ? Utf8LeftBytes(value, size_) : Utf8Left(value, size_);
}

int TSmallintField::AsInteger() const
{
    const auto* slot = table_.ReadSlot(Index());
    return slot && !slot->null ? static_cast<int>(slot->number) : 0;
}

void TSmallintField::SetAsInteger(int64_t value)
{
    if (value < kMin || value > kMax)
        throw EDatabaseError(Format("%.15g is not a valid value for field '%s'. The allowed range is %.15g to %.15g",
                                    static_cast<double>(value), FieldName().c_str(), static_cast<double>(kMin),
                                    static_cast<double>(kMax)));
    auto& slot = table_.WriteSlot(*this);
    slot.null = false;
    slot.number = value;
}

void TBlobField::LoadFromStream(TStream& source)
{
    source.SetPosition(0);
    const int64_t size = source.Size();
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    source.ReadBuffer(bytes.data(), size);
    SetBytes(std::move(bytes));
}

void TBlobField::SetBytes(std::vector<uint8_t> bytes)
{
    auto& slot = table_.WriteSlot(*this);
    slot.null = false;
    slot.blobInDb = false;
    slot.bytes = std::move(bytes);
}

void TBlobField::SaveToStream(TStream& dest) const
{
    const auto* slot = table_.ReadSlot(Index());
    if (!slot || slot->null)
        return;
    if (slot->blobInDb)
        table_.FetchBlob(nullptr, &dest);
    else
        dest.WriteBuffer(slot->bytes.data(), static_cast<int64_t>(slot->bytes.size()));
}

int64_t TBlobField::BlobSize() const
{
    const auto* slot = table_.ReadSlot(Index());
    if (!slot || slot->null)
        return 0;
    if (!slot->blobInDb)
        return static_cast<int64_t>(slot->bytes.size());
    StatementUse use(table_.Statement(kSelectImageLength));
    sqlite3_bind_int64(*use, 1, table_.current_->rowid);
    return table_.Step(*use) ? sqlite3_column_int64(*use, 0) : 0;
}

std::vector<uint8_t> TBlobField::Tail(size_t n) const
{
    const auto* slot = table_.ReadSlot(Index());
    if (!slot || slot->null)
        return {};
    if (slot->blobInDb)
        return table_.FetchBlobTail(n);
    const size_t from = slot->bytes.size() - std::min(n, slot->bytes.size());
    return std::vector<uint8_t>(slot->bytes.begin() + static_cast<std::ptrdiff_t>(from), slot->bytes.end());
}

// ---- table -----------------------------------------------------------------

TVaultTable::TVaultTable(std::string name)
    : name_(std::move(name)),
      fileName_(*this, TFieldIndex::FileName, "FileName", kVaultNameBytes, TTextWidth::Utf8Bytes),
      dimX_(*this, TFieldIndex::DimX, "DimX"),
      dimY_(*this, TFieldIndex::DimY, "DimY"),
      image_(*this, TFieldIndex::Image, "Image"),
      imageType_(*this, TFieldIndex::ImageType, "ImageType", 1)
{
}

TVaultTable::~TVaultTable() { CloseConnection(); }

TField& TVaultTable::Field(TFieldIndex index)
{
    switch (index) {
    case TFieldIndex::FileName: return fileName_;
    case TFieldIndex::DimX: return dimX_;
    case TFieldIndex::DimY: return dimY_;
    case TFieldIndex::Image: return image_;
    case TFieldIndex::ImageType: break;
    }
    return imageType_;
}

TField& TVaultTable::FieldByName(const std::string& name)
{
    const std::string wanted = Trim(name);
    for (int i = 0; i < kVaultFieldCount; ++i)
        if (SameText(wanted, kVaultColumns[i]))
            return Field(static_cast<TFieldIndex>(i));
    throw EDatabaseError(Format("%s: Field '%s' not found", name_.c_str(), wanted.c_str()));
}

TDataSetState TVaultTable::State() const { return Active() ? state_ : TDataSetState::Inactive; }

[[noreturn]] void TVaultTable::EngineFailed() const
{
    // The engine refuses to write into a file that is no longer at its path.
    // (That is the first write of a command: nothing of it is pending.)
    if (db_ && sqlite3_extended_errcode(db_) == SQLITE_READONLY_DBMOVED && !dbPath_.empty())
        throw EVaultReplaced(ReplacedMessage(dbPath_));
    // An I/O error inside a statement can make the engine roll the whole
    // transaction back: the changes since the last write are gone then.
    if (db_ && !dbPath_.empty() && !readOnly_ && !lender_ && sqlite3_get_autocommit(db_) && HasChanges()) {
        const std::string reason = sqlite3_errmsg(db_);
        writtenMark_ = sqlite3_total_changes64(db_);
        const_cast<TVaultTable*>(this)->HoldVault();
        throw EDatabaseError(Format("Vault \"%s\": %s. The vault is as the last command left it; the changes of "
                                    "this command are lost.",
                                    dbPath_.c_str(), reason.c_str()));
    }
    if (db_ && IsDamage(sqlite3_extended_errcode(db_)) && !dbPath_.empty())
        throw EDatabaseError(Format("Vault \"%s\" is damaged: %s.", dbPath_.c_str(), sqlite3_errmsg(db_)));
    throw EDatabaseError(Format("%s: %s", name_.c_str(), db_ ? sqlite3_errmsg(db_) : "the table is closed"));
}

void TVaultTable::RequireActive() const
{
    if (!Active())
        throw EDatabaseError(Format("%s: Cannot perform this operation on a closed table", name_.c_str()));
}

sqlite3_stmt* TVaultTable::Statement(const std::string& sql)
{
    RequireActive();
    auto& cache = statements_->statements;
    if (auto it = cache.find(sql); it != cache.end())
        return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size() + 1), SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        EngineFailed();
    }
    cache.emplace(sql, stmt);
    return stmt;
}

bool TVaultTable::Step(sqlite3_stmt* stmt) const
{
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    EngineFailed();
}

void TVaultTable::Attach(sqlite3* db, const std::string& dbPath, const std::string& tempPath, bool readOnly)
{
    if (sqlite3_create_function_v2(db, kSameTextFunction, 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                   nullptr, SameTextSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw EDatabaseError(Format("%s: Cannot set up the table: %s", name_.c_str(), sqlite3_errmsg(db)));
    statements_ = std::make_unique<TStatementCache>();
    db_ = db;
    dbPath_ = dbPath;
    tempPath_ = tempPath;
    readOnly_ = readOnly;
    state_ = TDataSetState::Browse;
    ResetCursorEmpty();
}

constexpr const char* kUntitledPrefix = "gmb-untitled-";

int RemoveAbandonedUntitledVaults(const std::string& folder)
{
    int removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kUntitledPrefix, 0) != 0)
            continue;
        const char* digits = name.c_str() + std::strlen(kUntitledPrefix);
        char* rest = nullptr;
        errno = 0;
        const long pid = std::strtol(digits, &rest, 10);
        if (rest == digits || *rest != '-' || errno != 0 || pid <= 0)
            continue; // not one of ours, or from before names carried the process
        if (!vaultfile::IsAbandonedByEndedProcess(it->path().string(), pid))
            continue;
        if (::unlink(it->path().c_str()) == 0)
            ++removed;
    }
    return removed;
}

void TVaultTable::OpenTemporary()
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    static std::once_flag tidied;
    std::call_once(tidied, [&] { RemoveAbandonedUntitledVaults(folder.string()); });
    std::string temp = (folder / (kUntitledPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw EDatabaseError(Format("%s: Cannot create a temporary file: %s", name_.c_str(), std::strerror(errno)));
    ::close(fd);
    try {
        Connection db = OpenEngine(temp, SQLITE_OPEN_READWRITE, name_ + ": Cannot create the table");
        if (Exec(db.get(), kTemporaryConnectionSql) != SQLITE_OK)
            throw EDatabaseError(name_ + ": Cannot set up the table: " + EngineMessage(db.get()));
        CreateSchema(db.get(), name_);
        Attach(db.get(), std::string(), temp, false);
        db.release();
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

void TVaultTable::OpenVault()
{
    const std::string& path = path_;
    const std::string missing = name_ + ": Missing data provider or data packet";
    if (path.empty())
        throw EDatabaseError(missing);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw EDatabaseError(missing);
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
    }
    if (S_ISDIR(st.st_mode))
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(EISDIR)));
    auto refuse = [&](const std::string& reason) { throw EDatabaseError(vaultfile::RefusalMessage(path, reason)); };
    if (!S_ISREG(st.st_mode))
        refuse("it is not a regular file");
    if (::access(path.c_str(), R_OK) != 0)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
    // The journal goes beside the vault: both must be writable for changes.
    const std::string real = vaultfile::ResolvedPath(path);
    // A file nobody may write is read-only even for a user whom the system
    // would let write it.
    const bool fileReadOnly = (st.st_mode & 0222) == 0 || ::access(real.c_str(), W_OK) != 0 ||
                              ::access(ParentOf(real).c_str(), W_OK) != 0;
    // A reader of a file it may write still opens it for writing: the engine
    // then plays back a journal a crashed writer left (and takes no lock
    // that keeps a writer out: it never begins a change).
    const bool readOnly = openForReading_ || fileReadOnly;

    Connection db = OpenEngine(path, fileReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE,
                               Format("Cannot open vault \"%s\"", path.c_str()));
    // The header, read through the engine's own file before any statement
    // runs (a statement may roll back a journal, which is a write).
    {
        sqlite3_file* file = nullptr;
        sqlite3_int64 size = 0;
        unsigned char header[vaultfile::kHeaderSize] = {};
        if (sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
            !file->pMethods || file->pMethods->xFileSize(file, &size) != SQLITE_OK)
            refuse("it cannot be read");
        const int rc = file->pMethods->xRead(file, header, static_cast<int>(vaultfile::kHeaderSize), 0);
        if (rc != SQLITE_OK && rc != SQLITE_IOERR_SHORT_READ)
            refuse("it cannot be read");
        struct stat side {};
        const bool journal = ::stat((real + "-journal").c_str(), &side) == 0;
        vaultfile::CheckHeader(path, header, size, !journal);
    }
    if (Exec(db.get(), readOnly ? kReadOnlyConnectionSql : kVaultConnectionSql) != SQLITE_OK)
        refuse(RefusalReason(db.get(), path));
    if (!readOnly) {
        // The reserved lock, held until the table closes, is what keeps a
        // second writer out: it fails at once here instead of waiting.
        sqlite3_busy_timeout(db.get(), 0);
        const int rc = Exec(db.get(), kBeginImmediate);
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED)
            throw EVaultBusy(vaultfile::RefusalMessage(path, "it is open for changes in another window or program"));
        if (rc != SQLITE_OK)
            refuse(IsDamage(rc) ? std::string("the file is damaged") : EngineMessage(db.get()));
        // Taking the lock played back any journal a crash left that held old
        // pages; one still there was never made valid (its writer died before
        // touching the vault) and nobody else may write now: remove it.
        ::unlink((real + "-journal").c_str());
        // New files a killed Save As left beside it.
        vaultfile::RemoveAbandonedSiblings(path);
    }
    sqlite3_busy_timeout(db.get(), kBusyWaitMs);
    Attach(db.get(), path, std::string(), readOnly);
    db.release();
    forReading_ = openForReading_;
    // What a later write checks that the path still names (the engine's own
    // check, HAS_MOVED, compares the inode it opened).
    if (::stat(path.c_str(), &st) == 0) {
        fileDevice_ = st.st_dev;
        fileInode_ = st.st_ino;
    }
}

void TVaultTable::DropConnection() noexcept
{
    DetachBorrowers();
    statements_.reset();
    if (lender_) {
        auto& list = lender_->borrowers_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        lender_ = nullptr;
    } else if (db_) {
        // Changes not written back are dropped: the vault keeps its last
        // written state.
        if (!sqlite3_get_autocommit(db_))
            Exec(db_, kRollback);
        sqlite3_close(db_);
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        ::unlink((tempPath_ + "-journal").c_str());
    }
    db_ = nullptr;
}

void TVaultTable::CloseConnection() noexcept
{
    DropConnection();
    dbPath_.clear();
    tempPath_.clear();
    replacedPath_.clear();
    readOnly_ = false;
    forReading_ = false;
    state_ = TDataSetState::Inactive;
    edit_ = {};
    ResetCursorEmpty();
}

void TVaultTable::DetachBorrowers() noexcept
{
    while (!borrowers_.empty()) {
        TVaultTable* copy = borrowers_.back();
        try {
            copy->TakeOwnCopy();
        } catch (...) {
            copy->CloseConnection(); // no own copy possible: the copy closes
        }
    }
}

void TVaultTable::TakeOwnCopy()
{
    if (!lender_)
        return;
    TVaultTable* lender = lender_;
    sqlite3* shared = db_;
    // Build the copy in a scratch table, then take its connection over.
    TVaultTable scratch(name_);
    scratch.OpenTemporary();
    CopyRecords(shared, scratch.db_, name_, nullptr);
    statements_.reset();
    auto& list = lender->borrowers_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    lender_ = nullptr;
    TakeTemporary(scratch);
    MarkWritten();
}

void TVaultTable::TakeTemporary(TVaultTable& scratch)
{
    db_ = scratch.db_;
    tempPath_ = scratch.tempPath_;
    dbPath_.clear();
    readOnly_ = false;
    statements_ = std::move(scratch.statements_);
    scratch.db_ = nullptr;
    scratch.tempPath_.clear();
}

void TVaultTable::BeginChange()
{
    RequireActive();
    if (readOnly_ && forReading_)
        throw EDatabaseError(Format("Vault \"%s\" is open for reading only: it cannot be changed here.",
                                    dbPath_.c_str()));
    if (readOnly_)
        throw EDatabaseError(Format("Vault \"%s\" is read-only: it cannot be changed.", dbPath_.c_str()));
    TakeOwnCopy();
    DetachBorrowers();
    if (!dbPath_.empty() && sqlite3_get_autocommit(db_)) {
        sqlite3_busy_timeout(db_, 0);
        const int rc = Exec(db_, kBeginImmediate);
        sqlite3_busy_timeout(db_, kBusyWaitMs);
        if ((rc & 0xFF) == SQLITE_BUSY)
            throw EDatabaseError(Format("Vault \"%s\" cannot be changed: it is open for changes in another window or "
                                        "program.",
                                        dbPath_.c_str()));
        if (rc != SQLITE_OK)
            EngineFailed();
    }
}

void TVaultTable::ResetCursorEmpty()
{
    current_.reset();
    eof_ = bof_ = true;
}

void TVaultTable::MarkWritten() { writtenMark_ = sqlite3_total_changes64(db_); }

bool TVaultTable::HasChanges() const { return Active() && sqlite3_total_changes64(db_) != writtenMark_; }

void TVaultTable::CreateDataSet()
{
    if (Active())
        throw EDatabaseError(Format("%s: Cannot create a new table while the table is open", name_.c_str()));
    codec_ = {};
    OpenTemporary();
    MarkWritten();
}

void TVaultTable::ValidateSchema()
{
    const std::string& path = path_;
    auto refuse = [&](const std::string& reason) { throw EDatabaseError(vaultfile::RefusalMessage(path, reason)); };
    // Any engine error while looking (a damaged page) is a refusal too.
    auto engineRefusal = [&] { refuse(RefusalReason(db_, path)); };
    auto query = [&](const char* sql) -> sqlite3_stmt* {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            engineRefusal();
        }
        return stmt;
    };
    struct Finalizer {
        sqlite3_stmt* s;
        ~Finalizer() { sqlite3_finalize(s); }
    };
    auto step = [&](sqlite3_stmt* stmt) {
        const int rc = sqlite3_step(stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            engineRefusal();
        return rc == SQLITE_ROW;
    };
    const char* shapeReason = "its table \"Images\" does not have the fields and key of a vault";

    {
        Finalizer f{query(kHasTable)};
        if (!step(f.s) || sqlite3_column_int(f.s, 0) != 1)
            refuse("it has no table \"Images\"");
    }
    {
        Finalizer f{query(kForeignObjects)};
        if (!step(f.s) || sqlite3_column_int(f.s, 0) != 0)
            refuse(vaultfile::kForeignDatabaseReason);
    }
    {
        Finalizer f{query(kTableInfo)};
        int n = 0;
        while (step(f.s)) {
            if (n >= kVaultFieldCount || ColumnText(f.s, 0) != kShape[n].name ||
                !SameText(ColumnText(f.s, 1), kShape[n].type) || sqlite3_column_int(f.s, 2) != 1 ||
                sqlite3_column_int(f.s, 3) != kShape[n].primaryKeyPosition)
                refuse(shapeReason);
            ++n;
        }
        if (n != kVaultFieldCount)
            refuse(shapeReason);
    }
    std::string index;
    {
        Finalizer f{query(kPrimaryIndex)};
        if (!step(f.s))
            refuse(shapeReason);
        index = ColumnText(f.s, 0);
    }
    {
        Finalizer f{query(kIndexKeys)};
        sqlite3_bind_text(f.s, 1, index.c_str(), static_cast<int>(index.size()), SQLITE_TRANSIENT);
        const char* keys[] = {"FileName", "ImageType"};
        int n = 0;
        while (step(f.s)) {
            if (n >= 2 || ColumnText(f.s, 0) != keys[n] || !SameText(ColumnText(f.s, 1), "BINARY"))
                refuse(shapeReason);
            ++n;
        }
        if (n != 2)
            refuse(shapeReason);
    }
    {
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v2(db_, kRowidProbe, -1, &stmt, nullptr);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_OK)
            refuse(shapeReason);
    }
    {
        // Then exactly our table: a CHECK constraint, a generated column (hidden
        // from the table's column list), a default or a table option would
        // run inside our engine at every change.
        Finalizer f{query(kTableSql)};
        if (!step(f.s) || NormalisedTableSql(ColumnText(f.s, 0)) != NormalisedTableSql(kCreateImagesSql))
            refuse(vaultfile::kForeignDatabaseReason);
    }
}

void TVaultTable::Open()
{
    if (Active())
        return;
    codec_ = {};
    OpenVault();
    try {
        ValidateSchema();
        MarkWritten();
        First();
    } catch (const EDatabaseError&) {
        // A damaged page met on the way in refuses the file like the rest.
        const bool damaged = IsDamage(sqlite3_extended_errcode(db_));
        const std::string detail = sqlite3_errmsg(db_);
        CloseConnection();
        if (damaged)
            throw EDatabaseError(vaultfile::RefusalMessage(path_, "the file is damaged (" + detail + ")"));
        throw;
    } catch (...) {
        CloseConnection();
        throw;
    }
}

namespace {

bool ResolvedEqual(const std::string& a, const std::string& b)
{
    return a == b || vaultfile::ResolvedPath(a) == vaultfile::ResolvedPath(b);
}

std::string MessageOf(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    }
}
} // namespace

void TVaultTable::Close()
{
    if (!Active())
        return;
    if (state_ != TDataSetState::Browse)
        Cancel();
    if (!path_.empty() && HasChanges())
        WriteFile(path_, false);
    CloseConnection();
    codec_ = {};
}

void RunVaultCommand(TVaultTable& table, const std::function<void()>& body)
{
    table.BeginCommand();
    WithCleanup(body, [&] { table.EndCommand(); });
}

void TVaultTable::BeginCommand()
{
    if (commandDepth_++ == 0)
        commandMark_ = Active() ? sqlite3_total_changes64(db_) : 0;
}

void TVaultTable::EndCommand()
{
    if (commandDepth_ == 0 || --commandDepth_ > 0)
        return;
    if (Active() && sqlite3_total_changes64(db_) != commandMark_)
        WriteCommand();
}

void TVaultTable::WriteCommand()
{
    if (!db_ || dbPath_.empty() || lender_ || readOnly_ || !HasChanges())
        return;
    // Bound to another file since (a Save As that failed): Close or Save
    // writes a copy there.
    if (path_ != dbPath_ && !IsConnectedFile(path_))
        return;
    WriteBackInPlace();
    MarkWritten();
}

void TVaultTable::LeaveReplacedFile()
{
    // The records, changes included, go to a temporary file: the pending
    // transaction cannot stay, its journal lies beside the other program's
    // file now and a crash would play it into that one.
    TVaultTable scratch(name_);
    scratch.OpenTemporary();
    CopyRecords(db_, scratch.db_, name_, nullptr);
    replacedPath_ = dbPath_;
    DropConnection();
    TakeTemporary(scratch);
    writtenMark_ = -1; // nothing of it is written anywhere yet
    // The copy keeps the row ids: the cursor stays where it was.
}

void TVaultTable::HoldVault()
{
    if (!db_ || dbPath_.empty() || readOnly_ || lender_ || !sqlite3_get_autocommit(db_))
        return;
    // If another program took the vault in between, the next change says so.
    sqlite3_busy_timeout(db_, 0);
    Exec(db_, kBeginImmediate);
    sqlite3_busy_timeout(db_, kBusyWaitMs);
}

void TVaultTable::DiscardChanges()
{
    RequireActive();
    Cancel();
    if (!lender_ && !sqlite3_get_autocommit(db_))
        Exec(db_, kRollback);
    HoldVault();
    MarkWritten();
    First();
}

bool TVaultTable::VaultFileMoved() const
{
    int moved = 0;
    return db_ && !dbPath_.empty() &&
           sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0;
}

void TVaultTable::Save()
{
    RequireActive();
    if (path_.empty())
        throw EDatabaseError(Format("%s: No file name is set", name_.c_str()));
    SaveToFile(path_);
}

void TVaultTable::SaveToFile(const std::string& path)
{
    RequireActive();
    CheckBrowseMode();
    WriteFile(path, true);
}

bool TVaultTable::IsConnectedFile(const std::string& path) const
{
    if (dbPath_.empty() || lender_ || VaultFileMoved())
        return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == fileDevice_ && st.st_ino == fileInode_;
}

void TVaultTable::WriteFile(const std::string& path, bool chosen)
{
    // A write-back never goes over a file another program put in the
    // vault's place: only the user's own choice of a target (Save As) does.
    if (!chosen && !replacedPath_.empty() && ResolvedEqual(path, replacedPath_))
        throw EVaultReplaced(ReplacedMessage(replacedPath_));
    if (!chosen && !dbPath_.empty() && !lender_ && ResolvedEqual(path, dbPath_) && !IsConnectedFile(path)) {
        const std::string vault = dbPath_;
        LeaveReplacedFile();
        throw EVaultReplaced(ReplacedMessage(vault));
    }
    if (IsConnectedFile(path)) {
        WriteBackInPlace();
    } else {
        WriteCopy(path);
        if (path != path_)
            return;
        Rebind(path);
    }
    if (path == path_)
        MarkWritten();
}


void TVaultTable::WriteBackInPlace()
{
    if (sqlite3_get_autocommit(db_)) {
        if (HasChanges())
            EngineFailed(); // the engine dropped them after an I/O error: say so
        return; // no change was made since the last write
    }
    const std::string vault = dbPath_;
    if (VaultFileMoved()) {
        LeaveReplacedFile();
        throw EVaultReplaced(ReplacedMessage(vault));
    }
    if (const TWriteProbe& probe = WriteProbe())
        probe(TWriteStage::BeforeCommit, 0);
    const int rc = Exec(db_, kCommit);
    const std::exception_ptr probeFailure = vaultvfs::TakeProbeFailure();
    if (rc == SQLITE_OK) {
        HoldVault();
        return;
    }
    const std::string reason = probeFailure ? MessageOf(probeFailure) : std::string(sqlite3_errmsg(db_));
    if (!sqlite3_get_autocommit(db_) && (rc & 0xFF) == SQLITE_BUSY)
        throw EDatabaseError(Format("Cannot write vault \"%s\": %s. The changes are kept for the next write.",
                                    vault.c_str(), reason.c_str()));
    // Anything else (a full disk, an I/O error) costs this command: the
    // engine rolls the vault back to the last command's state, or we do.
    if (!sqlite3_get_autocommit(db_))
        Exec(db_, kRollback);
    MarkWritten();
    HoldVault();
    First();
    throw EDatabaseError(Format("Cannot write vault \"%s\": %s. The vault is as the last command left it; the "
                                "changes of this command are lost.",
                                vault.c_str(), reason.c_str()));
}

void TVaultTable::WriteCopy(const std::string& path)
{
    const std::string real = vaultfile::ResolvedPath(path);
    // Never replace a vault another table or program is changing, nor let
    // one in while the copy is made: its lock is held until the rename.
    Connection held;
    struct stat st {};
    if (::stat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        sqlite3* raw = nullptr;
        const int opened =
            sqlite3_open_v2(real.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, vaultvfs::Name());
        held.reset(raw);
        if (opened == SQLITE_OK && (Exec(raw, kBeginImmediate) & 0xFF) == SQLITE_BUSY)
            throw EDatabaseError(Format("Cannot write vault \"%s\": it is open for changes in another window or "
                                        "program.",
                                        path.c_str()));
    }
    const TWriteProbe& probe = WriteProbe();
    auto report = [&](TWriteStage stage, int64_t done) {
        if (probe)
            probe(stage, done);
    };
    vaultfile::TSiblingFile file(path);
    report(TWriteStage::TempCreated, 0);
    int64_t written = 0;
    {
        const std::string what = Format("Cannot write vault \"%s\"", path.c_str());
        Connection db = OpenEngine(file.Path(), SQLITE_OPEN_READWRITE, what);
        if (Exec(db.get(), kNewFileConnectionSql) != SQLITE_OK)
            throw EDatabaseError(what + ": " + EngineMessage(db.get()));
        CreateSchema(db.get(), what);
        CopyRecords(db_, db.get(), what, [&](int64_t done) {
            written = done;
            report(TWriteStage::ChunkWritten, done);
        });
        if (sqlite3_close(db.release()) != SQLITE_OK)
            throw EDatabaseError(what + ": the new file could not be closed");
    }
    // Side files of the old target belong to a file that is going away; a
    // journal left there would be played into the new one.
    for (const char* side : {"-journal", "-wal", "-shm"})
        ::unlink((real + side).c_str());
    file.Replace(probe, written);
}

void TVaultTable::Rebind(const std::string& path)
{
    DetachBorrowers();
    TVaultTable fresh(name_);
    fresh.path_ = path;
    try {
        fresh.OpenVault();
    } catch (...) {
        // The file is written; the table goes on from its old connection and
        // the next write-back writes a copy again.
        return;
    }
    DropConnection(); // the file worked on so far keeps its last written state
    db_ = fresh.db_;
    dbPath_ = fresh.dbPath_;
    tempPath_.clear();
    readOnly_ = fresh.readOnly_;
    replacedPath_.clear();
    fileDevice_ = fresh.fileDevice_;
    fileInode_ = fresh.fileInode_;
    statements_ = std::move(fresh.statements_);
    fresh.db_ = nullptr;
    fresh.dbPath_.clear();
}

// ---- filter ------------------------------------------------------------------

void TVaultTable::SetFilter(const std::string& expression)
{
    std::optional<TFilterCondition> compiled;
    if (!Trim(expression).empty()) {
        try {
            compiled = CompileFilter(expression);
        } catch (const EDatabaseError& e) {
            throw EDatabaseError(Format("%s: %s", name_.c_str(), e.Message().c_str()));
        }
    }
    if (Active())
        CheckBrowseMode();
    filterText_ = expression;
    filter_ = std::move(compiled);
    if (Active() && filtered_)
        First();
}

void TVaultTable::SetFiltered(bool on)
{
    if (on == filtered_)
        return;
    if (Active())
        CheckBrowseMode();
    filtered_ = on;
    if (Active())
        First();
}

bool TVaultTable::FilterActive() const { return filtered_ && filter_ && !filter_->sql.empty(); }

std::string TVaultTable::FilteredSql(const char* head, const char* keyCondition, const char* tail) const
{
    std::string sql = head;
    const bool filter = FilterActive();
    if (keyCondition || filter)
        sql += " WHERE ";
    if (keyCondition)
        sql += keyCondition;
    if (keyCondition && filter)
        sql += " AND ";
    if (filter)
        sql += filter_->sql;
    sql += tail;
    return sql;
}

void TVaultTable::BindValue(sqlite3_stmt* stmt, int index, const TLocateValue& value)
{
    if (const auto* number = std::get_if<int64_t>(&value))
        sqlite3_bind_int64(stmt, index, *number);
    else {
        const auto& text = std::get<std::string>(value);
        sqlite3_bind_text(stmt, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
}

void TVaultTable::BindFilter(sqlite3_stmt* stmt, int firstIndex) const
{
    if (!FilterActive())
        return;
    for (const auto& value : filter_->params)
        BindValue(stmt, firstIndex++, value);
}

// ---- cursor ------------------------------------------------------------------

void TVaultTable::CheckBrowseMode()
{
    if (state_ == TDataSetState::Insert || state_ == TDataSetState::Edit)
        Post();
}

bool TVaultTable::ReadRecord(sqlite3_stmt* stmt, TRecord& into) const
{
    if (!Step(stmt))
        return false;
    into = {};
    into.rowid = sqlite3_column_int64(stmt, 0);
    auto& name = into.slots[0];
    name.text = ColumnText(stmt, 1);
    name.null = false;
    into.slots[1] = {false, sqlite3_column_int64(stmt, 2), {}, {}, false};
    into.slots[2] = {false, sqlite3_column_int64(stmt, 3), {}, {}, false};
    into.slots[3].null = false;
    into.slots[3].blobInDb = true;
    auto& type = into.slots[4];
    type.text = ColumnText(stmt, 4);
    type.null = false;
    return true;
}

bool TVaultTable::Seek(bool forward, bool fromCurrent, const TRecord* from)
{
    const char* key = nullptr;
    if (fromCurrent)
        key = forward ? kAfterKey : kBeforeKey;
    StatementUse use(Statement(FilteredSql(kSelectRecord, key, forward ? kAscending : kDescending)));
    int next = 1;
    if (fromCurrent) {
        const auto& name = from->slots[0].text;
        const auto& type = from->slots[4].text;
        sqlite3_bind_text(*use, next++, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(*use, next++, type.c_str(), static_cast<int>(type.size()), SQLITE_TRANSIENT);
    }
    BindFilter(*use, next);
    TRecord found;
    if (!ReadRecord(*use, found))
        return false;
    if (fromCurrent) {
        // A damaged index can hand back a row whose own key is not past the
        // one we stand on; walking on would never end.
        const auto key = [](const TRecord& r) { return std::tie(r.slots[0].text, r.slots[4].text); };
        if (forward ? !(key(found) > key(*from)) : !(key(found) < key(*from)))
            throw EDatabaseError(Format("%s: The vault file is damaged: its records are out of order. Run a check "
                                        "with the sqlite3 shell (pragma integrity_check).",
                                        name_.c_str()));
    }
    current_ = std::move(found);
    return true;
}

void TVaultTable::First()
{
    RequireActive();
    CheckBrowseMode();
    if (Seek(true, false, nullptr)) {
        bof_ = true;
        eof_ = false;
    } else {
        ResetCursorEmpty();
    }
}

void TVaultTable::Last()
{
    RequireActive();
    CheckBrowseMode();
    if (Seek(false, false, nullptr)) {
        bof_ = false;
        eof_ = true;
    } else {
        ResetCursorEmpty();
    }
}

void TVaultTable::Next()
{
    RequireActive();
    CheckBrowseMode();
    if (!current_) {
        eof_ = true;
        return;
    }
    const TRecord here = *current_;
    bof_ = false;
    eof_ = !Seek(true, true, &here);
}

void TVaultTable::Prior()
{
    RequireActive();
    CheckBrowseMode();
    if (!current_) {
        bof_ = true;
        return;
    }
    const TRecord here = *current_;
    eof_ = false;
    bof_ = !Seek(false, true, &here);
}

int64_t TVaultTable::RecordCount()
{
    if (!Active())
        return 0;
    StatementUse use(Statement(FilteredSql(kCount, nullptr, kNoTail)));
    BindFilter(*use, 1);
    return Step(*use) ? sqlite3_column_int64(*use, 0) : 0;
}

// ---- editing -----------------------------------------------------------------

void TVaultTable::Append()
{
    RequireActive();
    if (readOnly_)
        BeginChange(); // refuses
    CheckBrowseMode();
    edit_ = {};
    editModified_ = false;
    state_ = TDataSetState::Insert;
}

void TVaultTable::Edit()
{
    RequireActive();
    if (state_ == TDataSetState::Insert || state_ == TDataSetState::Edit)
        return;
    if (!current_)
        throw EDatabaseError(Format("%s: Cannot edit: there is no current record", name_.c_str()));
    if (readOnly_)
        BeginChange(); // refuses
    edit_ = *current_;
    editModified_ = false;
    state_ = TDataSetState::Edit;
}

void TVaultTable::Post()
{
    RequireActive();
    if (state_ != TDataSetState::Insert && state_ != TDataSetState::Edit)
        return;
    for (int i = 0; i < kVaultFieldCount; ++i)
        if (edit_.slots[static_cast<size_t>(i)].null)
            throw EDatabaseError(Format("Field '%s' must have a value", kVaultColumns[i]));

    const bool inserting = state_ == TDataSetState::Insert;
    if (!inserting && !editModified_) {
        Cancel();
        return;
    }
    PostRecord(inserting);
    if (commandDepth_ == 0)
        WriteCommand();
}

void TVaultTable::PostRecord(bool inserting)
{
    BeginChange();
    auto& s = edit_.slots;
    bool withImage = inserting || !s[3].blobInDb;
    // What is bound is sealed into a copy: a post that fails keeps the
    // caller's bytes, so the next one does not seal them twice.
    std::vector<uint8_t> sealed;
    const std::vector<uint8_t>* image = &s[3].bytes;
    if (codec_.Sealed()) {
        if (withImage) {
            sealed = codec_.Seal(s[3].bytes, s[0].text, s[4].text);
            image = &sealed;
        } else if (std::optional<std::vector<uint8_t>> moved = ResealRenamed(edit_.rowid, s[0].text, s[4].text)) {
            sealed = std::move(*moved);
            image = &sealed;
            withImage = true;
        }
    }
    StatementUse use(Statement(inserting ? kInsert : withImage ? kUpdateWithImage : kUpdateWithoutImage));
    int n = 1;
    auto bindText = [&](const TSlot& slot) {
        sqlite3_bind_text(*use, n++, slot.text.c_str(), static_cast<int>(slot.text.size()), SQLITE_STATIC);
    };
    bindText(s[0]);
    sqlite3_bind_int64(*use, n++, s[1].number);
    sqlite3_bind_int64(*use, n++, s[2].number);
    if (withImage) {
        // A zero-length pointer would bind NULL: give the engine a valid one.
        static const uint8_t kNoBytes = 0;
        const void* data = image->empty() ? &kNoBytes : image->data();
        if (sqlite3_bind_blob64(*use, n++, data, image->size(), SQLITE_STATIC) != SQLITE_OK)
            EngineFailed();
    }
    bindText(s[4]);
    if (!inserting)
        sqlite3_bind_int64(*use, n++, edit_.rowid);

    const int rc = sqlite3_step(*use);
    if (rc != SQLITE_DONE) {
        if ((sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY ||
             sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_UNIQUE))
            throw EDatabaseError(Format("Key violation: a record with FileName '%s' and ImageType '%s' already exists",
                                        s[0].text.c_str(), s[4].text.c_str()));
        EngineFailed();
    }
    if (inserting)
        edit_.rowid = sqlite3_last_insert_rowid(db_);
    // The stored blob is read back on demand; drop the copy.
    s[3].bytes = {};
    s[3].blobInDb = true;
    current_ = std::move(edit_);
    edit_ = {};
    state_ = TDataSetState::Browse;
    eof_ = bof_ = false;
}

void TVaultTable::Cancel()
{
    if (state_ == TDataSetState::Insert || state_ == TDataSetState::Edit)
        state_ = TDataSetState::Browse;
    edit_ = {};
}

void TVaultTable::Delete()
{
    RequireActive();
    if (state_ == TDataSetState::Insert) {
        Cancel();
        return;
    }
    Cancel();
    if (!current_)
        throw EDatabaseError(Format("%s: Cannot delete: there is no current record", name_.c_str()));
    BeginChange();
    {
        StatementUse use(Statement(kDelete));
        sqlite3_bind_int64(*use, 1, current_->rowid);
        if (Step(*use))
            EngineFailed();
    }
    const TRecord gone = *current_;
    if (Seek(true, true, &gone)) {
        eof_ = false;
        bof_ = false;
    } else if (Seek(false, true, &gone)) {
        eof_ = true;
        bof_ = false;
    } else {
        ResetCursorEmpty();
    }
    if (commandDepth_ == 0)
        WriteCommand();
}

// ---- image blobs -------------------------------------------------------------

std::optional<std::vector<uint8_t>> TVaultTable::ResealRenamed(int64_t rowid, const std::string& name,
                                                               const std::string& kind)
{
    std::string oldName, oldKind;
    std::vector<uint8_t> stored;
    {
        StatementUse use(Statement(kSelectKeyAndImage));
        sqlite3_bind_int64(*use, 1, rowid);
        if (!Step(*use))
            return std::nullopt;
        oldName = ColumnText(*use, 0);
        oldKind = ColumnText(*use, 1);
        if (oldName == name && oldKind == kind)
            return std::nullopt;
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(*use, 2));
        stored.assign(data, data + sqlite3_column_bytes(*use, 2));
    }
    try {
        return codec_.Seal(codec_.Unseal(std::move(stored), oldName, oldKind), name, kind);
    } catch (const ESealedBlobError&) {
        return std::nullopt; // damaged already: it stays as it is, and says so when read
    }
}

void TVaultTable::RunAtomically(const std::function<void()>& body)
{
    RequireActive();
    CheckBrowseMode();
    // A command of its own (or part of the running one): written once it
    // is whole, never in the middle.
    BeginCommand();
    WithCleanup([&] { RunInSavepoint(body); }, [&] { EndCommand(); });
}

void TVaultTable::RunInSavepoint(const std::function<void()>& body)
{
    BeginChange();
    if (Exec(db_, kSavepoint) != SQLITE_OK)
        EngineFailed();
    try {
        body();
        CheckBrowseMode();
    } catch (...) {
        Cancel();
        // An engine that rolled the whole transaction back has no savepoint
        // left: then nothing of the body is there either.
        if (!sqlite3_get_autocommit(db_)) {
            Exec(db_, kRollbackToSavepoint);
            Exec(db_, kReleaseSavepoint);
        }
        try {
            First();
        } catch (...) {
            ResetCursorEmpty(); // the body's error says more
        }
        throw;
    }
    if (Exec(db_, kReleaseSavepoint) != SQLITE_OK)
        EngineFailed();
}

void TVaultTable::RewriteBlobs(const TBlobRewrite& rewrite)
{
    RunAtomically([&] {
        // Freed pages are zeroed while the old blobs go, so a plain image
        // replaced by its sealed blob leaves nothing readable behind.
        int wasSecure = 0;
        {
            StatementUse use(Statement("PRAGMA secure_delete"));
            if (Step(*use))
                wasSecure = sqlite3_column_int(*use, 0);
        }
        Exec(db_, "PRAGMA secure_delete = ON");
        WithCleanup(
            [&] {
                std::vector<std::pair<int64_t, TBlobRecord>> records;
                {
                    StatementUse use(Statement(kSelectKeys));
                    while (Step(*use))
                        records.push_back({sqlite3_column_int64(*use, 0),
                                           {ColumnText(*use, 1), sqlite3_column_int64(*use, 2),
                                            sqlite3_column_int64(*use, 3), ColumnText(*use, 4)}});
                }
                for (const auto& [rowid, record] : records) {
                    std::vector<uint8_t> stored;
                    {
                        StatementUse use(Statement(kSelectImage));
                        sqlite3_bind_int64(*use, 1, rowid);
                        if (!Step(*use))
                            EngineFailed();
                        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(*use, 0));
                        stored.assign(data, data + sqlite3_column_bytes(*use, 0));
                    }
                    const std::optional<std::vector<uint8_t>> replaced = rewrite(record, std::move(stored));
                    if (!replaced)
                        continue;
                    static const uint8_t kNoBytes = 0;
                    StatementUse use(Statement(kUpdateImage));
                    if (sqlite3_bind_blob64(*use, 1, replaced->empty() ? &kNoBytes : replaced->data(),
                                            replaced->size(), SQLITE_STATIC) != SQLITE_OK)
                        EngineFailed();
                    sqlite3_bind_int64(*use, 2, rowid);
                    if (Step(*use))
                        EngineFailed();
                }
            },
            [&] { Exec(db_, wasSecure ? "PRAGMA secure_delete = ON" : "PRAGMA secure_delete = OFF"); });
    });
}

// ---- lookup ------------------------------------------------------------------

bool TVaultTable::Locate(const std::string& keyFields, const std::vector<TLocateValue>& values, bool ignoreCase)
{
    RequireActive();
    std::vector<int> columns;
    size_t start = 0;
    while (start <= keyFields.size()) {
        const size_t semi = keyFields.find(';', start);
        const std::string name = keyFields.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
        columns.push_back(static_cast<int>(FieldByName(name).Index()));
        if (semi == std::string::npos)
            break;
        start = semi + 1;
    }
    if (columns.size() != values.size())
        throw EDatabaseError(Format("%s: Locate got %zu fields but %zu values", name_.c_str(), columns.size(),
                                    values.size()));
    std::string sql = kLocateHead;
    for (size_t i = 0; i < columns.size(); ++i) {
        const int c = columns[i];
        if (c == static_cast<int>(TFieldIndex::Image))
            throw EDatabaseError(Format("%s: Cannot locate on the blob field 'Image'", name_.c_str()));
        if (i > 0)
            sql += " AND ";
        if (ignoreCase && IsTextField(c)) {
            sql += kLocateSameTextHead;
            sql += kVaultColumns[c];
            sql += kLocateSameTextTail;
        } else {
            sql += kVaultColumns[c];
            sql += kLocateEquals;
        }
    }
    sql += kLocateTail;
    CheckBrowseMode();
    StatementUse use(Statement(sql));
    for (size_t i = 0; i < values.size(); ++i)
        BindValue(*use, static_cast<int>(i + 1), values[i]);
    TRecord found;
    if (!ReadRecord(*use, found))
        return false;
    current_ = std::move(found);
    eof_ = bof_ = false;
    return true;
}

// ---- copy --------------------------------------------------------------------

void TVaultTable::CopyDataTo(TVaultTable& dest)
{
    RequireActive();
    if (&dest == this)
        return;
    CheckBrowseMode();
    dest.CloseConnection();
    dest.path_.clear();
    // The copy reads this table's data (changes included) until either of
    // them changes: counting kinds copies no image bytes.
    TVaultTable* owner = lender_ ? lender_ : this;
    dest.statements_ = std::make_unique<TStatementCache>();
    dest.db_ = db_;
    dest.lender_ = owner;
    owner->borrowers_.push_back(&dest);
    dest.state_ = TDataSetState::Browse;
    dest.ResetCursorEmpty();
    dest.MarkWritten();
    dest.First();
}

// ---- field slots -------------------------------------------------------------

const TVaultTable::TSlot* TVaultTable::ReadSlot(TFieldIndex index) const
{
    const auto i = static_cast<size_t>(index);
    if (!Active())
        return nullptr;
    if (state_ == TDataSetState::Insert || state_ == TDataSetState::Edit)
        return &edit_.slots[i];
    return current_ ? &current_->slots[i] : nullptr;
}

TVaultTable::TSlot& TVaultTable::WriteSlot(const TField& field)
{
    if (!Active() || (state_ != TDataSetState::Insert && state_ != TDataSetState::Edit))
        throw EDatabaseError(Format("%s: Cannot modify field '%s': the table is not in insert or edit state",
                                    name_.c_str(), field.FieldName().c_str()));
    editModified_ = true;
    return edit_.slots[static_cast<size_t>(field.Index())];
}

std::vector<uint8_t> TVaultTable::FetchBlobTail(size_t n)
{
    RequireActive();
    // An incremental read: only the pages that hold the tail are copied.
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(db_, "main", "Images", "Image", current_->rowid, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        EngineFailed();
    }
    const int size = sqlite3_blob_bytes(blob);
    const int count = static_cast<int>(std::min<size_t>(n, static_cast<size_t>(size)));
    std::vector<uint8_t> tail(static_cast<size_t>(count));
    const int rc = count > 0 ? sqlite3_blob_read(blob, tail.data(), count, size - count) : SQLITE_OK;
    sqlite3_blob_close(blob);
    if (rc != SQLITE_OK)
        EngineFailed();
    return tail;
}

void TVaultTable::FetchBlob(std::vector<uint8_t>* into, TStream* dest)
{
    StatementUse use(Statement(kSelectImage));
    sqlite3_bind_int64(*use, 1, current_->rowid);
    if (!Step(*use))
        EngineFailed();
    const void* data = sqlite3_column_blob(*use, 0);
    const int64_t size = sqlite3_column_bytes(*use, 0);
    if (into)
        into->assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    if (dest && size > 0)
        dest->WriteBuffer(data, size);
}
