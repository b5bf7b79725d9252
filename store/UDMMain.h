#pragma once
// The store module: sole owner of the vault table CDS and its five field
// objects, with the record operations the windows use. No windows, no
// dialogs: failures are exceptions with message texts.
//
// Adding a record (the callers' part):
//   DMMain->CDS.Append();                       // or LocateImage + CDS.Edit()
//   DMMain->CDSFileName.SetAsString(name);      // at most 255 bytes (kVaultNameBytes)
//   DMMain->CDSDimX.SetAsInteger(width);        // 16-bit, else range error
//   DMMain->CDSDimY.SetAsInteger(height);
//   DMMain->LoadImageFromFile(path);
//   DMMain->CDSImageType.SetAsString("J");
//   DMMain->CDS.Post();
// Walking the records under the filter:
//   for (DMMain->CDS.First(); !DMMain->CDS.Eof(); DMMain->CDS.Next()) ...
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "store/VaultTable.h"

#include "platform/MemoryBudget.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Any error zlib reports while deflating or inflating. Message: "Error".
class EZLibError : public Exception {
public:
    using Exception::Exception;
};
// A stream that inflates to more than the limit it was given.
class EInflateTooLarge : public EZLibError {
public:
    using EZLibError::EZLibError;
};

// Deflates the whole of source (from its beginning, whatever its position)
// into dest at dest's position: one zlib stream, level 9, 15-bit window,
// memory level 8, default strategy, written in 65,536-byte pieces. A file
// of 64 KB or more whose middle barely deflates (one already compressed)
// is instead deflated whole in memory by a faster encoder at its level 9:
// the same stream format, header 0x78 0xDA and Adler-32 trailer included.
void CompressStream(TStream& source, TStream& dest);
// The most an image may inflate to in memory (a thumbnail, the preview, a
// check): a small hostile blob can claim far more.
inline constexpr int64_t kMaxInflatedImage = int64_t(1) << 30;
// Inflates the zlib stream that starts at source's position into dest,
// 4096 bytes at a time. A stream cut short inflates to what came, without
// an error; a damaged one raises EZLibError("Error"), and one that inflates
// to more than limit bytes raises EZLibError before dest gets more. Source
// is left just after the stream's end when it ended. A memory stream holding
// a whole, sound stream is inflated in one call (libdeflate), to the same
// bytes.
void DecompressStream(TStream& source, TStream& dest, int64_t limit = INT64_MAX);
// Inflates a whole stored blob into dest as DecompressStream does with the
// limit kMaxInflatedImage, never holding more than lease has taken of its
// budget: when the image needs more it is inflated again with a lease four
// times as large (at last kMaxInflatedImage, whose message a larger one
// raises). The lease then covers what dest holds.
void DecompressWithinLease(const std::vector<uint8_t>& packed, TStream& dest, TMemoryBudget::TLease& lease);

class TDMMain {
public:
    TDMMain();
    // Drops the table without writing it back; close it first (Active :=
    // false) to keep changes.
    ~TDMMain() = default;
    TDMMain(const TDMMain&) = delete;
    TDMMain& operator=(const TDMMain&) = delete;

    TVaultTable CDS;
    TStringField& CDSFileName;
    TSmallintField& CDSDimX;
    TSmallintField& CDSDimY;
    TBlobField& CDSImage;
    TStringField& CDSImageType;

    // Whether the table is open.
    bool Active() const { return CDS.Active(); }
    // true: loads the file named by CDS.FileName() (see TVaultTable::Open),
    // then switches change logging off. false: closes the table, writing a
    // bound, changed table back to its file (see TVaultTable::Close).
    void SetActive(bool value);

    // New: closes the table (a bound, changed table is written back; if that
    // raises, nothing else happens), clears the file name and creates a new,
    // empty, open table with the default change logging.
    void CreateNewTable();

    // Compresses the file into CDSImage of the record being inserted or
    // edited; the caller has called Append or Edit and posts afterwards.
    void LoadImageFromFile(const std::string& path);
    // Writes the inflated CDSImage of the current record to the file, made
    // or replaced only once complete (WriteFileSafely): on any failure an
    // existing file keeps its bytes and no partial file is left.
    void SaveImageToFile(const std::string& path);
    // The inflated CDSImage of the current record, positioned at 0. Raises
    // "Error" for a damaged blob (and frees what it made).
    std::unique_ptr<TMemoryStream> CreateImageStream();

    // Moves to the record with this FileName and ImageType, ignoring letter
    // case in both (Unicode-aware); sees every record whatever the filter.
    // False (cursor unchanged) when there is none. Only for the questions
    // that ask whether a name is taken (replace, rename's duplicate).
    bool LocateImage(const std::string& name, const std::string& kind);
    // Moves to exactly this record: the same name bytes and kind letter.
    // What commands on one record use, so that Photo is never taken for photo.
    bool LocateRecord(const std::string& name, const std::string& kind);
    // Deletes the record LocateRecord finds (the next one becomes current);
    // nothing when there is none.
    void DeleteImage(const std::string& name, const std::string& kind);
    // Sets FileName of the record LocateRecord finds to newName and posts;
    // nothing when there is none. A name over kVaultNameBytes is refused. If
    // the post raises (a key violation), the edit is cancelled and the error
    // passes on.
    void RenameImage(const std::string& name, const std::string& kind, const std::string& newName);

    // ---- adding and renaming, as every front end does it ----
    // Looks for the record that adding an image called name would replace:
    // the same name and kind, ignoring case. Raises for a name too long to
    // store (CheckImageNameLength).
    bool LocateImageToReplace(const std::string& name, const std::string& kind);
    // Stores the file as an image record: into the current record when
    // replace (found by LocateImageToReplace), else into a new one. On any
    // failure (a name too long among them) the record is left as it was
    // (nothing half-added) and the error passes on.
    void StoreImageFile(bool replace, const std::string& name, const std::string& kind, int width, int height,
                        const std::string& path);
    // The same with the image already compressed as the store keeps it.
    void StorePackedImage(bool replace, const std::string& name, const std::string& kind, int width, int height,
                          std::vector<uint8_t> packed);
    // The name a record of this kind may be renamed to, trimmed. Raises
    // "Invalid image name." (empty, or holds a path separator), the
    // too-long message (CheckImageNameLength) or "Image name duplication."
    // (taken, letter case ignored).
    std::string CheckNewImageName(const std::string& newName, const std::string& kind);

    // ---- the password record (DimX 0, DimY 0, ImageType '\\') ----
    // Moves to the password record; false (cursor unchanged) when there is none.
    bool LocatePassword();
    // Raises "Wrong password." unless password matches the stored one;
    // accepts anything when the vault has no password.
    void CheckPassword(const std::string& password);
    // Sets, changes or (newPassword empty) removes the password. Changing
    // needs the old one; a new password whose scrambled form would not
    // survive the name field intact is refused before anything changes.
    void SetPassword(const std::string& oldPassword, const std::string& newPassword);

private:
    // Fills the current or a new record, setImage putting its bytes in place.
    void StoreImageRecord(bool replace, const std::string& name, const std::string& kind, int width, int height,
                          const std::function<void()>& setImage);
};

// Raises a clear message for a name longer than the vault keeps
// (kVaultNameBytes of UTF-8).
void CheckImageNameLength(const std::string& name);

// Appends a record holding bytes as its image and posts it: compressed as
// the store keeps images, or with compress false as they stand (a damaged
// blob). For records made without a file: tests, fuzzing, tools.
void AppendImageRecord(TDMMain& store, const std::string& name, int width, int height, const std::string& kind,
                       const std::vector<uint8_t>& bytes, bool compress = true);

// Each character's code one higher (255 wraps to 0), then reversed: "abc"
// gives "dcb".
std::string ScramblePassword(const std::string& password);
// Whether the scrambled form of password fits the name field unchanged
// (at most 32 characters, none of them code 0, all valid characters).
bool PasswordFitsField(const std::string& password);

// The store module of the running program; created by the program body after
// the main window, null until then.
extern TDMMain* DMMain;
