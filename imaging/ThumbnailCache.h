#pragma once
// The thumbnail cache. A record's thumbnail is a pure function of its
// bytes, its kind and the thumbnail size, so it is kept under a key made of
// exactly those: in memory for the running program, and on disk in the
// user's cache folder (one SQLite file, bounded, oldest dropped first).
// The disk part is disposable: a damaged file is rebuilt, a folder that
// cannot be written or a missing home leaves the cache in memory only;
// nothing here ever raises. Thread-safe.
//
// Keys are scoped by the vault's file (see TThumbnailScope).
// The key does not need the whole stored blob: its compressed length and
// its last 32 bytes, which end with the zlib stream's Adler-32 of the
// image bytes (and before it the final deflate codes, which depend on the
// image's last block and its Huffman tables).
#include "imaging/ImageKinds.h"
#include "store/VaultFile.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class TDMMain;
struct sqlite3;

// The vault a thumbnail was made for: its file's device, inode and birth
// time. Two vaults never share pictures, so a record made to look like
// another vault's (same length, same last bytes) cannot show that vault's
// picture, nor can a new vault file that was given a deleted one's inode.
using TThumbnailScope = vaultfile::TFileIdentity;
// The scope of the store's open vault.
TThumbnailScope ThumbnailScopeOf(TDMMain& store);

struct TThumbnailKey {
    static constexpr size_t kTailBytes = 32;
    TThumbnailScope scope;
    int64_t packedLength = 0;
    std::vector<uint8_t> tail; // the stored blob's last kTailBytes (fewer when shorter)
    ImageKind kind = 'B';      // the loader's letter: unknown letters count as B
    int width = 0;
    int height = 0;
    // Everything above plus the format version of the cached pictures.
    std::string Bytes() const;
};

// The key of the store's current record, read through the store without
// reading its whole blob.
TThumbnailKey ThumbnailKeyOfRecord(TDMMain& store, int width, int height);
// The key of a compressed blob held in memory (a file being added to the
// vault of scope).
TThumbnailKey ThumbnailKeyOfPacked(const std::vector<uint8_t>& packed, ImageKind kind, int width, int height,
                                   const TThumbnailScope& scope);

class TThumbnailCache {
public:
    static constexpr int64_t kDiskLimit = 256LL << 20;
    static constexpr int64_t kMemoryLimit = 128LL << 20;

    // folder: where the cache file goes (made when missing); empty keeps
    // everything in memory.
    explicit TThumbnailCache(const std::string& folder, int64_t diskLimit = kDiskLimit,
                             int64_t memoryLimit = kMemoryLimit);
    // Writes what is pending.
    ~TThumbnailCache();
    TThumbnailCache(const TThumbnailCache&) = delete;
    TThumbnailCache& operator=(const TThumbnailCache&) = delete;

    std::optional<QImage> Find(const TThumbnailKey& key);
    void Put(const TThumbnailKey& key, const QImage& image);
    // Writes the pictures put since the last write to disk.
    void Flush();
    // Forgets what is held in memory (the disk file stays).
    void ClearMemory();
    // Forgets every picture of the vault of scope, in memory and on disk,
    // and leaves nothing of them readable in the file or its log: for a
    // vault whose pictures must not be kept outside it any more.
    void ForgetScope(const TThumbnailScope& scope);
    // Gives the vault of to a copy of every picture of the vault of from
    // (a vault saved under a new file keeps its thumbnails).
    void CopyScope(const TThumbnailScope& from, const TThumbnailScope& to);

    // The cache file; empty when the cache lives in memory only.
    std::string FilePath() const;
    bool OnDisk() const;

    // The program's cache, in ThumbnailCacheFolder(), made on first use.
    static TThumbnailCache& Shared();
    // Closes the program's cache; the next Shared() reads the environment again.
    static void ResetShared();

private:
    struct TEntry {
        QImage image;
        std::list<std::string>::iterator age;
    };
    void Remember(const std::string& key, const QImage& image);
    bool OpenDisk();
    void CloseDisk() noexcept;
    void DiskFailed(int rc) noexcept;
    std::optional<QImage> ReadDisk(const std::string& key);
    void WritePending();
    void Evict();
    void DropFromMemory(const std::string& prefix);
    int DiskInTransaction(const std::function<int()>& body);
    void DiscardDisk() noexcept;

    mutable std::mutex lock_;
    std::string folder_;
    std::string path_;
    int64_t diskLimit_;
    int64_t memoryLimit_;
    int64_t memoryBytes_ = 0;
    std::unordered_map<std::string, TEntry> memory_;
    std::list<std::string> ages_; // oldest first
    sqlite3* db_ = nullptr;
    bool rebuilt_ = false;
    int64_t diskBytes_ = 0;
    int64_t lastUse_ = 0;
    std::vector<std::pair<std::string, QImage>> pending_;
    int64_t pendingBytes_ = 0;
    std::vector<std::string> touched_;
};

// Forgets the pictures of scope in the program's cache, on disk too, as
// ForgetScope; opens no cache file that is not there yet.
void ForgetThumbnailsOfScope(const TThumbnailScope& scope);
// An encrypted vault's pictures are never kept in the cache: forgets those
// kept while the store's open vault was plain. False when it is plain.
bool ForgetThumbnailsIfEncrypted(TDMMain& store);

// $XDG_CACHE_HOME/glimmerbox, else $HOME/.cache/glimmerbox; empty when
// neither names an absolute folder.
std::string ThumbnailCacheFolder();
