// The window's bulk work on a vault of photos: opening and filling the list
// with an empty and a warm thumbnail cache, adding one photo to them all,
// adding them all; each the plain way beside the way the program runs now,
// with the GUI thread's longest stall, and beside the bare costs of
// decoding and compressing one photo; and a search keystroke at 4,000
// records beside the kind filter's refill, the way to narrow the list before;
// a dropped folder of the photos beside Add of the same files, and dragging
// them all out beside Extract; a thumbnail size step with the new size in
// the cache beside one without; the viewer's next photo read ahead beside
// decoded on demand; an encrypted vault opened beside the same vault plain.
//
// The photos (1920 x 1080 JPEGs) are made once with ImageMagick into
// $TMPDIR/glimmerbox-bench-photos; GMB_BENCH_PHOTOS sets how many (1000),
// GMB_BENCH_EXIF=1 gives each a 160 x 90 EXIF thumbnail (exiftool).
#include "imaging/ImageKinds.h"
#include "imaging/ThumbnailCache.h"
#include "catalogue/ImagePreview.h"
#include "catalogue/ImageViewer.h"
#include "catalogue/UFormMain.h"
#include "catalogue/UKvApps.h"
#include "platform/Bitmap.h"
#include "platform/IniFile.h"
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "store/UDlgPassword.h"
#include "widgets/Prompts.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <zlib.h>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

int PhotoCount()
{
    const char* n = std::getenv("GMB_BENCH_PHOTOS");
    return n ? std::max(1, std::atoi(n)) : 1000;
}

// GMB_BENCH_EXIF=1: every photo carries an EXIF thumbnail.
bool WithExifThumbnails()
{
    const char* e = std::getenv("GMB_BENCH_EXIF");
    return e && std::string(e) == "1";
}

// A few distinct photos, copied under many names: distinct content for the
// decoder, the count the window really has to handle.
const std::vector<std::string>& Photos()
{
    static std::vector<std::string> photos = [] {
        const QString dir = QDir::tempPath() + "/glimmerbox-bench-photos" + (WithExifThumbnails() ? "-exif" : "");
        QDir().mkpath(dir);
        const int distinct = 8;
        for (int i = 0; i < distinct; ++i) {
            const QString path = QString("%1/base%2.jpg").arg(dir).arg(i);
            if (!QFile::exists(path)) {
                const std::string cmd = QString("convert -size 1920x1080 -seed %1 plasma:fractal -blur 0x1 -quality 90 '%2'")
                                            .arg(i + 1)
                                            .arg(path)
                                            .toStdString();
                if (std::system(cmd.c_str()) != 0)
                    std::abort();
                // A 160 x 90 EXIF thumbnail, as a camera writes for 16:9.
                const std::string exif = QString("convert '%1' -resize 160x90! '%1.t.jpg' && exiftool -q -overwrite_original "
                                                 "'-ThumbnailImage<=%1.t.jpg' '%1'")
                                             .arg(path)
                                             .toStdString();
                if (WithExifThumbnails() && std::system(exif.c_str()) != 0)
                    std::abort();
            }
        }
        std::vector<std::string> out;
        for (int i = 0; i < PhotoCount(); ++i) {
            const QString path = QString("%1/photo%2.jpg").arg(dir).arg(i, 4, 10, QChar('0'));
            if (!QFile::exists(path))
                QFile::copy(QString("%1/base%2.jpg").arg(dir).arg(i % distinct), path);
            out.push_back(path.toStdString());
        }
        return out;
    }();
    return photos;
}

// Each window benchmark runs twice: argument 0 is the plain way (no
// thumbnail cache, everything on the GUI thread, as before the cache and
// the workers came), 1 the way the program now runs.
void Configure(TFormMain& form, bool fast)
{
    form.UseThumbnailCache = fast;
    form.WorkerThreads = fast ? -1 : 0;
    form.KeepWindowPainting = fast;
}

// The benchmarks' own cache folder: never the user's.
const QString& CacheHome()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        qputenv("XDG_CACHE_HOME", dir.path().toLocal8Bit());
        return dir.path();
    }();
    return path;
}

void EmptyCache()
{
    TThumbnailCache::ResetShared();
    QDir(CacheHome() + "/glimmerbox").removeRecursively();
}

// Sets the program's globals to its own window and store, and puts back those
// of the window it was made inside (PhotoVault makes one of its own).
struct Window {
    TDMMain* const outerStore = DMMain;
    TFormMain* const outerForm = FormMain;
    const std::string outerIni = IniFileName;
    QTemporaryDir dir;
    ScopedScriptedPrompts prompts;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TDMMain> store;

    explicit Window(bool fast)
    {
        CacheHome();
        IniFileName = IniFileNameFor(dir.path().toStdString());
        form = std::make_unique<TFormMain>();
        Configure(*form, fast);
        store = std::make_unique<TDMMain>();
        DMMain = store.get();
        form->show();
        QApplication::processEvents();
    }
    ~Window()
    {
        form.reset();
        store.reset();
        DMMain = outerStore;
        FormMain = outerForm;
        IniFileName = outerIni;
    }
};

// The GUI thread's longest time without handling its events while a
// command runs: a timer that wants to run every millisecond notes the
// longest gap between its turns.
class StallMeter {
public:
    StallMeter()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Turn(); });
        timer_.start(1);
        clock_.start();
    }
    // Includes the layout and painting the command left for the event loop.
    double Stop()
    {
        QApplication::processEvents();
        Turn();
        timer_.stop();
        return longest_;
    }

private:
    void Turn()
    {
        const double now = clock_.nsecsElapsed() / 1e6;
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }
    QTimer timer_;
    QElapsedTimer clock_;
    double last_ = 0;
    double longest_ = 0;
};

// The processor time of every thread of the process: the work done, however
// many cores shared it and whatever else the machine was running.
double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

class ProcessCpu {
public:
    ProcessCpu() : start_(ProcessCpuSeconds()) {}
    double Seconds() const { return ProcessCpuSeconds() - start_; }

private:
    double start_;
};

// A vault file holding every photo, made once.
const std::string& PhotoVault()
{
    static const std::string path = [] {
        const std::string p = QDir::tempPath().toStdString() + "/glimmerbox-bench-photos-" + std::to_string(PhotoCount()) +
                              (WithExifThumbnails() ? "-exif" : "") + ".gmb";
        if (!QFile::exists(QString::fromStdString(p))) {
            Window w(true);
            w.form->AddFiles(Photos());
            w.form->SaveFile(p);
        }
        return p;
    }();
    return path;
}

void Label(benchmark::State& state, double stallMs, double cpuSeconds)
{
    state.SetLabel(state.range(0) ? "cache + workers" : "plain (before)");
    state.counters["stall_ms"] = stallMs;
    state.counters["all_threads_cpu_s"] = cpuSeconds;
}

void OpenAndFill(benchmark::State& state, bool warm)
{
    const bool fast = state.range(0) != 0;
    const std::string& vault = PhotoVault();
    double stall = 0;
    double work = 0;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyCache();
        if (warm && fast) {
            Window earlier(true);
            earlier.form->OpenFile(vault);
            TThumbnailCache::ResetShared(); // a new run: only the disk remembers
        }
        Window w(fast);
        state.ResumeTiming();
        StallMeter meter;
        const ProcessCpu cpu;
        w.form->OpenFile(vault);
        stall = std::max(stall, meter.Stop());
        work += cpu.Seconds();
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    Label(state, stall, work / static_cast<double>(state.iterations()));
}

void BM_OpenFillEmptyCache(benchmark::State& state) { OpenAndFill(state, false); }
void BM_OpenFillWarmCache(benchmark::State& state) { OpenAndFill(state, true); }

// The photo vault with a password set: every blob sealed.
const std::string& EncryptedPhotoVault()
{
    static const std::string path = [] {
        const std::string p = PhotoVault() + ".encrypted.gmb";
        if (!QFile::exists(QString::fromStdString(p))) {
            QFile::copy(QString::fromStdString(PhotoVault()), QString::fromStdString(p));
            TDMMain store;
            store.CDS.SetFileName(p);
            store.SetActive(true);
            store.SetPassword("", "bench");
            store.SetActive(false);
        }
        return p;
    }();
    return path;
}

// Opening to a full list with an empty cache: argument 0 the plain vault,
// 1 the same vault encrypted (its password typed at once, its thumbnails
// kept in memory only, so every open of it in a new run is a first one;
// one iteration, as a second would find them in this process's memory).
void BM_OpenFillEncrypted(benchmark::State& state)
{
    const bool encrypted = state.range(0) != 0;
    const std::string& vault = encrypted ? EncryptedPhotoVault() : PhotoVault();
    double stall = 0;
    double work = 0;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyCache();
        Window w(true);
        if (encrypted)
            w.prompts->AnswerDialog([](QDialog& d) {
                auto& dialog = dynamic_cast<TDlgPassword&>(d);
                dialog.edPassword->setText("bench");
                dialog.accept();
                return dialog.result();
            });
        state.ResumeTiming();
        StallMeter meter;
        const ProcessCpu cpu;
        w.form->OpenFile(vault);
        stall = std::max(stall, meter.Stop());
        work += cpu.Seconds();
        if (w.form->ListView1->count() != PhotoCount())
            state.SkipWithError("the vault did not open to a full list");
    }
    state.SetLabel(encrypted ? "encrypted" : "plain");
    state.counters["stall_ms"] = stall;
    state.counters["all_threads_cpu_s"] = work / static_cast<double>(state.iterations());
}

void BM_AddOnePhotoToAll(benchmark::State& state)
{
    const bool fast = state.range(0) != 0;
    const std::string& vault = PhotoVault();
    EmptyCache();
    Window w(fast);
    w.form->OpenFile(vault);
    const QString extra = QDir::tempPath() + "/glimmerbox-bench-photos/extra.jpg";
    QFile::remove(extra);
    QFile::copy(QString::fromStdString(Photos().front()).replace("photo0000", "base3"), extra);
    double stall = 0;
    double work = 0;
    for (auto _ : state) {
        StallMeter meter;
        const ProcessCpu cpu;
        w.form->AddFiles({extra.toStdString()});
        stall = std::max(stall, meter.Stop());
        work += cpu.Seconds();
        state.PauseTiming();
        DMMain->DeleteImage("extra", "J");
        state.ResumeTiming();
    }
    Label(state, stall, work / static_cast<double>(state.iterations()));
}

void BM_AddAllPhotos(benchmark::State& state)
{
    const bool fast = state.range(0) != 0;
    const auto& photos = Photos();
    double stall = 0;
    double work = 0;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyCache();
        Window w(fast);
        state.ResumeTiming();
        StallMeter meter;
        const ProcessCpu cpu;
        w.form->AddFiles(photos); // ends with a full list fill
        stall = std::max(stall, meter.Stop());
        work += cpu.Seconds();
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    state.counters["s_per_image"] =
        benchmark::Counter(static_cast<double>(photos.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    Label(state, stall, work / static_cast<double>(state.iterations()));
}

void BM_DecodeOnePhoto(benchmark::State& state)
{
    TMemoryStream photo;
    photo.LoadFromFile(Photos().front());
    for (auto _ : state) {
        photo.SetPosition(0);
        TBitmap bitmap;
        KindOf('J').Loader(photo, bitmap);
        benchmark::DoNotOptimize(bitmap.Width());
    }
}

void BM_CompressOnePhoto(benchmark::State& state)
{
    TMemoryStream photo;
    photo.LoadFromFile(Photos().front());
    for (auto _ : state) {
        TMemoryStream out;
        CompressStream(photo, out);
        benchmark::DoNotOptimize(out.Size());
    }
}

// The peer: zlib's own level 9, which the store used for every file before.
void BM_ZlibLevel9OnePhoto(benchmark::State& state)
{
    TMemoryStream photo;
    photo.LoadFromFile(Photos().front());
    std::vector<uint8_t> out(compressBound(static_cast<uLong>(photo.Size())));
    for (auto _ : state) {
        uLongf n = static_cast<uLongf>(out.size());
        compress2(out.data(), &n, photo.Memory(), static_cast<uLong>(photo.Size()), 9);
        benchmark::DoNotOptimize(n);
    }
}

void BM_InflateOnePhoto(benchmark::State& state)
{
    TMemoryStream photo, packed;
    photo.LoadFromFile(Photos().front());
    CompressStream(photo, packed);
    for (auto _ : state) {
        packed.SetPosition(0);
        TMemoryStream out;
        DecompressStream(packed, out);
        benchmark::DoNotOptimize(out.Size());
    }
}

// The command-line tool adding the same photos to a new vault file: its start
// and the write of the vault are in the figure; the window's Add above
// includes the list fill that ends it (the window writes only on save).
// Beside it, an earlier build of the tool named by
// GMB_BENCH_PREVIOUS_VAULT_TOOL on the same photos.
void VaultToolAdd(benchmark::State& state, const QString& program)
{
    const auto& photos = Photos();
    QStringList args{"add", QString()};
    for (const std::string& p : photos)
        args << QString::fromStdString(p);
    for (auto _ : state) {
        QTemporaryDir dir;
        args[1] = dir.filePath("photos.gmb");
        QProcess tool;
        tool.setStandardOutputFile(QProcess::nullDevice());
        tool.start(program, args);
        if (!tool.waitForFinished(-1) || tool.exitCode() != 0) {
            state.SkipWithError("glimmerbox-vault add failed");
            return;
        }
    }
    state.counters["s_per_image"] =
        benchmark::Counter(static_cast<double>(photos.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_VaultToolAddPrevious(benchmark::State& state)
{
    const char* previous = std::getenv("GMB_BENCH_PREVIOUS_VAULT_TOOL");
    if (!previous) {
        state.SkipWithError("GMB_BENCH_PREVIOUS_VAULT_TOOL names no earlier glimmerbox-vault");
        return;
    }
    VaultToolAdd(state, QString::fromLocal8Bit(previous));
}

void BM_VaultToolAdd(benchmark::State& state) { VaultToolAdd(state, GMB_VAULT_TOOL); }

// A click on a 6000 x 4000 photo with the preview pane 800 x 600: from the
// selection to the picture in the pane (read, scratch file, decode, show).
void BM_PreviewBigPhoto(benchmark::State& state)
{
    const QString big = QDir::tempPath() + "/glimmerbox-bench-photos/big.jpg";
    if (!QFile::exists(big)) {
        const std::string cmd = QString("convert -size 6000x4000 -seed 5 plasma:fractal -blur 0x1 -quality 90 '%1'").arg(big).toStdString();
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("ImageMagick's convert is needed");
            return;
        }
    }
    EmptyCache();
    Window w(true);
    w.form->AddFiles({big.toStdString()});
    w.form->ActViewPreview->trigger();
    w.form->ImgPreview->resize(800, 600);
    QApplication::processEvents();
    double work = 0;
    for (auto _ : state) {
        state.PauseTiming();
        w.form->ListView1->clearSelection();
        w.form->UpdatePreview();
        state.ResumeTiming();
        const ProcessCpu cpu;
        w.form->ListView1->item(0)->setSelected(true);
        w.form->UpdatePreview();
        QApplication::processEvents();
        work += cpu.Seconds();
    }
    state.counters["all_threads_cpu_s"] = work / static_cast<double>(state.iterations());
    state.counters["picture_width"] = w.form->ImgPreview->Picture().width();
}

BENCHMARK(BM_DecodeOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibLevel9OnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenFillEmptyCache)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_OpenFillWarmCache)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_OpenFillEncrypted)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();
BENCHMARK(BM_AddOnePhotoToAll)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK(BM_AddAllPhotos)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1);
// The work runs in a child process: only wall time says what it costs.
BENCHMARK(BM_VaultToolAddPrevious)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_PreviewBigPhoto)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_VaultToolAdd)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The photos as a folder dropped on the window (argument 1) beside the same
// files chosen in the Add dialog (0): what the walk of the folder and the
// report of what was left out add to adding them.
void BM_DropPhotoFolder(benchmark::State& state)
{
    static QTemporaryDir folder;
    static const bool linked = [] {
        for (const std::string& photo : Photos())
            QFile::link(QString::fromStdString(photo), folder.filePath(QFileInfo(QString::fromStdString(photo)).fileName()));
        return true;
    }();
    benchmark::DoNotOptimize(linked);
    const bool drop = state.range(0) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyCache();
        Window w(true);
        state.ResumeTiming();
        if (drop)
            w.form->AddFilesAndFolders({folder.path().toStdString()});
        else
            w.form->AddFiles(Photos());
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    state.SetLabel(drop ? "folder dropped" : "files added (Add)");
}

// Every photo selected and dragged out (argument 1: extracted into the drag's
// scratch folder) beside Extract of the same selection into a folder (0).
void BM_DragOutPhotos(benchmark::State& state)
{
    const bool drag = state.range(0) != 0;
    const std::string& vault = PhotoVault();
    Window w(true);
    w.form->OpenFile(vault);
    w.form->KeepDragFilesSeconds = 0;
    w.form->ListView1->selectAll();
    QApplication::processEvents();
    QTemporaryDir out;
    for (auto _ : state) {
        if (drag) {
            benchmark::DoNotOptimize(w.form->MakeDragOutData());
        } else {
            w.prompts->AnswerFolder(out.path().toStdString());
            w.form->ActImageExtractExecute();
        }
    }
    state.SetLabel(drag ? "drag out" : "Extract to a folder (peer)");
}

BENCHMARK(BM_DropPhotoFolder)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DragOutPhotos)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(2)->UseRealTime();

// One step of the thumbnail size (128 to 192) on the vault of photos, timed
// from the key to the list refilled: argument 0 with the cache holding only
// 128 (every thumbnail made again), 1 with 192 seen before in this run
// (memory), 2 seen in an earlier run (the disk cache only).
void BM_ThumbnailStep(benchmark::State& state)
{
    const std::string& vault = PhotoVault();
    double stall = 0;
    double work = 0;
    int made = 0;
    for (auto _ : state) {
        state.PauseTiming();
        EmptyCache();
        Window w(true);
        {
            TIniFile ini(IniFileName);
            ini.WriteInteger("Kv Glimmerbox Thumbnail", "Width", 128);
            ini.WriteInteger("Kv Glimmerbox Thumbnail", "Height", 128);
        }
        w.form->OpenFile(vault);
        if (state.range(0) > 0) {
            w.form->StepThumbnailSize(+1);
            w.form->StepThumbnailSize(-1);
        }
        if (state.range(0) == 2) {
            TThumbnailCache::Shared().Flush();
            TThumbnailCache::ResetShared();
        }
        QApplication::processEvents();
        const int before = w.form->ThumbnailsMade;
        state.ResumeTiming();
        StallMeter meter;
        const ProcessCpu cpu;
        w.form->ActViewThumbnailLarger->trigger();
        stall = std::max(stall, meter.Stop());
        work += cpu.Seconds();
        made = w.form->ThumbnailsMade - before;
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    static const char* const labels[] = {"192 not in the cache (cold)", "192 in memory (warm)", "192 on disk only (new run)"};
    state.SetLabel(labels[state.range(0)]);
    state.counters["stall_ms"] = stall;
    state.counters["all_threads_cpu_s"] = work / static_cast<double>(state.iterations());
    state.counters["thumbnails_made"] = made;
    state.counters["records"] = PhotoCount();
}

// The viewer on the vault of photos (1920 x 1080) on a 1920 x 1080 screen:
// from the Right key to the next photo painted. The user looks at each
// photo a moment (untimed) before stepping on; the vault's size does not
// matter here (GMB_BENCH_PHOTOS=40 will do). Argument 1 reads the next
// photo ahead on the worker, 0 decodes it on the key (the way before).
void BM_ViewerNextPhoto(benchmark::State& state)
{
    const std::string& vault = PhotoVault();
    EmptyCache();
    Window w(true);
    w.form->ViewerReadAhead = state.range(0) != 0;
    w.form->OpenFile(vault);
    w.form->ListView1->setCurrentRow(0);
    w.form->ActViewFullWindowExecute();
    TImageViewer* viewer = w.form->Viewer();
    if (!viewer) {
        state.SkipWithError("the viewer did not open");
        return;
    }
    QApplication::processEvents();
    double work = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (viewer->Position() + 1 >= viewer->Count())
            viewer->ShowAt(0);
        QApplication::processEvents();
        QThread::msleep(150); // the photo is looked at; the next one decodes meanwhile
        state.ResumeTiming();
        const ProcessCpu cpu;
        QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
        QApplication::sendEvent(viewer, &right);
        viewer->repaint();
        work += cpu.Seconds();
    }
    state.SetLabel(state.range(0) ? "read ahead" : "decoded on the key (before)");
    state.counters["all_threads_cpu_s"] = work / static_cast<double>(state.iterations());
    state.counters["screen_w"] = viewer->width();
    state.counters["picture_w"] = viewer->Picture->Picture().width();
    viewer->close();
}

BENCHMARK(BM_ThumbnailStep)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ViewerNextPhoto)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1)->Iterations(20)->UseRealTime();

// A window listing 4,000 small bitmaps named photo0000 to photo3999, their
// thumbnails already in the cache: only the list's own work is left.
struct ManyRecords {
    static constexpr int Count = 4000;
    Window w{true};
    ManyRecords()
    {
        EmptyCache();
        QImage picture(48, 32, QImage::Format_RGB32);
        QByteArray bytes;
        for (int i = 0; i < Count; ++i) {
            picture.fill(QColor::fromHsv(i % 360, 200, 200));
            bytes.clear();
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            picture.save(&buffer, "BMP");
            AppendImageRecord(*DMMain, QString("photo%1").arg(i, 4, 10, QChar('0')).toStdString(), 48, 32, "B",
                              std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
        w.form->resize(1024, 768);
        w.form->RefreshList();
        QApplication::processEvents();
    }
    // The next turn of the event loop, then the list laid out and painted
    // (into a picture: an offscreen window need not paint itself).
    void Repaint()
    {
        QApplication::processEvents();
        benchmark::DoNotOptimize(w.form->ListView1->viewport()->grab());
    }
};

// One keystroke and the repainted list: argument 0 types "1" into an empty
// field (1,000 shown), 1 types "photo0042" (1 shown), 2 clears "photo0042"
// (all 4,000 shown again). Only that keystroke is timed. Argument 1 = 0
// shows and hides item by item, the way before the hidden rows were set afresh.
void BM_SearchKeystroke4000(benchmark::State& state)
{
    ManyRecords list;
    if (state.range(1) == 0)
        list.w.form->SearchOneByOneUpTo = ManyRecords::Count;
    QLineEdit* field = list.w.form->EdtSearch;
    const QString before = state.range(0) == 2 ? "photo0042" : QString();
    const QString after = state.range(0) == 0 ? "1" : state.range(0) == 1 ? "photo0042" : QString();
    for (auto _ : state) {
        state.PauseTiming();
        field->setText(before);
        list.Repaint();
        state.ResumeTiming();
        field->setText(after);
        list.Repaint();
    }
    state.SetLabel(("\"" + before + "\" to \"" + after + "\"" + (state.range(1) ? "" : ", item by item (before)")).toStdString());
    state.counters["shown"] = list.w.form->ShownCount();
}

// The peer: the kind filter narrows the list by refilling it (from the warm cache).
void BM_KindFilterRefill4000(benchmark::State& state)
{
    ManyRecords list;
    bool on = false;
    for (auto _ : state) {
        on = !on;
        (on ? list.w.form->ActFilterGIF : list.w.form->ActFilterNoFilter)->trigger();
        list.Repaint();
    }
    state.SetLabel("GIF filter and back");
}

// Changing the order of 4,000 items (by pixel count and back to name).
void BM_Sort4000(benchmark::State& state)
{
    ManyRecords list;
    bool on = false;
    for (auto _ : state) {
        on = !on;
        (on ? list.w.form->ActViewSortBySize : list.w.form->ActViewSortByName)->trigger();
        list.Repaint();
    }
}

BENCHMARK(BM_SearchKeystroke4000)->Unit(benchmark::kMillisecond)->ArgsProduct({{0, 1, 2}, {0, 1}})->Iterations(10)->UseRealTime();
BENCHMARK(BM_KindFilterRefill4000)->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_Sort4000)->Unit(benchmark::kMillisecond)->Iterations(6);
} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
