#pragma once
// The vault file outside the engine: the checks of its SQLite header made
// before the engine reads anything, and the atomic replacement of a file
// by a new one written beside it (Save As).
#include <cstdint>
#include <functional>
#include <string>

// Stages of writing a vault, reported to a probe (a test seam: a probe that
// throws makes the write fail at that stage). A new file written beside its
// target: TempCreated, ChunkWritten (bytes of images so far), Synced,
// BeforeRename. A write-back in place: BeforeCommit (checks passed, nothing
// written yet), then the engine's JournalWritten and PageWritten (end offset
// of the write), FileSynced, SideFileRemoved.
enum class TWriteStage {
    TempCreated,
    ChunkWritten,
    Synced,
    BeforeRename,
    BeforeCommit,
    JournalWritten,
    PageWritten,
    FileSynced,
    SideFileRemoved,
};
using TWriteProbe = std::function<void(TWriteStage stage, int64_t bytesWritten)>;

namespace vaultfile {

inline constexpr uint32_t kApplicationId = 0x474D4258; // "GMBX"
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr int64_t kHeaderSize = 100;
// Why a database that is not ours is refused.
inline constexpr const char* kForeignDatabaseReason =
    "it is an SQLite database of another application, not a Glimmerbox vault";

// Message head for refusals of the file at path: Cannot open vault "<path>": 
std::string RefusalMessage(const std::string& path, const std::string& reason);

// Checks the first bytes of a file (up to kHeaderSize, fewer when the file
// is shorter) against what a vault must be; raises a refusal naming path.
// checkLength: also compare the file's length with the page count (not
// while a journal beside it may still restore the file).
void CheckHeader(const std::string& path, const unsigned char* header, int64_t fileSize, bool checkLength);

// Whether the regular file at path begins as a vault does: an SQLite
// database marked with our application id. The file the engine has open
// (openFile; empty when none) is recognised without being opened, since
// closing a second descriptor of it would drop the engine's locks.
bool LooksLikeVault(const std::string& path, const std::string& openFile);

// Which file a path names: device, inode and, where the file system
// records it, the birth time (nanoseconds since 1970; 0 when unknown).
// Device and inode alone come back when a file is deleted and another made;
// the birth time tells the two apart. All 0 when path names nothing.
struct TFileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t birth = 0;
    bool operator==(const TFileIdentity&) const = default;
};
TFileIdentity IdentityOf(const std::string& path);

// The file a path names, symbolic links followed (the path itself when it
// names nothing yet).
std::string ResolvedPath(const std::string& path);

// Whether path is a regular file of this user (not followed when a link)
// whose maker, process pid, has ended: a file it left behind.
bool IsAbandonedByEndedProcess(const std::string& path, long pid);

// The new files a Save As or a new vault left beside target when its
// program was killed before the rename ("<target>.<pid>.<n>.tmp") are
// removed once that program has ended; returns how many.
int RemoveAbandonedSiblings(const std::string& target);

// A new, empty file beside target (same folder, so that the rename is
// atomic), removed again unless Replace renamed it over target.
class TSiblingFile {
public:
    // Raises "Cannot write vault ..." when it cannot be created.
    explicit TSiblingFile(const std::string& target);
    ~TSiblingFile();
    TSiblingFile(const TSiblingFile&) = delete;
    TSiblingFile& operator=(const TSiblingFile&) = delete;
    const std::string& Path() const { return path_; }
    // Flushes the file to disk, gives it the old target's permissions and
    // renames it over the target (when there was no target at first, only
    // to a name still free: a file made there meanwhile is kept and this
    // raises). Raises on failure (the target is then as
    // it was); once the rename is done nothing raises: the write succeeded.
    void Replace(const TWriteProbe& probe, int64_t bytesWritten);

private:
    std::string target_; // as the caller named it, for messages
    std::string real_;   // the file the rename replaces
    std::string path_;
    bool create_ = false; // no target when the write began: never replace one
    bool renamed_ = false;
};

// Raises the "Cannot write vault" error for target with errno's text.
[[noreturn]] void WriteFailed(const std::string& target, int error);

} // namespace vaultfile
