#include "store/VaultTable.h"

#include "platform/Text.h"

#include <sqlite3.h>

#include <cctype>
#include <cstring>

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
    "PRAGMA user_version = 1;"
    "CREATE TABLE Images ("
    " FileName TEXT NOT NULL COLLATE BINARY,"
    " DimX INTEGER NOT NULL,"
    " DimY INTEGER NOT NULL,"
    " Image BLOB NOT NULL,"
    " ImageType TEXT NOT NULL COLLATE BINARY,"
    " CONSTRAINT CDSIndex2 PRIMARY KEY (FileName, ImageType));";

// The in-memory database keeps its rollback journal in memory as well.
constexpr const char* kConnectionSql = "PRAGMA journal_mode = MEMORY;";

// A private (unnamed, unshared) in-memory database whose pages form one
// contiguous image, so that it can be written out without a copy.
constexpr const char* kMemoryDatabaseUri = "file:gmbvault?vfs=memdb";

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
constexpr const char* kQuickCheck = "PRAGMA quick_check(1)";

struct ColumnShape {
    const char* name;
    const char* type;
    int primaryKeyPosition;
};
constexpr ColumnShape kShape[kVaultFieldCount] = {
    {"FileName", "TEXT", 1}, {"DimX", "INTEGER", 0}, {"DimY", "INTEGER", 0}, {"Image", "BLOB", 0}, {"ImageType", "TEXT", 2},
};

// Largest in-memory vault (the engine's default cap is 1 GiB).
constexpr sqlite3_int64 kMaxVaultBytes = sqlite3_int64{1} << 40;

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

void TVaultTable::SetWriteProbe(TWriteProbe probe) { WriteProbe() = std::move(probe); }

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
    slot.text = Utf8Left(value, size_);
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

// ---- table -----------------------------------------------------------------

TVaultTable::TVaultTable(std::string name)
    : name_(std::move(name)),
      fileName_(*this, TFieldIndex::FileName, "FileName", 32),
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

void TVaultTable::OpenConnection(vaultfile::TEngineBuffer* image)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(kMemoryDatabaseUri, &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                                   nullptr);
    std::unique_ptr<sqlite3, ConnectionCloser> db(raw);
    auto fail = [&](const char* what) {
        throw EDatabaseError(Format("%s: %s: %s", name_.c_str(), what, raw ? sqlite3_errmsg(raw) : "out of memory"));
    };
    if (rc != SQLITE_OK)
        fail("Cannot create the in-memory table");
    if (image) {
        const sqlite3_int64 size = image->Size();
        // The engine owns (and on failure frees) the bytes from here on.
        if (sqlite3_deserialize(raw, "main", image->Release(), size, size,
                                SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) != SQLITE_OK)
            fail("Cannot load the vault");
    }
    sqlite3_int64 limit = kMaxVaultBytes;
    sqlite3_file_control(raw, "main", SQLITE_FCNTL_SIZE_LIMIT, &limit);
    if (sqlite3_exec(raw, kConnectionSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("Cannot set up the in-memory table");
    if (sqlite3_create_function_v2(raw, kSameTextFunction, 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                   nullptr, SameTextSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("Cannot set up the in-memory table");
    statements_ = std::make_unique<TStatementCache>();
    db_ = db.release();
    state_ = TDataSetState::Browse;
    ResetCursorEmpty();
}

void TVaultTable::CloseConnection() noexcept
{
    statements_.reset();
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
    state_ = TDataSetState::Inactive;
    edit_ = {};
    ResetCursorEmpty();
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
    OpenConnection(nullptr);
    if (sqlite3_exec(db_, kNewDatabaseSql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string message = Format("%s: Cannot create the table: %s", name_.c_str(), sqlite3_errmsg(db_));
        CloseConnection();
        throw EDatabaseError(message);
    }
    MarkWritten();
}

void TVaultTable::ValidateSchema()
{
    const std::string& path = path_;
    auto refuse = [&](const std::string& reason) { throw EDatabaseError(vaultfile::RefusalMessage(path, reason)); };
    // Any engine error while looking (a damaged page) is a refusal too.
    auto query = [&](const char* sql) -> sqlite3_stmt* {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            refuse(sqlite3_errmsg(db_));
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
            refuse(sqlite3_errmsg(db_));
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
        Finalizer f{query(kQuickCheck)};
        if (!step(f.s) || ColumnText(f.s, 0) != "ok") {
            // The report reads "*** in database main ***\n<first problem>".
            std::string detail = ColumnText(f.s, 0);
            if (const size_t nl = detail.rfind('\n'); nl != std::string::npos)
                detail.erase(0, nl + 1);
            refuse(detail.empty() ? "the file is damaged" : "the file is damaged (" + detail + ")");
        }
    }
}

void TVaultTable::Open()
{
    if (Active())
        return;
    vaultfile::TEngineBuffer bytes = vaultfile::ReadVaultFile(path_, name_);
    OpenConnection(&bytes);
    try {
        ValidateSchema();
        MarkWritten();
        First();
    } catch (...) {
        CloseConnection();
        throw;
    }
}

void TVaultTable::Close()
{
    if (!Active())
        return;
    if (state_ != TDataSetState::Browse)
        Cancel();
    if (!path_.empty() && HasChanges())
        WriteFile(path_);
    CloseConnection();
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
    WriteFile(path);
}

void TVaultTable::WriteFile(const std::string& path)
{
    sqlite3_int64 size = 0;
    // The in-memory pages are one contiguous image of the file: write them
    // straight out. Only a database that is not of that kind needs a copy.
    unsigned char* image = sqlite3_serialize(db_, "main", &size, SQLITE_SERIALIZE_NOCOPY);
    std::unique_ptr<unsigned char, decltype(&sqlite3_free)> copy(nullptr, sqlite3_free);
    if (!image) {
        copy.reset(sqlite3_serialize(db_, "main", &size, 0));
        if (!copy)
            EngineFailed();
        image = copy.get();
    }
    vaultfile::WriteFileAtomically(path, image, size, WriteProbe());
    if (path == path_)
        MarkWritten();
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
    auto& s = edit_.slots;
    const bool withImage = inserting || !s[3].blobInDb;
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
        const void* data = s[3].bytes.empty() ? &kNoBytes : s[3].bytes.data();
        if (sqlite3_bind_blob64(*use, n++, data, s[3].bytes.size(), SQLITE_STATIC) != SQLITE_OK)
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
    {
        StatementUse use(Statement(kDelete));
        sqlite3_bind_int64(*use, 1, current_->rowid);
        if (Step(*use))
            EngineFailed();
    }
    const TRecord gone = *current_;
    if (Seek(true, true, &gone)) {
        eof_ = false;
    } else if (Seek(false, true, &gone)) {
        eof_ = true;
    } else {
        ResetCursorEmpty();
        return;
    }
    bof_ = false;
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
    sqlite3_int64 size = 0;
    unsigned char* copy = sqlite3_serialize(db_, "main", &size, 0);
    if (!copy)
        EngineFailed();
    vaultfile::TEngineBuffer bytes = vaultfile::TEngineBuffer::Adopt(copy, size);
    dest.CloseConnection();
    dest.path_.clear();
    dest.OpenConnection(&bytes);
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
