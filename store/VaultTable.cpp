// The vault table's fields, cursor, filter, editing and lookups; its
// connection and schema check are in VaultTableConnection.cpp, its
// write-back and copies in VaultTableWrite.cpp.
#include "store/VaultTableEngine.h"

using namespace vaultengine;

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
