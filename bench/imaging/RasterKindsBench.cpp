// Thumbnails of 1920 x 1080 photos of the newer kinds (PNG, WebP, TIFF,
// HEIF, AVIF), made with ImageMagick at start, through the kind's loader;
// beside them, on the same files in the same run: Qt's own image plugins
// (PNG built in; WebP and TIFF from qt6-image-formats-plugins; Qt has no
// HEIF or AVIF reader) decoding and scaling to the same size, and libvips's
// vipsthumbnail as a program (its start-up measured alone on a 1 x 1 PNG,
// to be taken off).
#include "gif/mygifimage.h"
#include "imaging/GifExport.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Stream.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kThumb = 96;

struct Kind {
    const char* name;
    const char* extension;
    char letter;
    const char* encode; // ImageMagick options for the photo
};
const Kind kKinds[] = {
    {"png", "png", 'P', ""},
    {"webp", "webp", 'V', "-quality 80"},
    {"tiff", "tif", 'T', "-compress LZW"},
    {"heif", "heic", 'H', "-quality 80"},
    {"avif", "avif", 'A', "-quality 80"},
};

std::filesystem::path Folder()
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "gmb-bench-kinds";
    std::filesystem::create_directories(dir);
    return dir;
}

// The photo of a kind, made once and kept in the temporary folder; empty
// when ImageMagick cannot make it.
const std::string& PhotoFile(int k)
{
    static std::string files[std::size(kKinds)];
    std::string& file = files[k];
    if (!file.empty())
        return file;
    const std::string path = (Folder() / (std::string("photo.") + kKinds[k].extension)).string();
    if (!std::filesystem::exists(path)) {
        const std::string cmd = std::string("/usr/bin/convert -seed 17 -size 1920x1080 plasma:fractal -blur 0x1 ") +
                                kKinds[k].encode + " '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            return file;
    }
    file = path;
    return file;
}

// The photo of the run's kind, the run labelled with the kind; null (the
// run skipped) when it cannot be made.
const std::string* PhotoFor(benchmark::State& state)
{
    state.SetLabel(kKinds[state.range(0)].name);
    const std::string& file = PhotoFile(int(state.range(0)));
    if (file.empty()) {
        state.SkipWithError("ImageMagick could not make the photo");
        return nullptr;
    }
    return &file;
}

void EnsureApp()
{
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = QGuiApplication::instance() ? nullptr : new QGuiApplication(argc, argv);
    (void)app;
}

void BM_OurThumbnail(benchmark::State& state)
{
    const Kind& kind = kKinds[state.range(0)];
    const std::string* file = PhotoFor(state);
    if (!file)
        return;
    const std::vector<uint8_t> bytes = ReadWholeFile(*file);
    for (auto _ : state) {
        TMemoryStream s(bytes);
        TBitmap thumb = MakeThumbnail(s, kind.letter, kThumb, kThumb);
        benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
    }
}
BENCHMARK(BM_OurThumbnail)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

void BM_QtPluginThumbnail(benchmark::State& state)
{
    EnsureApp();
    const Kind& kind = kKinds[state.range(0)];
    const std::string* file = PhotoFor(state);
    if (!file)
        return;
    const std::vector<uint8_t> bytes = ReadWholeFile(*file);
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    for (auto _ : state) {
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, kind.extension);
        QImage image;
        if (!reader.read(&image)) {
            state.SkipWithError(("Qt cannot read it: " + reader.errorString().toStdString()).c_str());
            return;
        }
        const QImage thumb = image.scaled(kThumb, kThumb, Qt::KeepAspectRatio, Qt::FastTransformation);
        benchmark::DoNotOptimize(thumb.constBits());
    }
}
BENCHMARK(BM_QtPluginThumbnail)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

void RunVips(benchmark::State& state, const std::string& file)
{
    const std::string out = (Folder() / "vips-thumb.png").string();
    const std::string cmd = "vipsthumbnail '" + file + "' -s " + std::to_string(kThumb) + " -o '" + out + "' 2>/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("vipsthumbnail failed (package libvips-tools)");
            return;
        }
}

void BM_VipsThumbnail(benchmark::State& state)
{
    if (const std::string* file = PhotoFor(state))
        RunVips(state, *file);
}
BENCHMARK(BM_VipsThumbnail)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->Iterations(10);

// What starting vipsthumbnail costs: a 1 x 1 PNG.
void BM_VipsStartUp(benchmark::State& state)
{
    const std::string file = (Folder() / "one.png").string();
    if (!std::filesystem::exists(file) && std::system(("/usr/bin/convert -size 1x1 xc:red '" + file + "'").c_str()) != 0) {
        state.SkipWithError("ImageMagick could not make the PNG");
        return;
    }
    RunVips(state, file);
}
BENCHMARK(BM_VipsStartUp)->Unit(benchmark::kMillisecond)->Iterations(10);

// What the preview does before an animated WebP plays: every frame decoded
// and made a GIF frame (optimised palette, error diffusion), on a 480 x 270
// animation of 12 frames; beside it, the first frame alone as a still
// picture is decoded for the preview.
const std::string& AnimationFile()
{
    static const std::string file = [] {
        const std::string path = (Folder() / "animation.webp").string();
        std::string frames;
        for (int i = 0; i < 12; ++i)
            frames += " -seed " + std::to_string(31 + i) + " plasma:fractal";
        const std::string cmd = "/usr/bin/convert -size 480x270 -delay 8" + frames + " -loop 0 -quality 80 '" + path + "'";
        return std::filesystem::exists(path) || std::system(cmd.c_str()) == 0 ? path : std::string();
    }();
    return file;
}

void BM_AnimationAsGif(benchmark::State& state)
{
    if (AnimationFile().empty()) {
        state.SkipWithError("ImageMagick could not make the animation");
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<TMyGIFImage> gif = LoadAnimationAsGif(AnimationFile(), 'V');
        benchmark::DoNotOptimize(gif.get());
    }
}
BENCHMARK(BM_AnimationAsGif)->Unit(benchmark::kMillisecond);

void BM_AnimationFirstFrame(benchmark::State& state)
{
    if (AnimationFile().empty()) {
        state.SkipWithError("ImageMagick could not make the animation");
        return;
    }
    const std::vector<uint8_t> bytes = ReadWholeFile(AnimationFile());
    for (auto _ : state) {
        TMemoryStream s(bytes);
        TBitmap natural;
        LoadWebpFromStream(s, natural);
        benchmark::DoNotOptimize(natural.ScanLine(0));
    }
}
BENCHMARK(BM_AnimationFirstFrame)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
