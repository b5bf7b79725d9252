// The vault table's connection: opening a vault or a temporary database,
// the checks that a file is a vault, and letting go of it.
#include "store/VaultTableEngine.h"

using namespace vaultengine;

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
        // Only now: the switch begins this transaction's journal.
        if (PragmaValue(db.get(), "PRAGMA auto_vacuum") == kFullAutoVacuum)
            Exec(db.get(), kIncrementalVacuumSql);
    }
    sqlite3_busy_timeout(db.get(), kBusyWaitMs);
    Attach(db.get(), path, std::string(), readOnly);
    db.release();
    forReading_ = openForReading_;
    // What a later write checks that the path still names (the engine's own
    // check, HAS_MOVED, compares the inode it opened).
    if (const vaultfile::TFileIdentity id = vaultfile::IdentityOf(path); id.inode != 0)
        fileIdentity_ = id;
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

