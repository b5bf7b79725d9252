// Filling the list through the thumbnail cache and the worker threads: the
// same items, thumbnails, progress texts and errors as the plain way, a
// cache that is only ever a shortcut, and a window that keeps painting.
#include "FormTestSupport.h"
#include "../ScopedEnv.h"

#include "catalogue/ImagePreview.h"

#include "imaging/ImageKinds.h"
#include "imaging/Thumbnail.h"
#include "platform/MemoryBudget.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "store/UDlgChgPwd.h"
#include "store/UDlgPassword.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "widgets/ErrorGuard.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QListWidget>
#include <QTimer>
#include <QToolBar>
#include <QLineEdit>
#include <sqlite3.h>
#include <zlib.h>

#include <cstdlib>

namespace {


// One file of every kind, some of them twice under other names.
const std::vector<std::string> kSamples = {
    "bmp/g/rgb24.bmp", "bmp/g/pal8.bmp", "bmp/g/pal4.bmp",     "ico/favicon.ico",         "ico/idle.ico",
    "emf/test-008.emf", "wmf/ant.wmf",   "jpeg/testorig.jpg",  "jpeg/gray.jpg",           "gif-suite/animation.gif",
    "gif-suite/four-colors.gif",
};

// Every reading moves the clock on by a long step: every chance to paint is taken.
class HastyClock : public TClock {
public:
    uint32_t NowMs() override { return now_ += 1000; }
    void Sleep(int) override {}
    bool WaitFor(TEvent& event, int ms) override { return event.WaitReal(ms); }

private:
    uint32_t now_ = 0;
};

class FillFixture : public StartedFormFixture {
protected:
    std::vector<std::string> SamplePaths() const
    {
        std::vector<std::string> paths;
        for (const std::string& s : kSamples)
            paths.push_back(kData + "/" + s);
        // The same bytes under a second name: two records, one cached picture.
        const std::string copy = Path("again.jpg");
        QFile::copy(QString::fromStdString(kData + "/jpeg/testorig.jpg"), QString::fromStdString(copy));
        paths.push_back(copy);
        return paths;
    }

    void Plain()
    {
        form->UseThumbnailCache = false;
        form->WorkerThreads = 0;
    }
    void Fast(int workers = 2)
    {
        form->UseThumbnailCache = true;
        form->WorkerThreads = workers;
    }

    std::vector<QImage> Thumbnails() const
    {
        std::vector<QImage> out;
        for (int i = 0; i < form->ImgLstLarge->Count(); ++i)
            out.push_back((*form->ImgLstLarge)[i]);
        return out;
    }
    std::vector<std::string> Captions() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < form->ListView1->count(); ++i)
            out.push_back(form->ListView1->item(i)->text().toStdString());
        return out;
    }
    // What the plain way shows for the vault as it is now.
    std::vector<QImage> PlainThumbnails()
    {
        const bool cache = form->UseThumbnailCache;
        const int workers = form->WorkerThreads;
        Plain();
        form->RefreshList();
        std::vector<QImage> out = Thumbnails();
        form->UseThumbnailCache = cache;
        form->WorkerThreads = workers;
        return out;
    }
    int Made() const { return form->ThumbnailsMade; }
};

std::vector<uint8_t> StoredZlib(const std::vector<uint8_t>& bytes)
{
    // Level 0: stored blocks, so the same number of bytes always gives a
    // stream of the same length.
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 0), Z_OK);
    out.resize(size);
    return out;
}

// A 4 x 4 bitmap file, one colour with one odd pixel.
std::vector<uint8_t> SmallBitmap(QRgb odd)
{
    QImage image(4, 4, QImage::Format_RGB888);
    image.fill(qRgb(20, 120, 220));
    image.setPixel(2, 1, odd);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

} // namespace

TEST_F(FillFixture, EveryPathShowsTheSameThumbnailsAndTexts)
{
    Plain();
    form->AddFiles(SamplePaths());
    const std::vector<std::string> captions = Captions();
    ASSERT_EQ(captions.size(), kSamples.size() + 1);
    status.clear();
    form->RefreshList();
    const std::vector<std::string> plainStatus = status;
    const std::vector<QImage> plain = Thumbnails();

    // Cold cache, two workers: everything is made, on the workers.
    Fast();
    TThumbnailCache::ResetShared();
    status.clear();
    int made = Made();
    form->RefreshList();
    EXPECT_EQ(Made() - made, static_cast<int>(plain.size()));
    EXPECT_EQ(status, plainStatus);
    EXPECT_EQ(Captions(), captions);
    EXPECT_EQ(Thumbnails(), plain);

    // Warm, from memory; then from disk only, as in the next run.
    made = Made();
    form->RefreshList();
    EXPECT_EQ(Made(), made);
    EXPECT_EQ(Thumbnails(), plain);
    TThumbnailCache::ResetShared();
    status.clear();
    form->RefreshList();
    EXPECT_EQ(Made(), made);
    EXPECT_EQ(status, plainStatus);
    EXPECT_EQ(Thumbnails(), plain);

    // Another size is another picture.
    Ini().WriteInteger("Kv Glimmerbox Thumbnail", "Width", 50);
    form->RefreshList();
    EXPECT_EQ(Made() - made, static_cast<int>(plain.size()));
    EXPECT_EQ(Thumbnails(), PlainThumbnails());
}

// Nothing of an encrypted vault reaches the disk outside it: its thumbnails
// are kept in memory only, and the preview reads from memory.
TEST_F(FillFixture, AnEncryptedVaultKeepsItsPicturesOffTheDisk)
{
    Fast();
    form->AddFiles(SamplePaths());
    const std::vector<QImage> plain = PlainThumbnails();
    DMMain->SetPassword("", "pw");
    ASSERT_TRUE(DMMain->Encrypted());
    TThumbnailCache::ResetShared();
    ASSERT_TRUE(TThumbnailCache::Shared().OnDisk());
    const std::string diskCache = TThumbnailCache::Shared().FilePath();
    const auto cacheBytes = [&] { return FileExists(diskCache) ? ReadWholeFile(diskCache) : std::vector<uint8_t>{}; };
    const std::vector<uint8_t> before = cacheBytes();

    int made = Made();
    form->RefreshList();
    EXPECT_EQ(Made() - made, static_cast<int>(plain.size())) << "pictures of the plain vault were taken";
    EXPECT_EQ(Thumbnails(), plain);
    made = Made();
    form->RefreshList();
    EXPECT_EQ(Made(), made) << "kept in memory";
    TThumbnailCache::ResetShared();
    EXPECT_EQ(cacheBytes(), before);

    // A scratch folder that cannot be written does not stop the preview.
    const std::string scratch = form->TempDir;
    form->TempDir = "/proc/gmb-no-such-folder/";
    for (int row = 0; row < form->ListView1->count(); ++row) {
        SelectRows({row});
        form->UpdatePreview();
        EXPECT_TRUE(form->ImgPreview->Message().isEmpty()) << row << ": " << form->ImgPreview->Message().toStdString();
    }
    // Decrypted, the vault's preview goes through the scratch file again.
    DMMain->SetPassword("pw", "");
    SelectRows({0});
    form->UpdatePreview();
    EXPECT_FALSE(form->ImgPreview->Message().isEmpty());
    form->TempDir = scratch;
}

namespace {

int64_t CachedPictures(const std::string& cacheFile)
{
    sqlite3* db = nullptr;
    int64_t n = -1;
    if (sqlite3_open_v2(cacheFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Thumbnails", -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW)
            n = sqlite3_column_int64(q, 0);
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return n;
}

// Whether the cache file or any side file of it holds pattern.
bool CacheHolds(const std::string& cacheFile, const std::string& pattern)
{
    for (const char* side : {"", "-wal", "-journal", "-shm"}) {
        const std::string path = cacheFile + side;
        if (!FileExists(path))
            continue;
        const std::vector<uint8_t> bytes = ReadWholeFile(path);
        if (std::string(bytes.begin(), bytes.end()).find(pattern) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

// A vault shown plain and then protected leaves none of its pictures in the
// disk cache: not its rows, not their bytes in the file or its log; other
// vaults' pictures stay.
TEST_F(FillFixture, ProtectingAVaultWipesItsPicturesFromTheDiskCache)
{
    Fast();
    form->AddFiles({kJpeg, kBmp});
    form->SaveFile(Path("other.gmb"));
    ASSERT_TRUE(form->NewVault());
    TThumbnailCache::Shared().Flush();
    const std::string cacheFile = TThumbnailCache::Shared().FilePath();
    ASSERT_FALSE(cacheFile.empty());
    const int64_t others = CachedPictures(cacheFile);
    ASSERT_GT(others, 0);

    // One picture of a colour no other file has: its thumbnail's pixels as
    // the cache keeps them (B, G, R, 0xFF) are found only where it is.
    QImage secret(300, 300, QImage::Format_RGB32);
    secret.fill(qRgb(0x5A, 0xC3, 0x17));
    ASSERT_TRUE(secret.save(QString::fromStdString(Path("secret.png"))));
    std::string pixels;
    for (int i = 0; i < 32; ++i)
        pixels += std::string("\x17\xC3\x5A\xFF", 4);
    form->AddFiles({Path("secret.png"), kGray});
    form->SaveFile(Path("secret.gmb"));
    form->RefreshList();
    TThumbnailCache::Shared().Flush();
    ASSERT_GT(CachedPictures(cacheFile), others);
    ASSERT_TRUE(CacheHolds(cacheFile, pixels)) << "the test's pattern is not what the cache stores";
    std::vector<TThumbnailKey> keys;
    for (DMMain->CDS.First(); !DMMain->CDS.Eof(); DMMain->CDS.Next())
        keys.push_back(ThumbnailKeyOfRecord(*DMMain, form->ImgLstLarge->Width(), form->ImgLstLarge->Height()));

    DMMain->SetPasswordHashLimits({1, 8});
    prompts->AnswerDialog([](QDialog& d) {
        auto& dlg = dynamic_cast<TDlgChgPwd&>(d);
        dlg.edNew->setText("pw9");
        dlg.edVerify->setText("pw9");
        dlg.accept();
        return dlg.result();
    });
    prompts->AnswerMessage(MsgButton::Ok); // "Password is changed successfully."
    form->ActToolsPassword->trigger();
    ASSERT_TRUE(DMMain->Encrypted());
    for (const TThumbnailKey& key : keys)
        EXPECT_FALSE(TThumbnailCache::Shared().Find(key)) << "kept in memory";
    TThumbnailCache::ResetShared(); // writes whatever was still pending
    EXPECT_EQ(CachedPictures(cacheFile), others);
    EXPECT_FALSE(CacheHolds(cacheFile, pixels));

    // Protected by another program after the window showed it plain: the
    // next open wipes what an earlier run left.
    const TThumbnailScope scope = ThumbnailScopeOf(*DMMain);
    {
        TThumbnailCache earlier(ThumbnailCacheFolder());
        earlier.Put(keys.front(), secret.scaled(32, 32));
        for (int i = 0; i < 3; ++i)
            earlier.Put(keys[i % keys.size()], secret.scaled(40 + i, 40));
    }
    ASSERT_GT(CachedPictures(cacheFile), others);
    ASSERT_TRUE(CacheHolds(cacheFile, pixels));
    ASSERT_EQ(ThumbnailScopeOf(*DMMain), scope);
    ASSERT_TRUE(form->NewVault());
    prompts->AnswerDialog([](QDialog& d) {
        auto& dlg = dynamic_cast<TDlgPassword&>(d);
        dlg.edPassword->setText("pw9");
        dlg.accept();
        return dlg.result();
    });
    form->OpenFile(Path("secret.gmb"));
    ASSERT_EQ(form->CurrentFileName, Path("secret.gmb"));
    TThumbnailCache::ResetShared();
    EXPECT_EQ(CachedPictures(cacheFile), others);
    EXPECT_FALSE(CacheHolds(cacheFile, pixels));
}

// Save As puts the vault in a new file; its thumbnails go with it, in
// memory and on disk, so the next fill makes none.
TEST_F(FillFixture, SaveAsKeepsTheThumbnailsWarm)
{
    Fast();
    form->AddFiles(SamplePaths());
    form->SaveFile(Path("first.gmb"));
    int made = Made();
    form->RefreshList();
    EXPECT_EQ(Made(), made) << "the first save came from an untitled vault";
    const std::vector<QImage> shown = Thumbnails();
    const TThumbnailScope first = ThumbnailScopeOf(*DMMain);
    form->SaveFile(Path("second.gmb"));
    ASSERT_FALSE(ThumbnailScopeOf(*DMMain) == first);
    form->RefreshList();
    EXPECT_EQ(Made(), made) << "from memory";
    TThumbnailCache::ResetShared();
    form->RefreshList();
    EXPECT_EQ(Made(), made) << "from disk";
    EXPECT_EQ(Thumbnails(), shown);
    // The first file keeps its own.
    form->OpenFile(Path("first.gmb"));
    ASSERT_EQ(form->CurrentFileName, Path("first.gmb"));
    EXPECT_EQ(Made(), made);
}

TEST_F(FillFixture, AddingLeavesEveryThumbnailCachedAndIdentical)
{
    Fast();
    form->AddFiles(SamplePaths());
    EXPECT_EQ(Made(), 0); // the refill that ends the command found them all
    const std::vector<QImage> added = Thumbnails();
    ASSERT_EQ(added.size(), kSamples.size() + 1);
    EXPECT_EQ(added, PlainThumbnails());
}

TEST_F(FillFixture, ReopenedVaultFindsItsThumbnailsButNotChangedOnes)
{
    const std::string vault = Path("v.gmb");
    for (int i = 0; i < 5; ++i)
        AppendImageRecord(*DMMain, "pic" + std::to_string(i), 4, 4, "B", StoredZlib(SmallBitmap(qRgb(0, 0, 0))), false);
    form->SaveFile(vault);
    Fast();
    form->RefreshList();
    ASSERT_EQ(form->ListView1->count(), 5);
    form->ActFileNewExecute();

    // Same length, other bytes: only the odd pixel and the checksum differ.
    const std::vector<uint8_t> red = StoredZlib(SmallBitmap(qRgb(255, 0, 0)));
    ASSERT_EQ(red.size(), StoredZlib(SmallBitmap(qRgb(0, 0, 0))).size());
    const std::string sql = "UPDATE Images SET Image = X'" + Hex(red) + "' WHERE FileName = 'pic3'";
    ASSERT_EQ(std::system(("sqlite3 '" + vault + "' \"" + sql + "\"").c_str()), 0);

    TThumbnailCache::ResetShared(); // a new run
    const int made = Made();
    form->OpenFile(vault);
    ASSERT_EQ(form->ListView1->count(), 5);
    EXPECT_EQ(Made() - made, 1);
    const std::vector<QImage> shown = Thumbnails();
    EXPECT_EQ(shown, PlainThumbnails());
    EXPECT_NE(shown[3], shown[2]);
    EXPECT_EQ(shown[3].pixel(20, 12), qRgb(255, 0, 0));
}

TEST_F(FillFixture, TwoVaultsWithLookAlikeRecordsEachShowTheirOwnFromAWarmCache)
{
    // Two pictures whose stored blobs have the same length and the same
    // last bytes, checksum included: four bytes of the bottom row changed
    // by -80, +80, +80, -80, which leaves the Adler-32 as it was.
    const std::vector<uint8_t> grey = SmallBitmap(qRgb(20, 120, 220));
    std::vector<uint8_t> other = grey;
    ASSERT_EQ(other.size(), 54u + 4 * 12);
    ASSERT_EQ(other[54], 220); // blue, green, red of the first pixel, then the next blue
    ASSERT_EQ(other[57], 220);
    other[54] -= 80;
    other[55] += 80;
    other[56] += 80;
    other[57] -= 80;
    const std::vector<uint8_t> a = StoredZlib(grey), b = StoredZlib(other);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_NE(a, b);
    ASSERT_TRUE(std::equal(a.end() - 32, a.end(), b.end() - 32));

    const std::string first = Path("first.gmb"), second = Path("second.gmb");
    AppendImageRecord(*DMMain, "pic", 4, 4, "B", a, false);
    form->SaveFile(first);
    form->ActFileNewExecute();
    AppendImageRecord(*DMMain, "pic", 4, 4, "B", b, false);
    form->SaveFile(second);
    form->ActFileNewExecute();

    Fast();
    TThumbnailCache::ResetShared();
    std::vector<QImage> own[2];
    for (int run = 0; run < 2; ++run) {
        for (int v = 0; v < 2; ++v) {
            SCOPED_TRACE("run " + std::to_string(run) + ", vault " + std::to_string(v));
            const int made = Made();
            form->OpenFile(v == 0 ? first : second);
            ASSERT_EQ(form->ListView1->count(), 1);
            // Made once in the first run, found in the second: the identity
            // of each vault's file holds across closing and reopening.
            EXPECT_EQ(Made() - made, run == 0 ? 1 : 0);
            if (run == 0)
                own[v] = PlainThumbnails();
            EXPECT_EQ(Thumbnails(), own[v]);
        }
        TThumbnailCache::ResetShared(); // the next run reads the disk
    }
    ASSERT_EQ(own[0].size(), 1u);
    EXPECT_NE(own[0], own[1]);
}

TEST_F(FillFixture, WorkersHoldNoMoreThanTheirMemoryBudgetAndAllFinish)
{
    Plain();
    form->AddFiles(SamplePaths());
    const std::vector<QImage> plain = Thumbnails();
    ASSERT_EQ(plain.size(), kSamples.size() + 1);

    // Larger than any one of these records needs (the largest takes 320 KB
    // once its inflating shows it needs more than its size says), smaller
    // than all of them together.
    TMemoryBudget budget(1 << 20);
    form->FillBudget = &budget;
    Fast(4);
    TThumbnailCache::ResetShared();
    form->UseThumbnailCache = false;
    const int made = Made();
    form->RefreshList();
    EXPECT_EQ(Made() - made, static_cast<int>(plain.size()));
    EXPECT_EQ(Thumbnails(), plain);
    EXPECT_LE(budget.Peak(), budget.Total());
    EXPECT_GT(budget.Peak(), 150 << 10); // the photo's share was taken
    EXPECT_EQ(budget.InUse(), 0);

    // A budget smaller than every record: one at a time, all of them.
    TMemoryBudget tiny(1);
    form->FillBudget = &tiny;
    form->RefreshList();
    EXPECT_EQ(Thumbnails(), plain);
    EXPECT_LE(tiny.Peak(), 320 << 10);
    EXPECT_EQ(tiny.InUse(), 0);
    form->FillBudget = nullptr;
}

TEST_F(FillFixture, ARecordThatInflatesPastItsSizeTakesMoreOfTheBudgetAndShows)
{
    // A 1000 x 1000 bitmap of one colour deflates to a few kilobytes and
    // claims to be 1 x 1: what it takes is learnt while inflating it.
    TBitmap big(1000, 1000);
    TMemoryStream file, packed;
    big.SaveToStream(file);
    file.SetPosition(0);
    CompressStream(file, packed);
    ASSERT_LT(packed.Size(), 64 << 10);
    AppendImageRecord(*DMMain, "liar", 1, 1, "B", packed.TakeBytes(), false);
    for (int i = 0; i < 3; ++i)
        AppendImageRecord(*DMMain, "pic" + std::to_string(i), 4, 4, "B", StoredZlib(SmallBitmap(qRgb(i * 80, 0, 0))), false);
    const std::vector<QImage> plain = PlainThumbnails();
    ASSERT_EQ(plain.size(), 4u);

    TMemoryBudget budget(1 << 20);
    form->FillBudget = &budget;
    Fast(3);
    form->UseThumbnailCache = false;
    form->RefreshList();
    EXPECT_EQ(Thumbnails(), plain);
    EXPECT_TRUE(form->ItemBrokenMessage(0).empty());
    // It held its 3 MB under the budget, alone.
    EXPECT_GE(budget.Peak(), 3000000);
    EXPECT_EQ(budget.InUse(), 0);
    form->FillBudget = nullptr;
}

TEST_F(FillFixture, DamagedUnwritableOrMissingCacheStillFills)
{
    Fast();
    form->AddFiles(SamplePaths());
    const std::vector<QImage> plain = PlainThumbnails();
    const QString cacheDir = dir.filePath("cache/glimmerbox");
    ASSERT_TRUE(QFile::exists(cacheDir + "/thumbnails.sqlite"));

    {
        SCOPED_TRACE("damaged file");
        TThumbnailCache::ResetShared();
        QFile f(cacheDir + "/thumbnails.sqlite");
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.seek(100);
        f.write(QByteArray(4000, '\x5A'));
        f.close();
        QFile::remove(cacheDir + "/thumbnails.sqlite-wal");
        form->RefreshList();
        EXPECT_EQ(Thumbnails(), plain);
        EXPECT_EQ(form->ListView1->count(), static_cast<int>(plain.size()));
    }
    {
        SCOPED_TRACE("a file where the folder should be");
        QFile(dir.filePath("blocked")).open(QIODevice::WriteOnly);
        const ScopedEnv xdg("XDG_CACHE_HOME", dir.filePath("blocked").toLocal8Bit().constData());
        TThumbnailCache::ResetShared();
        form->RefreshList();
        EXPECT_FALSE(TThumbnailCache::Shared().OnDisk());
        EXPECT_EQ(Thumbnails(), plain);
    }
    {
        SCOPED_TRACE("no home");
        const ScopedEnv xdg("XDG_CACHE_HOME", nullptr);
        const ScopedEnv home("HOME", nullptr);
        TThumbnailCache::ResetShared();
        form->RefreshList();
        EXPECT_FALSE(TThumbnailCache::Shared().OnDisk());
        EXPECT_EQ(Thumbnails(), plain);
    }
    TThumbnailCache::ResetShared();
}

TEST_F(FillFixture, DamagedRecordCostsOnlyItselfOnEveryPath)
{
    const std::vector<uint8_t> good = SmallBitmap(qRgb(1, 2, 3));
    for (int i = 0; i < 12; ++i)
        AppendImageRecord(*DMMain, Format("r%02d", i), 4, 4, "B", good);
    ASSERT_TRUE(DMMain->LocateImage("r07", "B"));
    DMMain->CDS.Edit();
    DMMain->CDSImage.SetBytes({0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF});
    DMMain->CDS.Post();
    std::vector<QImage> first;
    for (int workers : {0, 1, 3}) {
        SCOPED_TRACE(workers);
        Fast(workers);
        TThumbnailCache::ResetShared();
        prompts->AnswerMessage(MsgButton::Ok);
        status.clear();
        const size_t before = prompts->Records().size();
        Guarded([&] { form->RefreshList(); });
        ASSERT_EQ(prompts->Records().size(), before + 1);
        EXPECT_EQ(prompts->Records().back().message.title, "Warning");
        EXPECT_EQ(prompts->Records().back().message.text, "Error\r\rThe image \"r07.bmp\" cannot be shown.");
        EXPECT_EQ(form->ListView1->count(), 12);
        ASSERT_GE(status.size(), 3u);
        EXPECT_EQ(status[status.size() - 2], "Loading images... (100% of 12)");
        // Every path shows the same pictures, the broken one in its place.
        if (first.empty())
            first = Thumbnails();
        EXPECT_EQ(Thumbnails(), first);
    }
    EXPECT_NE(first[7], first[6]);
    EXPECT_EQ(first[6], first[8]);
}

// The window paints while a fill runs; what would start another command
// (closing it) waits until the fill has ended.
TEST_F(FillFixture, WindowKeepsPaintingDuringALongFill)
{
    const std::vector<uint8_t> good = SmallBitmap(qRgb(1, 2, 3));
    for (int i = 0; i < 40; ++i)
        AppendImageRecord(*DMMain, Format("r%02d", i), 4, 4, "B", good);
    Fast(0); // all on this thread: the paints come from the loop itself
    TThumbnailCache::ResetShared();

    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    form->ToolBar1->installEventFilter(&counter);
    // Something asks the tool bar to repaint all the time, as exposing or
    // resizing the window would.
    QTimer poke;
    bool closeAsked = false;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        form->ToolBar1->update();
        if (!closeAsked && counter.paints > 5) {
            closeAsked = true;
            form->close();
        }
    });
    poke.start(0);
    ProcessEvents();
    counter.paints = 0;
    {
        HastyClock clock;
        const ScopedClock use(clock);
        form->RefreshList();
    }
    poke.stop();
    EXPECT_GE(counter.paints, 20);
    EXPECT_TRUE(closeAsked);
    // The close was put off: the fill finished and the window is still there.
    EXPECT_EQ(form->ListView1->count(), 40);
    EXPECT_TRUE(form->isVisible());
    ProcessEvents();
    EXPECT_FALSE(form->isVisible());
}
