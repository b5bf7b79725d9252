// The vault table's writes: commands and their write-back in place, Save
// As through a new file, all-or-nothing changes, and copies.
#include "store/VaultTableEngine.h"

using namespace vaultengine;

TWriteProbe& vaultengine::WriteProbe()
{
    static TWriteProbe probe;
    return probe;
}

void TVaultTable::SetWriteProbe(TWriteProbe probe)
{
    vaultvfs::SetProbe(probe);
    WriteProbe() = std::move(probe);
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
    TrimFreePages();
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

void TVaultTable::TrimFreePages() noexcept
{
    if (!db_ || dbPath_.empty() || lender_ || readOnly_ || sqlite3_get_autocommit(db_) || !IsConnectedFile(dbPath_))
        return;
    // Free pages are reused by later adds; the file shrinks only when a
    // quarter of it (and at least 256 pages) lies unused.
    const int64_t unused = PragmaValue(db_, "PRAGMA freelist_count");
    if (unused < 256 || unused * 4 < PragmaValue(db_, "PRAGMA page_count"))
        return;
    // Every change is written by now: a failure here (a full disk for the
    // journal) leaves the vault as it is, only larger.
    if (Exec(db_, "PRAGMA incremental_vacuum") != SQLITE_OK || Exec(db_, kCommit) != SQLITE_OK) {
        if (!sqlite3_get_autocommit(db_))
            Exec(db_, kRollback);
        vaultvfs::TakeProbeFailure(); // a test's injected failure ends here too
    }
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

vaultfile::TFileIdentity TVaultTable::FileIdentity() const
{
    if (lender_)
        return lender_->FileIdentity();
    if (!db_)
        return {};
    if (!dbPath_.empty())
        return fileIdentity_;
    if (!tempPath_.empty())
        return vaultfile::IdentityOf(tempPath_);
    return {};
}

bool TVaultTable::IsConnectedFile(const std::string& path) const
{
    if (dbPath_.empty() || lender_ || VaultFileMoved())
        return false;
    return fileIdentity_.inode != 0 && vaultfile::IdentityOf(path) == fileIdentity_;
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
    fileIdentity_ = fresh.fileIdentity_;
    statements_ = std::move(fresh.statements_);
    fresh.db_ = nullptr;
    fresh.dbPath_.clear();
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

