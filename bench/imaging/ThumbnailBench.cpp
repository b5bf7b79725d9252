// Thumbnails as the list makes them: the record's blob inflated, decoded
// by the kind's loader, fitted into 96 x 96, plus the shell icon. And the
// JPEG path alone on 1920 x 1080 photos (made with ImageMagick at start)
// against a bare libjpeg-turbo decode of the same bytes.
#include "store/UDMMain.h" // before Qt: the store's headers clash with Qt's macros

#include "imaging/AddPreparation.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersJpeg.h"
#include "imaging/ThumbnailCache.h"
#include "imaging/Thumbnail.h"
#include "gif/mygifimage.h"
#include "platform/Picture.h"
#include "platform/Stream.h"
#include "../../tests/PieceStream.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <jpeglib.h>
#include <sys/resource.h>

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

// The list's thumbnail of each photo in turn.
void RunPhotoThumbnails(benchmark::State& state, const std::vector<std::vector<uint8_t>>& photos, const char* missing)
{
    if (photos.empty()) {
        state.SkipWithError(missing);
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

void BM_PhotoThumbnail(benchmark::State& state)
{
    RunPhotoThumbnails(state, Photos(), "ImageMagick's convert is needed to make the photos");
}
BENCHMARK(BM_PhotoThumbnail)->Unit(benchmark::kMillisecond);

// Today's way beside it: the whole photo decoded at full size, then fitted.
void BM_PhotoThumbnailFullDecode(benchmark::State& state)
{
    const auto& photos = Photos();
    if (photos.empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the photos");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        TBitmap natural;
        DecodeJpeg(photos[i++ % photos.size()], natural);
        TBitmap thumb(kThumb, kThumb);
        StretchToFit(natural, thumb);
        benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_PhotoThumbnailFullDecode)->Unit(benchmark::kMillisecond);

std::string PhotoDir()
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "gmb-bench-photos";
    return dir.string();
}

// The same photos carrying a 160 x 90 EXIF thumbnail (exiftool), as a
// camera writes one for a 16:9 picture.
const std::vector<std::vector<uint8_t>>& PhotosWithExifThumbnail()
{
    static const std::vector<std::vector<uint8_t>> photos = [] {
        std::vector<std::vector<uint8_t>> out;
        Photos();
        for (int i = 0; i < kPhotos; ++i) {
            const std::string base = PhotoDir() + "/photo" + std::to_string(i);
            const std::string file = base + "-exif.jpg";
            if (!std::filesystem::exists(file)) {
                const std::string cmd = "convert '" + base + ".jpg' -resize 160x90! -quality 85 '" + base + "-t.jpg' && cp '" + base +
                                        ".jpg' '" + file + "' && exiftool -q -overwrite_original '-ThumbnailImage<=" + base + "-t.jpg' '" +
                                        file + "'";
                if (std::system(cmd.c_str()) != 0)
                    continue;
            }
            out.push_back(ReadWholeFile(file));
        }
        return out;
    }();
    return photos;
}

void BM_PhotoThumbnailFromExif(benchmark::State& state)
{
    RunPhotoThumbnails(state, PhotosWithExifThumbnail(), "ImageMagick and exiftool are needed to make the photos");
}
BENCHMARK(BM_PhotoThumbnailFromExif)->Unit(benchmark::kMillisecond);

// vipsthumbnail -s 96 on the same photos, one thread, 30 photos to a run
// so that its start costs little per photo; its CPU time (a child's) is
// the counter vips_cpu_ms_per_photo.
void BM_VipsThumbnail(benchmark::State& state)
{
    Photos();
    std::string files;
    for (int k = 0; k < 10; ++k)
        for (int i = 0; i < kPhotos; ++i)
            files += " '" + PhotoDir() + "/photo" + std::to_string(i) + ".jpg'";
    const std::string out = PhotoDir() + "/vips-out";
    std::filesystem::create_directories(out);
    const std::string cmd = "VIPS_CONCURRENCY=1 vipsthumbnail -s 96 -o '" + out + "/%s.jpg'" + files;
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) {
            state.SkipWithError("vipsthumbnail (libvips-tools) is needed");
            return;
        }
    getrusage(RUSAGE_CHILDREN, &after);
    const auto ms = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
    };
    state.counters["vips_cpu_ms_per_photo"] = (ms(after) - ms(before)) / double(state.iterations() * 10 * kPhotos);
    state.SetItemsProcessed(int64_t(state.iterations()) * 10 * kPhotos);
}
BENCHMARK(BM_VipsThumbnail)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A 6000 x 4000 photo for the preview pane: decoded to fill an 800 x 600
// pane, beside the full decode the preview used to make.
const std::vector<uint8_t>& BigPhoto()
{
    static const std::vector<uint8_t> bytes = [] {
        Photos();
        const std::string file = PhotoDir() + "/big.jpg";
        if (!std::filesystem::exists(file)) {
            const std::string cmd = "convert '" + PhotoDir() + "/photo0.jpg' -resize 6000x4000! -attenuate 0.3 +noise Gaussian -quality 90 '" + file + "'";
            if (std::system(cmd.c_str()) != 0)
                return std::vector<uint8_t>();
        }
        return ReadWholeFile(file);
    }();
    return bytes;
}

void BM_BigPhotoPreview(benchmark::State& state)
{
    const auto& bytes = BigPhoto();
    if (bytes.empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the photo");
        return;
    }
    const bool scaled = state.range(0) != 0;
    state.SetLabel(scaled ? "pane 800 x 600" : "full size (before)");
    for (auto _ : state) {
        TBitmap picture;
        DecodeJpeg(bytes, picture, scaled ? TJpegScale{800, 533} : TJpegScale{});
        const QImage shown = picture.ToQImage();
        benchmark::DoNotOptimize(shown.constBits());
    }
}
BENCHMARK(BM_BigPhotoPreview)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Inflating a stored photo: zlib piece by piece (before), libdeflate whole.
void BM_InflatePhoto(benchmark::State& state)
{
    const auto& photos = Photos();
    if (photos.empty()) {
        state.SkipWithError("ImageMagick's convert is needed to make the photos");
        return;
    }
    TMemoryStream source(photos[0]), packedStream;
    CompressStream(source, packedStream);
    const std::vector<uint8_t> packed = packedStream.TakeBytes();
    const bool whole = state.range(0) != 0;
    state.SetLabel(whole ? "libdeflate, whole" : "zlib, in pieces (before)");
    for (auto _ : state) {
        TMemoryStream out;
        if (whole) {
            TMemoryStream in(packed);
            DecompressStream(in, out);
        } else {
            PieceStream in(packed);
            DecompressStream(in, out);
        }
        benchmark::DoNotOptimize(out.Memory());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(photos[0].size()));
}
BENCHMARK(BM_InflatePhoto)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Preparing one photo for adding (prove, size, compress, thumbnail into the
// cache): the scaled decode now, the full picture decode before.
void BM_PrepareAddPhoto(benchmark::State& state)
{
    Photos();
    const std::string file = PhotoDir() + "/photo0.jpg";
    const bool now = state.range(0) != 0;
    state.SetLabel(now ? "scaled decode" : "full decode (before)");
    TThumbnailCache cache("");
    for (auto _ : state) {
        if (now) {
            TAddJob job;
            PrepareAdd(job, file, TAddThumbnails{&cache, QSize(kThumb, kThumb)});
            benchmark::DoNotOptimize(job.packed.data());
        } else {
            TPicture picture;
            picture.LoadFromFile(file);
            TFileStream in(file, FileMode::OpenRead);
            TMemoryStream packed;
            CompressStream(in, packed);
            const auto* jpeg = dynamic_cast<const TJPEGImage*>(picture.Graphic());
            TBitmap thumb(kThumb, kThumb);
            StretchToFit(jpeg->Bitmap(), thumb);
            cache.Put(ThumbnailKeyOfPacked(packed.Bytes(), 'J', kThumb, kThumb, {}), thumb.ToQImage());
        }
    }
}
BENCHMARK(BM_PrepareAddPhoto)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// An animation's thumbnail: the first frame alone now, every frame read
// before. A 400 x 300 animation of 60 frames, written by our own encoder.
const std::vector<uint8_t>& Animation()
{
    static const std::vector<uint8_t> bytes = [] {
        TMyGIFImage gif;
        for (int f = 0; f < 60; ++f) {
            TBitmap frame(400, 300, TPixelFormat::pf8bit);
            std::vector<TPaletteEntry> colours;
            for (int i = 0; i < 256; ++i)
                colours.push_back({uint8_t(i), uint8_t(i * 3 + f), uint8_t(255 - i), 0});
            frame.SetPalette(MakePalette(colours));
            frame.SetSize(400, 300);
            for (int y = 0; y < 300; ++y)
                for (int x = 0; x < 400; ++x)
                    frame.SetRawPixel(x, y, uint32_t((x * 7 + y * 13 + f * 5) ^ (x * y)) & 0xFF);
            gif.Add(frame);
        }
        TMemoryStream out;
        gif.SaveToStream(out);
        return out.TakeBytes();
    }();
    return bytes;
}

void BM_AnimationThumbnail(benchmark::State& state)
{
    const bool first = state.range(0) != 0;
    state.SetLabel(first ? "first frame" : "every frame read (before)");
    for (auto _ : state) {
        TMemoryStream s(Animation());
        TBitmap natural;
        if (first)
            LoadGifFirstFrameFromStream(s, natural);
        else
            LoadGifFromStream(s, natural);
        TBitmap thumb(kThumb, kThumb);
        StretchToFit(natural, thumb);
        benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
    }
}
BENCHMARK(BM_AnimationThumbnail)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A 6000 x 4000 24-bit bitmap's thumbnail: sampled row by row now, the
// whole picture decoded and stretched before; peak memory beside it.
const std::vector<uint8_t>& BigBitmap()
{
    static const std::vector<uint8_t> bytes = [] {
        TBitmap b(6000, 4000);
        for (int y = 0; y < 4000; ++y)
            for (int x = 0; x < 6000; ++x)
                b.SetRawPixel(x, y, uint32_t(x * 2654435761u ^ y * 40503u) & 0xFFFFFF);
        TMemoryStream out;
        b.SaveToStream(out);
        return out.TakeBytes();
    }();
    return bytes;
}

void BM_BigBitmapThumbnail(benchmark::State& state)
{
    const bool sampled = state.range(0) != 0;
    state.SetLabel(sampled ? "sampled by rows" : "whole picture (before)");
    const std::vector<uint8_t>& bytes = BigBitmap();
    for (auto _ : state) {
        TMemoryStream s(bytes);
        if (sampled) {
            TBitmap thumb = MakeThumbnail(s, 'B', kThumb, kThumb);
            benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
        } else {
            TBitmap natural;
            natural.LoadFromStream(s);
            TBitmap thumb(kThumb, kThumb);
            StretchToFit(natural, thumb);
            benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
        }
    }
    state.counters["file_MB"] = double(bytes.size()) / 1e6;
}
BENCHMARK(BM_BigBitmapThumbnail)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

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
