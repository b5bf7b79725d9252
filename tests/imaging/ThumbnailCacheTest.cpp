// Before any Qt header: the store's headers use names that Qt defines as macros.
#include "store/UDMMain.h"

#include "../ScopedEnv.h"
#include "ImagingTestSupport.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "imaging/AddPreparation.h"
#include "imaging/ThumbnailCache.h"
#include "platform/Picture.h"
#include "platform/Stream.h"
#include "platform/WorkerPool.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {


std::vector<uint8_t> Bytes(const std::string& path)
{
    TMemoryStream s;
    s.LoadFromFile(path);
    return s.TakeBytes();
}

std::vector<uint8_t> Packed(const std::vector<uint8_t>& bytes)
{
    TMemoryStream in(bytes), out;
    CompressStream(in, out);
    return out.TakeBytes();
}

QImage Picture(int w, int h, QRgb colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    image.setPixel(0, 0, qRgb(1, 2, 3));
    return image;
}

TThumbnailKey KeyOf(const std::string& text, int w = 32, int h = 32)
{
    return ThumbnailKeyOfPacked(Packed(std::vector<uint8_t>(text.begin(), text.end())), 'B', w, h, {});
}

// Every file of the image kinds under tests/data, with its kind letter.
std::vector<std::pair<std::string, ImageKind>> ImageFiles()
{
    std::vector<std::pair<std::string, ImageKind>> files;
    QDirIterator it(QString::fromStdString(GMB_TEST_DATA), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const std::string path = it.next().toStdString();
        // Damaged and hostile metafiles take the helper's time-outs; their
        // messages are the metafile tests' business.
        if (IsAcceptedImageFile(path) && path.find("fuzz-regressions") == std::string::npos &&
            path.find("emf-corrupted") == std::string::npos && path.find("metafile-crafted") == std::string::npos)
            files.emplace_back(path, KindLetterOfFile(path));
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(ThumbnailKey, ChangesWithEveryPartAndNeedsOnlyTheTail)
{
    const TThumbnailKey a = KeyOf("first picture");
    EXPECT_EQ(a.Bytes(), KeyOf("first picture").Bytes());
    EXPECT_NE(a.Bytes(), KeyOf("first pictures").Bytes());       // length
    EXPECT_NE(a.Bytes(), KeyOf("first pictury").Bytes());        // same length, other bytes
    EXPECT_NE(a.Bytes(), KeyOf("first picture", 48, 32).Bytes()); // size
    EXPECT_NE(a.Bytes(), KeyOf("first picture", 32, 48).Bytes());
    TThumbnailKey icon = a;
    icon.kind = 'I';
    EXPECT_NE(a.Bytes(), icon.Bytes());
    // Another vault's file: on another device, or another file of the same one.
    TThumbnailKey elsewhere = a;
    elsewhere.scope.device = 7;
    EXPECT_NE(a.Bytes(), elsewhere.Bytes());
    elsewhere = a;
    elsewhere.scope.inode = 7;
    EXPECT_NE(a.Bytes(), elsewhere.Bytes());
    elsewhere = a;
    elsewhere.scope.birth = 7; // a new file given a deleted one's inode
    EXPECT_NE(a.Bytes(), elsewhere.Bytes());
    // Letters that are no kind are loaded as bitmaps: one key.
    const std::vector<uint8_t> packed = Packed({1, 2, 3});
    EXPECT_EQ(ThumbnailKeyOfPacked(packed, '?', 8, 8, {}).Bytes(), ThumbnailKeyOfPacked(packed, 'B', 8, 8, {}).Bytes());
}

TEST(ThumbnailCache, PicturesOfAnEarlierFormatAreDroppedNotRead)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    const TThumbnailKey key = KeyOf("a picture");
    {
        TThumbnailCache cache(folder);
        cache.Put(key, Picture(32, 32, qRgb(9, 9, 9)));
    }
    {
        TThumbnailCache cache(folder);
        EXPECT_TRUE(cache.Find(key)); // the same format: found
    }
    // The file as the format before this one left it (keys without the vault).
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder + "/thumbnails.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=2", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    TThumbnailCache cache(folder);
    EXPECT_FALSE(cache.Find(key));
    ASSERT_TRUE(cache.OnDisk());
}

TEST(ThumbnailKey, OfARecordReadsTheStoredTail)
{
    TDMMain store;
    store.CreateNewTable();
    const std::vector<uint8_t> photo = Bytes(Data("jpeg/testorig.jpg"));
    AppendImageRecord(store, "photo", 227, 149, "J", photo);
    AppendImageRecord(store, "tiny", 1, 1, "B", {7, 8, 9}, false); // shorter than the tail
    store.CDS.First();
    EXPECT_EQ(ThumbnailKeyOfRecord(store, 32, 32).Bytes(), ThumbnailKeyOfPacked(Packed(photo), 'J', 32, 32, ThumbnailScopeOf(store)).Bytes());
    EXPECT_EQ(store.CDSImage.Tail(32).size(), 32u);
    store.CDS.Next();
    EXPECT_EQ(store.CDSImage.Tail(32), (std::vector<uint8_t>{7, 8, 9}));
    // A record being edited answers from its new bytes.
    store.CDS.Edit();
    store.CDSImage.SetBytes({1, 2, 3, 4});
    EXPECT_EQ(store.CDSImage.Tail(2), (std::vector<uint8_t>{3, 4}));
    store.CDS.Cancel();
}

TEST(ThumbnailCache, KeepsPicturesOnDiskAcrossRuns)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    const QImage red = Picture(32, 32, qRgb(200, 0, 0));
    {
        TThumbnailCache cache(folder);
        ASSERT_TRUE(cache.OnDisk());
        EXPECT_FALSE(cache.Find(KeyOf("a")));
        cache.Put(KeyOf("a"), red);
        EXPECT_EQ(*cache.Find(KeyOf("a")), red); // from memory before any write
    }
    TThumbnailCache again(folder);
    const auto found = again.Find(KeyOf("a"));
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, red);
    EXPECT_FALSE(again.Find(KeyOf("b")));
    EXPECT_FALSE(again.Find(KeyOf("a", 32, 33)));
}

TEST(ThumbnailCache, DamagedFileIsRebuilt)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    {
        TThumbnailCache cache(folder);
        cache.Put(KeyOf("a", 16, 16), Picture(16, 16, qRgb(0, 0, 200)));
    }
    const std::string file = folder + "/thumbnails.sqlite";
    ASSERT_TRUE(std::filesystem::exists(file));
    {
        // Not a database any more.
        QFile f(QString::fromStdString(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray(8192, 'x'));
    }
    {
        TThumbnailCache cache(folder);
        EXPECT_TRUE(cache.OnDisk());
        EXPECT_FALSE(cache.Find(KeyOf("a", 16, 16)));
        cache.Put(KeyOf("a", 16, 16), Picture(16, 16, qRgb(0, 200, 0)));
    }
    TThumbnailCache rebuilt(folder);
    const auto found = rebuilt.Find(KeyOf("a", 16, 16));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->pixel(5, 5), qRgb(0, 200, 0));
}

TEST(ThumbnailCache, UnwritableFolderKeepsPicturesInMemory)
{
    QTemporaryDir dir;
    // A file where the folder should be: nothing can be made there.
    const std::string blocker = dir.filePath("blocker").toStdString();
    QFile(QString::fromStdString(blocker)).open(QIODevice::WriteOnly);
    TThumbnailCache cache(blocker + "/glimmerbox");
    EXPECT_FALSE(cache.OnDisk());
    cache.Put(KeyOf("a"), Picture(8, 8, qRgb(1, 1, 1)));
    EXPECT_TRUE(cache.Find(KeyOf("a")));
    cache.Flush();

    // A folder without write permission (meaningless for root, who may write anyway).
    if (geteuid() != 0) {
        const QString ro = dir.filePath("readonly");
        QDir().mkpath(ro);
        QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        TThumbnailCache locked(ro.toStdString());
        EXPECT_FALSE(locked.OnDisk());
        locked.Put(KeyOf("a"), Picture(8, 8, qRgb(1, 1, 1)));
        EXPECT_TRUE(locked.Find(KeyOf("a")));
        QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

TEST(ThumbnailCache, FolderComesFromTheEnvironment)
{
    {
        const ScopedEnv xdg("XDG_CACHE_HOME", "/somewhere/cache");
        EXPECT_EQ(ThumbnailCacheFolder(), "/somewhere/cache/glimmerbox");
    }
    {
        const ScopedEnv xdg("XDG_CACHE_HOME", "relative/cache"); // ignored, as the rules say
        const ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(ThumbnailCacheFolder(), "/home/someone/.cache/glimmerbox");
    }
    {
        const ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
        const ScopedEnv home("HOME", nullptr);
        EXPECT_EQ(ThumbnailCacheFolder(), "");
        TThumbnailCache::ResetShared();
        TThumbnailCache& shared = TThumbnailCache::Shared();
        EXPECT_FALSE(shared.OnDisk());
        shared.Put(KeyOf("a"), Picture(8, 8, qRgb(1, 1, 1)));
        EXPECT_TRUE(shared.Find(KeyOf("a")));
        TThumbnailCache::ResetShared();
    }
}

TEST(ThumbnailCache, DropsTheLeastRecentlyUsedFirst)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    // Each picture is 4 KB: room for six; a write beyond that drops the
    // oldest until at most nine tenths are used (five pictures).
    const int64_t limit = 6 * (32 * 32 * 4 + 8) + 100;
    {
        TThumbnailCache cache(folder, limit);
        for (int i = 0; i < 4; ++i) {
            cache.Put(KeyOf("p" + std::to_string(i)), Picture(32, 32, qRgb(i, 0, 0)));
            cache.Flush();
        }
    }
    {
        // p0 is used again, so p1 is now the oldest.
        TThumbnailCache cache(folder, limit);
        ASSERT_TRUE(cache.Find(KeyOf("p0")));
        cache.Flush();
        for (int i = 4; i < 8; ++i) {
            cache.Put(KeyOf("p" + std::to_string(i)), Picture(32, 32, qRgb(i, 0, 0)));
            cache.Flush();
        }
    }
    TThumbnailCache cache(folder, limit);
    EXPECT_FALSE(cache.Find(KeyOf("p1")));
    EXPECT_FALSE(cache.Find(KeyOf("p2")));
    for (const char* kept : {"p0", "p3", "p4", "p5", "p6", "p7"})
        EXPECT_TRUE(cache.Find(KeyOf(kept))) << kept;
}

TEST(ThumbnailCache, MemoryIsBoundedToo)
{
    TThumbnailCache cache(std::string(), TThumbnailCache::kDiskLimit, 3 * (16 * 16 * 4 + 64));
    for (int i = 0; i < 5; ++i)
        cache.Put(KeyOf("m" + std::to_string(i), 16, 16), Picture(16, 16, qRgb(i, i, i)));
    EXPECT_FALSE(cache.Find(KeyOf("m0", 16, 16)));
    EXPECT_FALSE(cache.Find(KeyOf("m1", 16, 16)));
    EXPECT_TRUE(cache.Find(KeyOf("m4", 16, 16)));
}

// The thumbnail of every image file in the test data is the same whether it
// is made from the stored bytes, from the picture the add command decoded,
// on worker threads, or read back from the disk cache.
TEST(ThumbnailPaths, EveryTestFileGivesTheSamePixelsOnEveryPath)
{
    EnsureApp();
    RegisterCatalogueGraphics();
    const auto files = ImageFiles();
    ASSERT_GT(files.size(), 180u);
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    const int w = 40, h = 30;

    std::vector<std::optional<QImage>> plain(files.size());
    std::vector<std::string> errors(files.size());
    int made = 0;
    {
        TThumbnailCache cache(folder);
        for (size_t i = 0; i < files.size(); ++i) {
            const auto& [path, kind] = files[i];
            TFileStream s(path, FileMode::OpenRead);
            try {
                plain[i] = MakeThumbnail(s, kind, w, h).ToQImage();
                cache.Put(ThumbnailKeyOfPacked(Packed(Bytes(path)), kind, w, h, {}), *plain[i]);
                ++made;
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        }
    }
    ASSERT_GT(made, 150);

    TThumbnailCache cache(folder);
    TWorkerPool pool(2);
    std::vector<std::optional<QImage>> parallel(files.size());
    std::vector<TWorkerPool::TTicket> tickets;
    for (size_t i = 0; i < files.size(); ++i)
        tickets.push_back(pool.Submit([&, i] {
            TFileStream s(files[i].first, FileMode::OpenRead);
            parallel[i] = MakeThumbnail(s, files[i].second, w, h).ToQImage();
        }));
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& [path, kind] = files[i];
        SCOPED_TRACE(path);
        std::string parallelError;
        try {
            pool.Wait(tickets[i], nullptr);
        } catch (const std::exception& e) {
            parallelError = e.what();
        }
        if (!plain[i]) {
            EXPECT_EQ(parallelError, errors[i]);
            continue;
        }
        ASSERT_TRUE(parallel[i]);
        EXPECT_EQ(*parallel[i], *plain[i]);
        const auto cached = cache.Find(ThumbnailKeyOfPacked(Packed(Bytes(path)), kind, w, h, {}));
        ASSERT_TRUE(cached);
        EXPECT_EQ(*cached, *plain[i]);
        // The add command's path: the file proved and its thumbnail made
        // as it is prepared for storing.
        TThumbnailCache added("");
        TAddJob job;
        PrepareAdd(job, path, TAddThumbnails{&added, QSize(w, h)});
        const auto prepared = added.Find(ThumbnailKeyOfPacked(job.TakePacked(), kind, w, h, {}));
        ASSERT_TRUE(prepared);
        EXPECT_EQ(*prepared, *plain[i]);
    }
}

namespace {

TThumbnailKey InScope(const std::string& text, TThumbnailScope scope)
{
    TThumbnailKey key = KeyOf(text);
    key.scope = scope;
    return key;
}

int64_t FileSize(const std::string& path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

} // namespace

// One vault's pictures go, in memory, on disk and from the log, and no
// neighbour's (scopes that differ in the last byte of the birth time, or
// that would share a prefix if the bounds were wrong).
TEST(ThumbnailCache, ForgettingAScopeDropsExactlyItsPictures)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    const TThumbnailScope gone{5, 9, 100};
    const std::vector<TThumbnailScope> kept = {{5, 9, 99}, {5, 9, 101}, {5, 10, 100}, {6, 9, 100}, {5, 9, 0xFF}};
    const QImage picture = Picture(32, 32, qRgb(40, 50, 60));
    {
        TThumbnailCache cache(folder);
        cache.Put(InScope("written", gone), picture);
        for (const TThumbnailScope& s : kept)
            cache.Put(InScope("written", s), picture);
        cache.Flush();
        cache.Put(InScope("pending", gone), picture); // not yet on disk
        EXPECT_GT(FileSize(folder + "/thumbnails.sqlite-wal"), 0);
        cache.ForgetScope(gone);
        EXPECT_FALSE(cache.Find(InScope("written", gone)));
        EXPECT_FALSE(cache.Find(InScope("pending", gone)));
        for (const TThumbnailScope& s : kept)
            EXPECT_TRUE(cache.Find(InScope("written", s))) << s.inode << "/" << s.birth;
        EXPECT_EQ(FileSize(folder + "/thumbnails.sqlite-wal"), 0);
    }
    TThumbnailCache again(folder);
    EXPECT_FALSE(again.Find(InScope("written", gone)));
    EXPECT_FALSE(again.Find(InScope("pending", gone)));
    for (const TThumbnailScope& s : kept)
        EXPECT_TRUE(again.Find(InScope("written", s))) << s.inode << "/" << s.birth;
}

TEST(ThumbnailCache, CopiedScopeFindsEveryPictureAndKeepsTheOriginal)
{
    QTemporaryDir dir;
    const std::string folder = dir.filePath("cache").toStdString();
    const TThumbnailScope from{5, 9, 100}, to{5, 77, 200}, other{6, 9, 100};
    const QImage red = Picture(32, 32, qRgb(200, 0, 0)), blue = Picture(32, 32, qRgb(0, 0, 200));
    {
        TThumbnailCache cache(folder);
        cache.Put(InScope("a", from), red);
        cache.Flush();
        cache.Put(InScope("b", from), blue); // pending at the copy
        cache.Put(InScope("c", other), red);
        cache.CopyScope(from, to);
        EXPECT_EQ(*cache.Find(InScope("a", to)), red);
        EXPECT_EQ(*cache.Find(InScope("b", to)), blue);
        EXPECT_FALSE(cache.Find(InScope("c", to)));
        EXPECT_TRUE(cache.Find(InScope("a", from)));
    }
    // On disk, as the next run reads it: the keys are the blobs Find looks up.
    TThumbnailCache again(folder);
    ASSERT_TRUE(again.Find(InScope("a", to)));
    EXPECT_EQ(*again.Find(InScope("a", to)), red);
    ASSERT_TRUE(again.Find(InScope("b", to)));
    EXPECT_EQ(*again.Find(InScope("b", to)), blue);
    EXPECT_FALSE(again.Find(InScope("c", to)));
    EXPECT_TRUE(again.Find(InScope("a", from)));
    EXPECT_TRUE(again.Find(InScope("b", from)));
}

// A vault deleted and another written at its path is often given the same
// inode at once (ext4 does): the birth time keeps the new vault from being
// shown the old one's pictures for records of the same bytes.
TEST(ThumbnailScope, AFileGivenADeletedVaultsInodeIsAnotherScope)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("reused.gmb").toStdString();
    const std::vector<uint8_t> photo = Bytes(Data("jpeg/testorig.jpg"));
    TThumbnailCache cache("");
    const auto makeVault = [&] {
        TDMMain store;
        store.CreateNewTable();
        AppendImageRecord(store, "photo", 227, 149, "J", photo);
        store.CDS.SetFileName(path);
        store.CDS.Save();
        store.SetActive(false);
    };
    const auto keyOfVault = [&] {
        TDMMain store;
        store.CDS.SetFileName(path);
        store.SetActive(true);
        store.CDS.First();
        return ThumbnailKeyOfRecord(store, 32, 32);
    };
    makeVault();
    const TThumbnailKey first = keyOfVault();
    if (first.scope.birth == 0)
        GTEST_SKIP() << "the file system keeps no birth times";
    EXPECT_EQ(first.scope.birth, vaultfile::IdentityOf(path).birth);
    cache.Put(first, Picture(32, 32, qRgb(9, 9, 9)));
    bool reused = false;
    for (int attempt = 0; attempt < 20 && !reused; ++attempt) {
        std::filesystem::remove(path);
        // File times step with the system's clock tick.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        makeVault();
        const TThumbnailKey again = keyOfVault();
        if (again.scope.device != first.scope.device || again.scope.inode != first.scope.inode)
            continue;
        reused = true;
        EXPECT_NE(again.scope.birth, first.scope.birth);
        EXPECT_NE(again.Bytes(), first.Bytes());
        EXPECT_FALSE(cache.Find(again));
    }
    if (!reused)
        GTEST_SKIP() << "no inode was given again in 20 files";
}
