#pragma once
// The vault table: one table of image records in an SQLite database. A
// vault opened from a file is worked on in place: the engine reads only the
// pages it needs, and each command's changes are written (committed) when
// the command ends: a change made outside a command (BeginCommand /
// EndCommand) is a command of its own. So no failure (a full disk, an I/O
// error, a kill) costs more than the command it hit, and between commands
// the file is a consistent vault that may be copied. Its rollback journal
// keeps the vault as last written through any crash. A new (untitled) table
// lives in a temporary database file that is removed when it is closed.
//
// Shape of every table (fixed, in this order; all five required):
//   FileName  TEXT     255 bytes UTF-8 \  primary, unique key,
//   DimX      INTEGER  16-bit signed    |  compared exactly (BINARY)
//   DimY      INTEGER  16-bit signed    |
//   Image     BLOB                      |
//   ImageType TEXT     1 character     /
// In the file the table is named "Images"; PRAGMA application_id marks the
// file as ours and PRAGMA user_version carries the format version.
//
// One writer per vault: opening takes the engine's reserved lock for the
// whole time the table is open (readers are let in: they see the vault as
// the last command left it), so a second table (another window, another
// program) that opens the same vault for changes is refused. A vault file
// (or folder) the user may not write opens read-only: changes are refused
// before anything changes.
//
// A vault file replaced or removed by another program while it is open is
// never written into: the write at the end of a command (and at Close)
// raises EVaultReplaced and keeps the changes, which SaveToFile can then
// put into a file of the user's choice.
//
// Cursor rules:
// - Records are visited in key order: FileName, then ImageType, both by
//   byte (code point) order, letter case significant.
// - First/Next/Prior/Last and RecordCount see only the records the filter
//   lets through (when Filtered is on and the expression is not blank).
// - Locate sees every record, whatever the filter. When it lands on a record
//   the filter hides, the cursor sits on that record (its fields readable,
//   Edit/Delete act on it) until the next move; Next then goes on to the
//   first record after it in key order that the filter lets through. A
//   record posted by Append that the filter hides is treated the same way.
// - Any move (First, Next, Prior, Last, Locate) and any filter change first
//   posts a pending insert or edit; if that post raises, nothing moves.
// - Next on the last record sets Eof and leaves the cursor where it is; Prior
//   on the first sets Bof. On an empty table (under the filter) both are set
//   and there is no current record.
// - Delete makes the following record current; when the deleted record was
//   the last one, the record before it becomes current and Eof is set.
//
// Change tracking: the table remembers the engine's change count when it was
// opened, created or last written to its file name; Close writes back only
// when that count moved (and a file name is set). A bound vault is written
// at every command's end, so it has changes only inside a command (or after
// a write that failed).
//
// Every failure raises EDatabaseError (or the platform's file errors) with a
// message; nothing is reported through return codes except "not found".
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "store/BlobCodec.h"
#include "store/VaultFile.h"
#include "store/VaultFilter.h"

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// A new vault lives in "gmb-untitled-<pid>-XXXXXX" in the temp folder until
// it is saved. Those of this user whose program has ended without removing
// them (killed, crashed) are removed from folder; returns how many.
int RemoveAbandonedUntitledVaults(const std::string& folder);

// Failures of the vault table: bad files, key violations, missing values,
// misuse of the cursor.
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// The vault file was replaced or removed by another program while open;
// nothing was written, the changes are kept.
class EVaultReplaced : public EDatabaseError {
public:
    using EDatabaseError::EDatabaseError;
};

// The vault is open for changes in another window or program (a second
// writer is refused; it may still open the vault for reading).
class EVaultBusy : public EDatabaseError {
public:
    using EDatabaseError::EDatabaseError;
};

class TVaultTable;

// A record as a rewrite of every blob sees it.
struct TBlobRecord {
    std::string name;
    int64_t dimX = 0;
    int64_t dimY = 0;
    std::string kind;
};
// What a record's stored blob becomes; nothing keeps it as it is.
using TBlobRewrite = std::function<std::optional<std::vector<uint8_t>>(const TBlobRecord&, std::vector<uint8_t>)>;

// Runs body as one command of table (BeginCommand ... EndCommand): what it
// changed is written when it ends, also when it raises (what it posted
// before the error is kept); the body's error wins over the write's.
void RunVaultCommand(TVaultTable& table, const std::function<void()>& body);

enum class TDataSetState { Inactive, Browse, Insert, Edit };

// Position of a field in the table, also its column number.
enum class TFieldIndex { FileName = 0, DimX = 1, DimY = 2, Image = 3, ImageType = 4 };
inline constexpr int kVaultFieldCount = 5;
// The longest FileName, in bytes of UTF-8: what file systems allow for a
// file name, so a name is kept as whole as the file it came from. Vaults
// of older versions hold at most 32 characters, well within it.
inline constexpr size_t kVaultNameBytes = 255;

// A value given to Locate: a number for DimX/DimY, a text for the others.
using TLocateValue = TFilterValue;

// One column of the table's current record. Field objects belong to their
// table and always refer to its current record (or, in insert and edit
// state, to the record being edited). Reading a field of a closed table or
// of an empty table gives null. Assigning needs insert or edit state.
class TField {
public:
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;
    virtual ~TField() = default;

    const std::string& FieldName() const { return name_; }
    TFieldIndex Index() const { return index_; }
    bool Required() const { return true; }
    bool IsNull() const;
    // Sets the field to null (no value).
    void Clear();

protected:
    TField(TVaultTable& table, TFieldIndex index, std::string name)
        : table_(table), index_(index), name_(std::move(name))
    {
    }
    TVaultTable& table_;

private:
    TFieldIndex index_;
    std::string name_;
};

// What a text field's Size counts.
enum class TTextWidth { Characters, Utf8Bytes };

// A text field of Size characters (Unicode code points), or of Size bytes
// of UTF-8. A longer text is cut to fit, never inside a character, without
// a word; an empty text makes the field null.
class TStringField : public TField {
public:
    TStringField(TVaultTable& table, TFieldIndex index, std::string name, size_t size,
                 TTextWidth width = TTextWidth::Characters)
        : TField(table, index, std::move(name)), size_(size), width_(width)
    {
    }
    size_t Size() const { return size_; }
    TTextWidth Width() const { return width_; }
    // "" when null.
    std::string AsString() const;
    void SetAsString(const std::string& value);

private:
    size_t size_;
    TTextWidth width_;
};

// A 16-bit signed integer field. Out-of-range values are refused with the
// message "<v> is not a valid value for field '<name>'. The allowed range is
// -32768 to 32767".
class TSmallintField : public TField {
public:
    static constexpr int64_t kMin = -32768;
    static constexpr int64_t kMax = 32767;
    TSmallintField(TVaultTable& table, TFieldIndex index, std::string name) : TField(table, index, std::move(name)) {}
    // 0 when null.
    int AsInteger() const;
    void SetAsInteger(int64_t value);
};

// A blob field: loaded whole from a stream, saved whole to a stream. A
// loaded blob has a value even when it is empty (zero bytes).
class TBlobField : public TField {
public:
    TBlobField(TVaultTable& table, TFieldIndex index, std::string name) : TField(table, index, std::move(name)) {}
    // Reads the whole of source from its beginning into the field.
    void LoadFromStream(TStream& source);
    // Takes the bytes as the field's value (no copy).
    void SetBytes(std::vector<uint8_t> bytes);
    // Writes the whole value at dest's current position (nothing when null).
    void SaveToStream(TStream& dest) const;
    // Size of the value in bytes (0 when null).
    int64_t BlobSize() const;
    // The last up to n bytes of the value, read without reading the rest
    // (an incremental read of the stored record); empty when null.
    std::vector<uint8_t> Tail(size_t n) const;
};

class TVaultTable {
public:
    // name: the component name that prefixes some messages ("CDS").
    explicit TVaultTable(std::string name);
    // Drops the changes WITHOUT writing them back: call Close first to keep
    // them (a destructor cannot report a failed write).
    ~TVaultTable();
    TVaultTable(const TVaultTable&) = delete;
    TVaultTable& operator=(const TVaultTable&) = delete;

    const std::string& Name() const { return name_; }

    // ---- fields
    TStringField& FieldFileName() { return fileName_; }
    TSmallintField& FieldDimX() { return dimX_; }
    TSmallintField& FieldDimY() { return dimY_; }
    TBlobField& FieldImage() { return image_; }
    TStringField& FieldImageType() { return imageType_; }
    TField& Field(TFieldIndex index);
    // Field by name, case-insensitive; raises "<Name>: Field '<n>' not found".
    TField& FieldByName(const std::string& name);

    // ---- lifecycle
    // The file the table is read from on Open and written to on Close and
    // Save. May be changed while the table is open: the next write goes to
    // the new name.
    const std::string& FileName() const { return path_; }
    void SetFileName(const std::string& path) { path_ = path; }

    bool Active() const { return db_ != nullptr; }
    TDataSetState State() const;

    // Creates a new, empty, open table (no records). Raises when the table is
    // open: close it first. The file name is kept as it is.
    void CreateDataSet();
    // Opens the table on the file named by FileName, on its first record.
    // Checks the header and the schema, not every page: a damaged page met
    // later raises an error naming the vault. Does nothing when the table is
    // already open. A missing file (or no file name) raises "<Name>: Missing
    // data provider or data packet"; a file that is not a vault, or a vault
    // open for changes elsewhere, is refused with a message that says why.
    // On failure the table stays closed and the file is not touched.
    void Open();
    // Writes the table back to FileName when a file name is set and the data
    // changed since it was opened or last written, then closes the table. A
    // pending insert or edit is cancelled first. If the write fails, the
    // error is raised and the table stays open; the vault is as last
    // written. A failure the engine cannot undo (an I/O error in the middle
    // of the commit) also drops the unwritten changes, and the message says
    // so; a lack of disk space is found before anything is written and keeps
    // them.
    void Close();
    // Writes the table to FileName (which must be set).
    void Save();
    // Writes every record, changes included, to path. The file the table
    // works on is written back in place; any other file is replaced
    // atomically: a new file beside it is written, flushed to disk and
    // renamed over it, and when path is FileName the table goes on working
    // on that file (the file it worked on keeps its last written state). Any
    // failure leaves the old file as it was and raises; once the new file
    // is in place nothing raises. A target open for changes elsewhere is
    // refused.
    void SaveToFile(const std::string& path);
    // True when the data changed since it was opened, created or last
    // written to FileName.
    bool HasChanges() const;

    // ---- commands
    // Changes between BeginCommand and the matching EndCommand form one
    // command (nested pairs count as part of the outer one): the outermost
    // EndCommand writes them to the vault in one commit, when there are
    // any. A change outside any command is written at once. If the write
    // fails, the command's changes are dropped and the message says so (a
    // vault another program is reading for longer than a few seconds keeps
    // them for the next write), and a replaced vault file raises
    // EVaultReplaced.
    void BeginCommand();
    void EndCommand();
    // Drops the changes not written yet (after EVaultReplaced, when the user
    // does not want them); the vault stays as last written.
    void DiscardChanges();

    // Change logging: kept for the callers that switch it; this engine keeps
    // no undo log, edits always apply directly, so the flag changes nothing.
    bool LogChanges() const { return logChanges_; }
    void SetLogChanges(bool on) { logChanges_ = on; }

    // ---- filter
    // Expression grammar: comparisons FIELD op literal, op one of = <> < > <=
    // >=, literal a quoted text ('it''s') or an integer; joined by AND / OR
    // (AND binds tighter), NOT, parentheses; blanks anywhere between tokens;
    // field names and keywords ignore letter case. Text compares exactly. A
    // blank expression lets every record through. An expression that does
    // not parse raises and the old filter stays. The filter survives Close,
    // Open and CreateDataSet.
    const std::string& Filter() const { return filterText_; }
    void SetFilter(const std::string& expression);
    bool Filtered() const { return filtered_; }
    void SetFiltered(bool on);

    // ---- cursor
    void First();
    void Next();
    void Prior();
    void Last();
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    // Records the filter lets through (0 when closed).
    int64_t RecordCount();
    // True when the cursor is on a record.
    bool HasCurrentRecord() const { return current_.has_value(); }

    // ---- editing
    // New record with every field null, insert state.
    void Append();
    // Puts the current record into edit state (raises when there is none).
    void Edit();
    // Stores the record being inserted or edited. Raises "Field '<name>' must
    // have a value" for the first null field, or a key violation when another
    // record has the same FileName and ImageType; in both cases the record
    // stays in insert or edit state.
    void Post();
    // Drops a pending insert or edit; back to browse state.
    void Cancel();
    // Deletes the current record (a pending insert is cancelled instead).
    void Delete();

    // ---- lookup
    // Moves to the first record, in key order, whose fields (names joined by
    // ';') equal the values; sees every record whatever the filter. With
    // ignoreCase, text fields compare without letter case across Unicode.
    // Returns false and leaves the cursor when none matches.
    bool Locate(const std::string& keyFields, const std::vector<TLocateValue>& values, bool ignoreCase);

    // ---- image blobs
    // How image blobs are kept; plain until set, and again after Open,
    // CreateDataSet and Close. Post keeps an image assigned in insert or
    // edit state through it (TBlobCodec::Seal with the record's name and
    // kind); a sealed blob whose record changed name or kind is sealed
    // again under the new ones (one that does not open is kept as it is).
    const TBlobCodec& BlobCodec() const { return codec_; }
    void SetBlobCodec(TBlobCodec codec) { codec_ = std::move(codec); }
    // Runs body so that its changes are made all together or not at all:
    // when it raises, everything it changed is undone, the cursor goes to
    // the first record and the error passes on. Nests; the changes belong
    // to the running command and are written when it ends.
    void RunAtomically(const std::function<void()>& body);
    // Gives every record (whatever the filter) the blob rewrite makes of
    // its stored one, all or nothing (RunAtomically). What the new blobs
    // replace is wiped, not left in the file's free pages.
    void RewriteBlobs(const TBlobRewrite& rewrite);

    // ---- copy
    // Gives dest a complete copy of every record, whatever this table's
    // filter. dest is opened (closed first if needed, without writing back),
    // has no file name and no changes, keeps its own filter, and stands on
    // its first record. The copy reads this table's data until either table
    // changes; only then are the records copied (into a temporary file).
    void CopyDataTo(TVaultTable& dest);

    // The identity of the file the records live in (the vault file, or the
    // temporary file of an untitled vault); all 0 when closed. A command's
    // write-back changes the file in place and keeps it; Save As moves the
    // table to its new file, and with it to that file's identity.
    vaultfile::TFileIdentity FileIdentity() const;

    // True when the vault is open read-only (changes are refused).
    bool ReadOnly() const { return Active() && readOnly_; }
    // With on, Open opens the vault for reading only: it takes no lock that
    // keeps a writer out, refuses every change, and sees the vault as the
    // writer's last command left it. Kept across Close; off at first.
    void SetOpenForReading(bool on) { openForReading_ = on; }
    bool OpenForReading() const { return openForReading_; }

    // Test seam: called at each stage of writing a vault file (see
    // TWriteStage). A probe that throws makes the write fail there.
    static void SetWriteProbe(TWriteProbe probe);

private:
    friend class TField;
    friend class TStringField;
    friend class TSmallintField;
    friend class TBlobField;

    struct TStatementCache;
    struct TSlot {
        bool null = true;
        int64_t number = 0;
        std::string text;
        std::vector<uint8_t> bytes;
        bool blobInDb = false; // the value is the stored record's blob
    };
    struct TRecord {
        int64_t rowid = 0;
        std::array<TSlot, kVaultFieldCount> slots;
    };

    // Engine helpers.
    void OpenVault();
    void OpenTemporary();
    void Attach(sqlite3* db, const std::string& dbPath, const std::string& tempPath, bool readOnly);
    void CloseConnection() noexcept;
    // Lets go of the connection (rolled back, or handed back to its lender).
    void DropConnection() noexcept;
    void ValidateSchema();
    [[noreturn]] void EngineFailed() const;
    // Before any change: refuses a read-only vault, gives borrowed data a
    // copy of its own, and opens the transaction changes collect in.
    void BeginChange();
    void DetachBorrowers() noexcept;
    void TakeOwnCopy();
    // Goes on from scratch's temporary database (its connection taken over).
    void TakeTemporary(TVaultTable& scratch);
    void WriteBackInPlace();
    void WriteCopy(const std::string& path);
    void Rebind(const std::string& path);
    bool IsConnectedFile(const std::string& path) const;
    // Whether the file the connection works on is no longer at its path.
    bool VaultFileMoved() const;
    // Writes a bound vault's changes at the end of a command.
    void WriteCommand();
    // Takes the reserved lock again after a commit or a rollback.
    void HoldVault();
    // Gives the vault's free pages back to the system when many lie unused.
    void TrimFreePages() noexcept;
    // The vault file was replaced: go on from a temporary copy of the records
    // (changes included) that only a chosen target receives.
    void LeaveReplacedFile();
    void RequireActive() const;
    sqlite3_stmt* Statement(const std::string& sql);
    bool Step(sqlite3_stmt* stmt) const;
    bool FilterActive() const;
    std::string FilteredSql(const char* head, const char* keyCondition, const char* tail) const;
    static void BindValue(sqlite3_stmt* stmt, int index, const TLocateValue& value);
    void BindFilter(sqlite3_stmt* stmt, int firstIndex) const;
    bool ReadRecord(sqlite3_stmt* stmt, TRecord& into) const;
    // Moves to the first (forward) or last record under the filter, or to
    // the nearest one after / before from's key; false when there is none.
    bool Seek(bool forward, bool fromCurrent, const TRecord* from);
    void ResetCursorEmpty();
    void CheckBrowseMode();
    // Post's statement (which must end before a write swaps connections).
    void PostRecord(bool inserting);
    // chosen: the user named path (Save As), so it may replace whatever is
    // there; a write-back (false) never replaces a file put in the vault's place.
    void WriteFile(const std::string& path, bool chosen);
    void MarkWritten();

    // The stored blob of the record at rowid sealed again under name and
    // kind, when they are not the ones it was sealed under and it opens.
    void RunInSavepoint(const std::function<void()>& body);
    std::optional<std::vector<uint8_t>> ResealRenamed(int64_t rowid, const std::string& name, const std::string& kind);

    // Field helpers.
    const TSlot* ReadSlot(TFieldIndex index) const;
    TSlot& WriteSlot(const TField& field);
    void FetchBlob(std::vector<uint8_t>* into, TStream* dest);
    std::vector<uint8_t> FetchBlobTail(size_t n);

    std::string name_;
    TStringField fileName_;
    TSmallintField dimX_;
    TSmallintField dimY_;
    TBlobField image_;
    TStringField imageType_;

    std::string path_;
    sqlite3* db_ = nullptr;
    std::string dbPath_;    // the vault the connection works on ("" when temporary)
    std::string tempPath_;  // the temporary database file, removed on close
    std::string replacedPath_; // the vault whose file was replaced: never written back
    bool readOnly_ = false;
    bool openForReading_ = false;
    bool forReading_ = false; // this connection was opened for reading only
    TVaultTable* lender_ = nullptr;          // the table whose data a copy reads
    std::vector<TVaultTable*> borrowers_;    // copies reading this table's data
    std::unique_ptr<TStatementCache> statements_;
    mutable int64_t writtenMark_ = 0; // reset when the engine drops changes
    bool logChanges_ = true;
    int commandDepth_ = 0;
    int64_t commandMark_ = 0; // the change count when the outermost command began
    vaultfile::TFileIdentity fileIdentity_; // of the vault file the connection opened

    TBlobCodec codec_;

    std::string filterText_;
    bool filtered_ = false;
    std::optional<TFilterCondition> filter_;

    TDataSetState state_ = TDataSetState::Inactive;
    std::optional<TRecord> current_; // the record the cursor is on
    TRecord edit_;                    // the record being inserted or edited
    bool editModified_ = false;       // a field of edit_ was assigned
    bool eof_ = true;
    bool bof_ = true;
};
