// Thumbnails as the list makes them: the record's blob inflated, decoded
// by the kind's loader, fitted into 96 x 96, plus the shell icon. And the
// JPEG path alone on 1920 x 1080 photos (made with ImageMagick at start)
// against a bare libjpeg-turbo decode of the same bytes.
#include "store/UDMMain.h" // before Qt: the store's headers clash with Qt's macros

#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kThumb = 96;
constexpr int kPhotos = 3;

struct Sample {
    const char* name;
    const char* file;
    char kind;
};
const Sample kSamples[] = {
    {"bitmap", "bmp/g/rgb24.bmp", 'B'},       {"icon", "ico/idle.ico", 'I'},
    {"emf", "emf/test-016.emf", 'E'},        {"wmf", "wmf/anim0002.wmf", 'W'},
    {"jpeg", "jpeg/testorig.jpg", 'J'},      {"gif", "gif-suite/all-reds.gif", 'G'},
};

TDMMain* Store()
{
    static TDMMain* store = [] {
        auto* s = new TDMMain;
        s->CreateNewTable();
        for (const Sample& sample : kSamples) {
            const std::string path = std::string(GMB_TEST_DATA) + "/" + sample.file;
            if (!std::filesystem::exists(path))
                continue;
            s->CDS.Append();
            s->CDSFileName.SetAsString(sample.name);
            s->CDSDimX.SetAsInteger(1);
            s->CDSDimY.SetAsInteger(1);
            s->LoadImageFromFile(path);
            s->CDSImageType.SetAsString(std::string(1, sample.kind));
            s->CDS.Post();
        }
        return s;
    }();
    return store;
}

void BM_RecordThumbnail(benchmark::State& state)
{
    const Sample& sample = kSamples[state.range(0)];
    state.SetLabel(sample.name);
    TDMMain* store = Store();
    if (!store->LocateImage(sample.name, std::string(1, sample.kind))) {
        state.SkipWithError("sample file missing");
        return;
    }
    if (sample.kind == 'G' && !CreateGraphicForExtension("gif")) {
        state.SkipWithError("no GIF class registered");
        return;
    }
    TImageList large(kThumb, kThumb), small(16, 16);
    for (auto _ : state) {
        AddRecordThumbnail(*store, large, small);
        if (large.Count() > 64) {
            large.Clear();
            small.Clear();
        }
    }
}
BENCHMARK(BM_RecordThumbnail)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

// 1920 x 1080 "photos": plasma fractals have the fine, noisy detail of real
// pictures, so they cost the decoder about what a photo does.
const std::vector<std::vector<uint8_t>>& Photos()
{
    static const std::vector<std::vector<uint8_t>> photos = [] {
        std::vector<std::vector<uint8_t>> out;
        const std::filesystem::path dir = std::filesystem::temp_directory_path() / "gmb-bench-photos";
        std::filesystem::create_directories(dir);
        for (int i = 0; i < kPhotos; ++i) {
            const std::string file = (dir / ("photo" + std::to_string(i) + ".jpg")).string();
            if (!std::filesystem::exists(file)) {
                const std::string cmd = "convert -seed " + std::to_string(17 + i) +
                                        " -size 1920x1080 plasma:fractal -blur 0x1 -quality 88 -sampling-factor 2x2 '" + file + "'";
                if (std::system(cmd.c_str()) != 0)
                    continue;
            }
            out.push_back(ReadWholeFile(file));
        }
        return out;
    }();
    return photos;
}

void BM_PhotoThumbnail(benchmark::State& state)
{
    const auto& photos = Photos();
    if (photos.empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the photos");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        TMemoryStream s(photos[i++ % photos.size()]);
        TBitmap thumb = MakeThumbnail(s, 'J', kThumb, kThumb);
        benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_PhotoThumbnail)->Unit(benchmark::kMillisecond);

// Only the decode: libjpeg-turbo into one reused RGB buffer.
void BM_PhotoBareDecode(benchmark::State& state)
{
    const auto& photos = Photos();
    if (photos.empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the photos");
        return;
    }
    std::vector<uint8_t> pixels;
    size_t i = 0;
    for (auto _ : state) {
        const auto& bytes = photos[i++ % photos.size()];
        jpeg_decompress_struct cinfo;
        jpeg_error_mgr err;
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&cinfo);
        const size_t stride = size_t(cinfo.output_width) * 3;
        pixels.resize(stride * cinfo.output_height);
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = pixels.data() + stride * cinfo.output_scanline;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_decompress(&cinfo);
        jpeg_destroy_decompress(&cinfo);
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_PhotoBareDecode)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // shell icons need one
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
