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
#include "store/BlobCodec.h"
#include "store/VaultCrypto.h"
#include "store/VaultTable.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // Its FileName holds the key envelope (TKeyEnvelope, in base64): the
    // vault key wrapped under the password. Vaults of older versions hold
    // the scrambled password there instead (ScramblePassword), with plain
    // blobs.
    // Moves to the password record; false (cursor unchanged) when there is none.
    bool LocatePassword();
    // Raises "Wrong password." unless password opens the vault; accepts
    // anything when the vault has no password. The right one unlocks the
    // vault: its images can be read and added from then on. A vault
    // protected the old way is encrypted then (a change, written at once),
    // unless it is open read-only.
    void CheckPassword(const std::string& password);
    // Sets, changes or (newPassword empty) removes the password, all or
    // nothing, as one command. Setting encrypts every image blob under a new
    // vault key; changing needs the old password and wraps the same key
    // again, rewriting no blob; removing decrypts every blob (a vault that
    // was not unlocked needs oldPassword for that).
    void SetPassword(const std::string& oldPassword, const std::string& newPassword);
    // Whether the open vault's images are encrypted (and unlocked).
    bool Encrypted() const { return CDS.BlobCodec().Sealed(); }
    // How hard new envelopes make the password to guess (tests and benches
    // make it cheap).
    void SetPasswordHashLimits(TPasswordHashLimits limits) { passwordLimits_ = limits; }

private:
    // The stored blob of the current record, as it is in the vault.
    std::vector<uint8_t> StoredImage();
    // Encrypts every image under a new vault key and puts the envelope of
    // it under password into the password record (made when missing).
    void EncryptVault(const std::string& password);
    // Puts text into the password record (made when missing) and removes
    // any other password record.
    void WritePasswordRecord(const std::string& text);

    TPasswordHashLimits passwordLimits_ = DefaultPasswordHashLimits();

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

// The rules a new password meets before SetPassword, wherever it is typed:
// it differs from the old one, and verified (its second typing) matches it.
void CheckNewPassword(const std::string& oldPassword, const std::string& newPassword, const std::string& verified);
// What a successful SetPassword tells the user.
inline constexpr const char* kPasswordRemoved = "Password is now removed.";
inline constexpr const char* kPasswordChanged = "Password is changed successfully.";

// Each character's code one higher (255 wraps to 0), then reversed: "abc"
// gives "dcb". How vaults of older versions kept their password.
std::string ScramblePassword(const std::string& password);

// The store module of the running program; created by the program body after
// the main window, null until then.
extern TDMMain* DMMain;
