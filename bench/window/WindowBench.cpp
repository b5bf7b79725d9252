// The window's bulk work on a vault of photos: filling the list (inflate,
// decode and fit every record) and adding the files, per image, beside the
// bare costs of decoding and compressing one photo.
//
// The photos (1920 x 1080 JPEGs) are made once with ImageMagick into
// $TMPDIR/glimmerbox-bench-photos; GMB_BENCH_PHOTOS sets how many (1000).
#include "imaging/ImageKinds.h"
#include "catalogue/UFormMain.h"
#include "catalogue/UKvApps.h"
#include "platform/Bitmap.h"
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "widgets/Prompts.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

int PhotoCount()
{
    const char* n = std::getenv("GMB_BENCH_PHOTOS");
    return n ? std::max(1, std::atoi(n)) : 1000;
}

// A few distinct photos, copied under many names: distinct content for the
// decoder, the count the window really has to handle.
const std::vector<std::string>& Photos()
{
    static std::vector<std::string> photos = [] {
        const QString dir = QDir::tempPath() + "/glimmerbox-bench-photos";
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

struct Window {
    QTemporaryDir dir;
    ScopedScriptedPrompts prompts;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TDMMain> store;

    Window()
    {
        IniFileName = IniFileNameFor(dir.path().toStdString());
        form = std::make_unique<TFormMain>();
        store = std::make_unique<TDMMain>();
        DMMain = store.get();
        form->show();
        QApplication::processEvents();
    }
    ~Window()
    {
        form.reset();
        store.reset();
        DMMain = nullptr;
    }
};

void BM_AddPhotos(benchmark::State& state)
{
    const auto& photos = Photos();
    for (auto _ : state) {
        Window w;
        w.form->AddFiles(photos); // ends with a full list fill
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    state.counters["s_per_image"] =
        benchmark::Counter(static_cast<double>(photos.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_RefreshList(benchmark::State& state)
{
    const auto& photos = Photos();
    Window w;
    w.form->AddFiles(photos);
    for (auto _ : state) {
        w.form->RefreshList();
        benchmark::DoNotOptimize(w.form->ListView1->count());
    }
    state.counters["s_per_image"] =
        benchmark::Counter(static_cast<double>(photos.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
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
void BM_VaultToolAdd(benchmark::State& state)
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
        tool.start(GMB_VAULT_TOOL, args);
        if (!tool.waitForFinished(-1) || tool.exitCode() != 0) {
            state.SkipWithError("glimmerbox-vault add failed");
            return;
        }
    }
    state.counters["s_per_image"] =
        benchmark::Counter(static_cast<double>(photos.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_DecodeOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateOnePhoto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_AddPhotos)->Unit(benchmark::kMillisecond)->Iterations(1);
// The work runs in a child process: only wall time says what it costs.
BENCHMARK(BM_VaultToolAdd)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

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
