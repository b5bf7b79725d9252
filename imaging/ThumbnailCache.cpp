#include "ThumbnailCache.h"

#include "store/UDMMain.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// Changes whenever the thumbnails themselves would come out differently.
// 3: keys scoped by the vault's file. 4: the scope holds its birth time.
constexpr uint32_t kFormatVersion = 4;
// The key's first byte is the version's low byte, never 0xFF: every scope's
// prefix has a successor (PrefixEnd).
static_assert(kFormatVersion % 256 != 0xFF);
// Small batches: the workers write most of them, the GUI thread's last
// write stays short.
constexpr int64_t kPendingLimit = 1LL << 20;
constexpr const char* kFileName = "thumbnails.sqlite";
// How long forgetting a vault waits for another program's use of the file.
constexpr int kForgetWaitMs = 2000;
constexpr int kBusyWaitMs = 100;

void AppendInt(std::string& out, int64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((static_cast<uint64_t>(v) >> (8 * i)) & 0xFF));
}

// Width, height, then the rows of 32-bit pixels.
std::vector<uint8_t> Serialise(const QImage& image)
{
    const QImage rgb = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    const size_t row = static_cast<size_t>(rgb.width()) * 4;
    std::vector<uint8_t> out(8 + row * static_cast<size_t>(rgb.height()));
    const int32_t size[2] = {rgb.width(), rgb.height()};
    std::memcpy(out.data(), size, 8);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(out.data() + 8 + row * static_cast<size_t>(y), rgb.constScanLine(y), row);
    return out;
}

std::optional<QImage> Deserialise(const void* data, int bytes)
{
    if (bytes < 8)
        return std::nullopt;
    int32_t size[2];
    std::memcpy(size, data, 8);
    if (size[0] <= 0 || size[1] <= 0 || size[0] > 4096 || size[1] > 4096)
        return std::nullopt;
    const size_t row = static_cast<size_t>(size[0]) * 4;
    if (static_cast<size_t>(bytes) != 8 + row * static_cast<size_t>(size[1]))
        return std::nullopt;
    QImage image(size[0], size[1], QImage::Format_RGB32);
    if (image.isNull())
        return std::nullopt;
    for (int y = 0; y < size[1]; ++y)
        std::memcpy(image.scanLine(y), static_cast<const uint8_t*>(data) + 8 + row * static_cast<size_t>(y), row);
    return image;
}

// The bytes every key of the vault of scope begins with.
std::string ScopePrefix(const TThumbnailScope& scope)
{
    std::string out;
    AppendInt(out, kFormatVersion);
    AppendInt(out, static_cast<int64_t>(scope.device));
    AppendInt(out, static_cast<int64_t>(scope.inode));
    AppendInt(out, scope.birth);
    return out;
}

// The least key above every key that begins with prefix.
std::string PrefixEnd(std::string prefix)
{
    while (!prefix.empty() && static_cast<uint8_t>(prefix.back()) == 0xFF)
        prefix.pop_back();
    if (!prefix.empty())
        prefix.back() = static_cast<char>(static_cast<uint8_t>(prefix.back()) + 1);
    return prefix;
}

void BindBytes(sqlite3_stmt* s, int index, const std::string& bytes)
{
    sqlite3_bind_blob(s, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
}

int64_t ImageBytes(const QImage& image) { return image.sizeInBytes() + 64; }

bool IsDamage(int rc)
{
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_SCHEMA;
}

struct Statement {
    sqlite3_stmt* s = nullptr;
    int rc = SQLITE_OK;
    Statement(sqlite3* db, const char* sql) { rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

// The bytes of the pictures whose keys lie in [lo, hi).
int PictureBytesBetween(sqlite3* db, const std::string& lo, const std::string& hi, int64_t& bytes)
{
    Statement q(db, "SELECT total(length(Picture)) FROM Thumbnails WHERE Key >= ? AND Key < ?");
    if (q.rc != SQLITE_OK)
        return q.rc;
    BindBytes(q.s, 1, lo);
    BindBytes(q.s, 2, hi);
    if (sqlite3_step(q.s) != SQLITE_ROW)
        return sqlite3_errcode(db);
    bytes = static_cast<int64_t>(sqlite3_column_double(q.s, 0));
    return SQLITE_OK;
}

std::mutex sharedLock;
std::unique_ptr<TThumbnailCache> shared;

} // namespace

std::string TThumbnailKey::Bytes() const
{
    std::string out = ScopePrefix(scope);
    out.reserve(out.size() + 25 + tail.size());
    AppendInt(out, packedLength);
    out.push_back(kind);
    AppendInt(out, width);
    AppendInt(out, height);
    out.append(reinterpret_cast<const char*>(tail.data()), tail.size());
    return out;
}

TThumbnailScope ThumbnailScopeOf(TDMMain& store)
{
    return store.CDS.FileIdentity();
}

TThumbnailKey ThumbnailKeyOfRecord(TDMMain& store, int width, int height)
{
    TThumbnailKey key;
    key.scope = ThumbnailScopeOf(store);
    key.packedLength = store.CDSImage.BlobSize();
    key.tail = store.CDSImage.Tail(TThumbnailKey::kTailBytes);
    key.kind = KindOf(store.CDSImageType.AsString()).Letter;
    key.width = width;
    key.height = height;
    return key;
}

TThumbnailKey ThumbnailKeyOfPacked(const std::vector<uint8_t>& packed, ImageKind kind, int width, int height,
                                   const TThumbnailScope& scope)
{
    TThumbnailKey key;
    key.scope = scope;
    key.packedLength = static_cast<int64_t>(packed.size());
    const size_t n = std::min(packed.size(), TThumbnailKey::kTailBytes);
    key.tail.assign(packed.end() - static_cast<std::ptrdiff_t>(n), packed.end());
    key.kind = KindOf(kind).Letter;
    key.width = width;
    key.height = height;
    return key;
}

std::string ThumbnailCacheFolder()
{
    // Relative folders in these variables are to be ignored.
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/glimmerbox";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.cache/glimmerbox";
    return std::string();
}

TThumbnailCache::TThumbnailCache(const std::string& folder, int64_t diskLimit, int64_t memoryLimit)
    : folder_(folder), diskLimit_(diskLimit), memoryLimit_(memoryLimit)
{
    if (!folder_.empty()) {
        path_ = folder_ + "/" + kFileName;
        OpenDisk();
    }
}

TThumbnailCache::~TThumbnailCache()
{
    Flush();
    CloseDisk();
}

TThumbnailCache& TThumbnailCache::Shared()
{
    std::lock_guard guard(sharedLock);
    if (!shared)
        shared = std::make_unique<TThumbnailCache>(ThumbnailCacheFolder());
    return *shared;
}

void TThumbnailCache::ResetShared()
{
    std::lock_guard guard(sharedLock);
    shared.reset();
}

std::string TThumbnailCache::FilePath() const
{
    std::lock_guard guard(lock_);
    return db_ ? path_ : std::string();
}

bool TThumbnailCache::OnDisk() const
{
    std::lock_guard guard(lock_);
    return db_ != nullptr;
}

// Opens (or makes) the cache file; a file that is damaged or of another
// format is thrown away and made anew, once per run.
bool TThumbnailCache::OpenDisk()
{
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec)
        return false;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        CloseDisk();
        return false;
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    // The cache can always be rebuilt: a crash may lose its last writes,
    // never more, and it never waits for the disk. Deleted pictures are
    // overwritten: a vault that was shown plain and is protected now must
    // leave nothing of its pictures in the file (see ForgetScope).
    int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON;", nullptr,
                          nullptr, nullptr);
    int version = -1;
    if (rc == SQLITE_OK) {
        Statement q(db_, "PRAGMA user_version");
        rc = q.rc;
        if (rc == SQLITE_OK && sqlite3_step(q.s) == SQLITE_ROW)
            version = sqlite3_column_int(q.s, 0);
        else if (rc == SQLITE_OK)
            rc = sqlite3_errcode(db_);
    }
    if (rc == SQLITE_OK && version != static_cast<int>(kFormatVersion)) {
        const std::string make = "DROP TABLE IF EXISTS Thumbnails;"
                                 "CREATE TABLE Thumbnails(Key BLOB PRIMARY KEY, Used INTEGER NOT NULL, Picture BLOB NOT NULL);"
                                 "CREATE INDEX ThumbnailsByUse ON Thumbnails(Used);"
                                 "PRAGMA user_version=" + std::to_string(kFormatVersion) + ";";
        rc = sqlite3_exec(db_, make.c_str(), nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) {
        Statement q(db_, "SELECT total(length(Picture)), max(Used) FROM Thumbnails");
        rc = q.rc;
        if (rc == SQLITE_OK && sqlite3_step(q.s) == SQLITE_ROW) {
            diskBytes_ = static_cast<int64_t>(sqlite3_column_double(q.s, 0));
            lastUse_ = sqlite3_column_int64(q.s, 1);
        } else if (rc == SQLITE_OK) {
            rc = sqlite3_errcode(db_);
        }
    }
    if (rc == SQLITE_OK)
        return true;
    DiskFailed(rc);
    return db_ != nullptr;
}

void TThumbnailCache::CloseDisk() noexcept
{
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

void TThumbnailCache::DiskFailed(int rc) noexcept
{
    CloseDisk();
    pending_.clear();
    pendingBytes_ = 0;
    touched_.clear();
    if (!IsDamage(rc) || rebuilt_)
        return; // in memory only for the rest of the run
    rebuilt_ = true;
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path_ + suffix, ec);
    OpenDisk();
}

std::optional<QImage> TThumbnailCache::Find(const TThumbnailKey& key)
{
    const std::string k = key.Bytes();
    std::lock_guard guard(lock_);
    if (auto it = memory_.find(k); it != memory_.end()) {
        ages_.splice(ages_.end(), ages_, it->second.age);
        return it->second.image;
    }
    std::optional<QImage> found = ReadDisk(k);
    if (found && (found->width() != key.width || found->height() != key.height))
        found.reset();
    if (found) {
        Remember(k, *found);
        touched_.push_back(k);
    }
    return found;
}

std::optional<QImage> TThumbnailCache::ReadDisk(const std::string& key)
{
    if (!db_)
        return std::nullopt;
    int rc = SQLITE_OK;
    std::optional<QImage> found;
    {
        Statement q(db_, "SELECT Picture FROM Thumbnails WHERE Key = ?");
        rc = q.rc;
        if (rc == SQLITE_OK) {
            sqlite3_bind_blob(q.s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            rc = sqlite3_step(q.s);
            if (rc == SQLITE_ROW) {
                found = Deserialise(sqlite3_column_blob(q.s, 0), sqlite3_column_bytes(q.s, 0));
                rc = SQLITE_OK;
            } else if (rc == SQLITE_DONE) {
                rc = SQLITE_OK;
            }
        }
    }
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
        return std::nullopt; // another program writes: a miss, nothing broken
    if (rc != SQLITE_OK)
        DiskFailed(rc);
    return found;
}

void TThumbnailCache::Remember(const std::string& key, const QImage& image)
{
    if (auto it = memory_.find(key); it != memory_.end()) {
        memoryBytes_ -= ImageBytes(it->second.image);
        it->second.image = image;
        memoryBytes_ += ImageBytes(image);
        ages_.splice(ages_.end(), ages_, it->second.age);
    } else {
        ages_.push_back(key);
        memory_.emplace(key, TEntry{image, std::prev(ages_.end())});
        memoryBytes_ += ImageBytes(image);
    }
    while (memoryBytes_ > memoryLimit_ && ages_.size() > 1) {
        auto oldest = memory_.find(ages_.front());
        memoryBytes_ -= ImageBytes(oldest->second.image);
        memory_.erase(oldest);
        ages_.pop_front();
    }
}

void TThumbnailCache::Put(const TThumbnailKey& key, const QImage& image)
{
    if (image.isNull())
        return;
    const std::string k = key.Bytes();
    std::lock_guard guard(lock_);
    Remember(k, image);
    if (!db_)
        return;
    pending_.emplace_back(k, image);
    pendingBytes_ += ImageBytes(image);
    if (pendingBytes_ >= kPendingLimit)
        WritePending();
}

void TThumbnailCache::Flush()
{
    std::lock_guard guard(lock_);
    WritePending();
}

void TThumbnailCache::ClearMemory()
{
    std::lock_guard guard(lock_);
    memory_.clear();
    ages_.clear();
    memoryBytes_ = 0;
}

void TThumbnailCache::WritePending()
{
    if (!db_ || (pending_.empty() && touched_.empty()))
        return;
    // A count of writes, not a time: clocks jump, writes only go forward.
    const int64_t stamp = ++lastUse_;
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        Statement put(db_, "INSERT OR REPLACE INTO Thumbnails(Key, Used, Picture) VALUES(?, ?, ?)");
        rc = put.rc;
        for (size_t i = 0; rc == SQLITE_OK && i < pending_.size(); ++i) {
            const std::vector<uint8_t> picture = Serialise(pending_[i].second);
            sqlite3_bind_blob(put.s, 1, pending_[i].first.data(), static_cast<int>(pending_[i].first.size()), SQLITE_STATIC);
            sqlite3_bind_int64(put.s, 2, stamp);
            sqlite3_bind_blob(put.s, 3, picture.data(), static_cast<int>(picture.size()), SQLITE_STATIC);
            rc = sqlite3_step(put.s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
            sqlite3_reset(put.s);
            diskBytes_ += static_cast<int64_t>(picture.size());
        }
        Statement touch(db_, "UPDATE Thumbnails SET Used = ? WHERE Key = ?");
        if (rc == SQLITE_OK)
            rc = touch.rc;
        for (size_t i = 0; rc == SQLITE_OK && i < touched_.size(); ++i) {
            sqlite3_bind_int64(touch.s, 1, stamp);
            sqlite3_bind_blob(touch.s, 2, touched_[i].data(), static_cast<int>(touched_[i].size()), SQLITE_STATIC);
            rc = sqlite3_step(touch.s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
            sqlite3_reset(touch.s);
        }
        if (rc == SQLITE_OK && diskBytes_ > diskLimit_)
            Evict();
        rc = rc == SQLITE_OK && db_ ? sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) : rc;
        if (rc != SQLITE_OK && db_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    pending_.clear();
    pendingBytes_ = 0;
    touched_.clear();
    if (rc != SQLITE_OK && rc != SQLITE_BUSY && db_)
        DiskFailed(rc);
}

// Drops the least recently used pictures until the file holds at most nine
// tenths of its limit (so that every write does not evict again).
void TThumbnailCache::Evict()
{
    int64_t total = 0;
    {
        Statement q(db_, "SELECT total(length(Picture)) FROM Thumbnails");
        if (q.rc != SQLITE_OK || sqlite3_step(q.s) != SQLITE_ROW)
            return;
        total = static_cast<int64_t>(sqlite3_column_double(q.s, 0));
    }
    const int64_t goal = diskLimit_ / 10 * 9;
    std::vector<int64_t> drop;
    {
        Statement q(db_, "SELECT rowid, length(Picture) FROM Thumbnails ORDER BY Used, rowid");
        while (q.rc == SQLITE_OK && total > goal && sqlite3_step(q.s) == SQLITE_ROW) {
            drop.push_back(sqlite3_column_int64(q.s, 0));
            total -= sqlite3_column_int64(q.s, 1);
        }
    }
    Statement del(db_, "DELETE FROM Thumbnails WHERE rowid = ?");
    for (int64_t rowid : drop) {
        if (del.rc != SQLITE_OK)
            break;
        sqlite3_bind_int64(del.s, 1, rowid);
        sqlite3_step(del.s);
        sqlite3_reset(del.s);
    }
    diskBytes_ = total;
}

void TThumbnailCache::DropFromMemory(const std::string& prefix)
{
    for (auto it = memory_.begin(); it != memory_.end();) {
        if (it->first.starts_with(prefix)) {
            memoryBytes_ -= ImageBytes(it->second.image);
            ages_.erase(it->second.age);
            it = memory_.erase(it);
        } else {
            ++it;
        }
    }
}

// Runs body (an SQLite result code) in one write transaction; anything but
// SQLITE_OK when any of it failed (then nothing of it is written).
int TThumbnailCache::DiskInTransaction(const std::function<int()>& body)
{
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = body();
    if (rc == SQLITE_OK && db_)
        rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && db_ && !sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
}

// The file is thrown away and made anew, empty: what it held can be made
// again, what must not stay in it cannot be removed any other way.
void TThumbnailCache::DiscardDisk() noexcept
{
    CloseDisk();
    pending_.clear();
    pendingBytes_ = 0;
    touched_.clear();
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path_ + suffix, ec);
    diskBytes_ = 0;
    OpenDisk();
}

void TThumbnailCache::ForgetScope(const TThumbnailScope& scope)
{
    const std::string lo = ScopePrefix(scope);
    const std::string hi = PrefixEnd(lo);
    std::lock_guard guard(lock_);
    DropFromMemory(lo);
    std::erase_if(pending_, [&](const auto& p) { return p.first.starts_with(lo); });
    pendingBytes_ = 0;
    for (const auto& p : pending_)
        pendingBytes_ += ImageBytes(p.second);
    std::erase_if(touched_, [&](const std::string& k) { return k.starts_with(lo); });
    if (!db_)
        return;
    // Another program's short reads and writes are waited for: giving up
    // here would leave the pictures behind.
    sqlite3_busy_timeout(db_, kForgetWaitMs);
    int64_t dropped = 0;
    const int rc = DiskInTransaction([&] {
        if (const int rc = PictureBytesBetween(db_, lo, hi, dropped); rc != SQLITE_OK)
            return rc;
        Statement del(db_, "DELETE FROM Thumbnails WHERE Key >= ? AND Key < ?");
        if (del.rc != SQLITE_OK)
            return del.rc;
        BindBytes(del.s, 1, lo);
        BindBytes(del.s, 2, hi);
        return sqlite3_step(del.s) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    });
    // The log still holds the pages as they were before: played into the
    // file (whose freed space secure_delete has zeroed) and cut to nothing.
    const bool logCleared =
        rc == SQLITE_OK && sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) == SQLITE_OK;
    if (!logCleared) {
        DiscardDisk();
        return;
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    diskBytes_ = std::max<int64_t>(0, diskBytes_ - dropped);
}

void TThumbnailCache::CopyScope(const TThumbnailScope& from, const TThumbnailScope& to)
{
    if (from == to)
        return;
    const std::string lo = ScopePrefix(from);
    const std::string hi = PrefixEnd(lo);
    const std::string dest = ScopePrefix(to);
    std::lock_guard guard(lock_);
    std::vector<std::pair<std::string, QImage>> copies;
    for (const std::string& k : ages_) // oldest first: the copies keep the order
        if (k.starts_with(lo))
            copies.emplace_back(dest + k.substr(lo.size()), memory_.at(k).image);
    for (const auto& [k, image] : copies)
        Remember(k, image);
    WritePending(); // the pictures not yet written are copied with the rest
    if (!db_)
        return;
    const int64_t stamp = ++lastUse_;
    const int rc = DiskInTransaction([&] {
        int64_t added = 0;
        if (const int rc = PictureBytesBetween(db_, lo, hi, added); rc != SQLITE_OK)
            return rc;
        // || makes text of the bytes; the cast gives them back as the blob
        // every key is.
        Statement copy(db_, "INSERT OR REPLACE INTO Thumbnails(Key, Used, Picture) "
                            "SELECT CAST(?1 || substr(Key, ?2) AS BLOB), ?3, Picture FROM Thumbnails "
                            "WHERE Key >= ?4 AND Key < ?5");
        if (copy.rc != SQLITE_OK)
            return copy.rc;
        BindBytes(copy.s, 1, dest);
        sqlite3_bind_int64(copy.s, 2, static_cast<int64_t>(lo.size()) + 1);
        sqlite3_bind_int64(copy.s, 3, stamp);
        BindBytes(copy.s, 4, lo);
        BindBytes(copy.s, 5, hi);
        if (sqlite3_step(copy.s) != SQLITE_DONE)
            return sqlite3_errcode(db_);
        diskBytes_ += added;
        if (diskBytes_ > diskLimit_)
            Evict();
        return SQLITE_OK;
    });
    if (rc != SQLITE_OK && rc != SQLITE_BUSY && db_)
        DiskFailed(rc);
}

bool ForgetThumbnailsIfEncrypted(TDMMain& store)
{
    if (!store.Encrypted())
        return false;
    ForgetThumbnailsOfScope(ThumbnailScopeOf(store));
    return true;
}

void ForgetThumbnailsOfScope(const TThumbnailScope& scope)
{
    {
        std::lock_guard guard(sharedLock);
        if (!shared) {
            // Nothing of any vault was ever kept on disk here.
            const std::string folder = ThumbnailCacheFolder();
            std::error_code ec;
            if (folder.empty() || !std::filesystem::exists(folder + "/" + kFileName, ec))
                return;
        }
    }
    TThumbnailCache::Shared().ForgetScope(scope);
}
