// Colour reduction of photos to 256 colours: the mean error (PSNR) and the
// time per megapixel of reduction modes 6 (colour cube), 7 (optimised
// palette) and 8 (optimised with the system colours), without and with
// Floyd-Steinberg dithering, beside ImageMagick's -colors 256 on the same
// pixels.
//
// The photos are the JPEGs of tests/data plus one 1920 x 1080 photo made
// once with ImageMagick (as the window benchmark makes its photos). Each is
// decoded by our JPEG loader and handed to ImageMagick as a PPM, so both
// reduce exactly the same pixels; ImageMagick's results are made once into
// $TMPDIR/glimmerbox-bench-reduce. Times are CPU times per megapixel. For
// ImageMagick, which runs as a program, the time is the fastest of five runs
// of the reducing command less the fastest of five runs of the same command
// without -colors (start, reading and writing).
#include "gif/mygifimage.h"
#include "imaging/Loaders.h"
#include "platform/Bitmap.h"
#include "platform/Stream.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

const QString kWork = QDir::tempPath() + "/glimmerbox-bench-reduce";

struct Photo {
    std::string name;
    TBitmap bitmap; // 24 bits
    std::string ppm;
};

double Megapixels(const TBitmap& b) { return double(b.Width()) * double(b.Height()) / 1e6; }

void WritePpm(const TBitmap& b, const std::string& path)
{
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << b.Width() << " " << b.Height() << "\n255\n";
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const TColor c = b.Pixel(x, y);
            const char rgb[3] = {char(RedOf(c)), char(GreenOf(c)), char(BlueOf(c))};
            out.write(rgb, 3);
        }
}

// Binary PPM (P6) or PGM (P5) as red, green, blue triplets.
std::vector<uint8_t> ReadPnm(const std::string& path, int& width, int& height)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> width >> height >> maxValue;
    in.get();
    const bool grey = magic == "P5";
    if ((magic != "P6" && !grey) || maxValue != 255)
        std::abort();
    std::vector<uint8_t> raw(size_t(width) * size_t(height) * (grey ? 1 : 3));
    in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
    if (!grey)
        return raw;
    std::vector<uint8_t> rgb;
    rgb.reserve(raw.size() * 3);
    for (uint8_t v : raw)
        rgb.insert(rgb.end(), {v, v, v});
    return rgb;
}

double Psnr(const TBitmap& source, const std::vector<uint8_t>& rgb)
{
    double squares = 0;
    size_t i = 0;
    for (int y = 0; y < source.Height(); ++y)
        for (int x = 0; x < source.Width(); ++x, i += 3) {
            const TColor c = source.Pixel(x, y);
            const double dr = double(RedOf(c)) - rgb[i], dg = double(GreenOf(c)) - rgb[i + 1],
                         db = double(BlueOf(c)) - rgb[i + 2];
            squares += dr * dr + dg * dg + db * db;
        }
    const double mse = squares / (3.0 * double(source.Width()) * double(source.Height()));
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<uint8_t> RgbOf(const TBitmap& b)
{
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(b.Width()) * size_t(b.Height()) * 3);
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const TColor c = b.Pixel(x, y);
            rgb.insert(rgb.end(), {RedOf(c), GreenOf(c), BlueOf(c)});
        }
    return rgb;
}

void Run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

std::vector<Photo>& Photos()
{
    static std::vector<Photo> photos = [] {
        QDir().mkpath(kWork);
        std::vector<std::string> files;
        for (const QString& f : QDir(GMB_TEST_DATA "/jpeg").entryList({"*.jpg"}, QDir::Files, QDir::Name))
            files.push_back(std::string(GMB_TEST_DATA "/jpeg/") + f.toStdString());
        const QString plasma = kWork + "/plasma1920x1080.jpg";
        if (!QFile::exists(plasma))
            Run(QString("convert -size 1920x1080 -seed 1 plasma:fractal -blur 0x1 -quality 90 '%1'").arg(plasma).toStdString());
        files.push_back(plasma.toStdString());
        std::vector<Photo> out;
        for (const std::string& file : files) {
            Photo p;
            p.name = QFileInfo(QString::fromStdString(file)).completeBaseName().toStdString();
            try {
                TFileStream stream(file, FileMode::OpenRead);
                LoadJpegFromStream(stream, p.bitmap);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s skipped: %s\n", p.name.c_str(), e.what());
                continue;
            }
            p.bitmap.SetPixelFormat(TPixelFormat::pf24bit);
            p.ppm = (kWork + "/" + QString::fromStdString(p.name) + ".ppm").toStdString();
            WritePpm(p.bitmap, p.ppm);
            out.push_back(std::move(p));
        }
        return out;
    }();
    return photos;
}

double ProcessCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

void ReduceOurs(benchmark::State& state, size_t photo, int mode, int dither)
{
    Photo& p = Photos()[photo];
    std::unique_ptr<TBitmap> reduced;
    const double started = ProcessCpuMs();
    for (auto _ : state) {
        reduced = ReduceBitmapColors(p.bitmap, mode, dither, nullptr, 8);
        benchmark::DoNotOptimize(reduced.get());
    }
    const double cpuMs = (ProcessCpuMs() - started) / double(state.iterations());
    state.counters["PSNR_dB"] = Psnr(p.bitmap, RgbOf(*reduced));
    state.counters["cpu_ms_per_MP"] = cpuMs / Megapixels(p.bitmap);
}

// CPU time of the commands run: the machine may be shared, so wall time
// would count the waiting too.
double ChildCpuMs(const std::string& command)
{
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    Run(command);
    getrusage(RUSAGE_CHILDREN, &after);
    auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    return ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
}

void ReduceImageMagick(benchmark::State& state, size_t photo, int dither)
{
    Photo& p = Photos()[photo];
    const std::string out = (kWork + "/" + QString::fromStdString(p.name) + (dither ? "-fs" : "-none") + ".ppm").toStdString();
    const std::string plain = (kWork + "/" + QString::fromStdString(p.name) + "-copy.ppm").toStdString();
    const std::string how = dither ? "-dither FloydSteinberg" : "+dither";
    const std::string reduce = "convert '" + p.ppm + "' " + how + " -colors 256 '" + out + "'";
    const std::string copy = "convert '" + p.ppm + "' '" + plain + "'";
    double reduceMs = std::numeric_limits<double>::max(), copyMs = reduceMs;
    for (auto _ : state) {
        const double r = ChildCpuMs(reduce), c = ChildCpuMs(copy);
        reduceMs = std::min(reduceMs, r);
        copyMs = std::min(copyMs, c);
        state.SetIterationTime(std::max(1e-6, (r - c) / 1000.0));
    }
    int w = 0, h = 0;
    const std::vector<uint8_t> rgb = ReadPnm(out, w, h);
    if (w != p.bitmap.Width() || h != p.bitmap.Height())
        std::abort();
    state.counters["PSNR_dB"] = Psnr(p.bitmap, rgb);
    state.counters["cpu_ms_per_MP"] = std::max(0.0, reduceMs - copyMs) / Megapixels(p.bitmap);
}

const bool kRegistered = [] {
    const size_t count = Photos().size();
    for (size_t i = 0; i < count; ++i) {
        const std::string& name = Photos()[i].name;
        for (int dither : {0, 1}) {
            const std::string d = dither ? "/floyd" : "/nodither";
            for (int mode : {6, 7, 8})
                benchmark::RegisterBenchmark(("Reduce/" + name + "/mode" + std::to_string(mode) + d).c_str(),
                                             [=](benchmark::State& s) { ReduceOurs(s, i, mode, dither); })
                    ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Reduce/" + name + "/imagemagick" + d).c_str(),
                                         [=](benchmark::State& s) { ReduceImageMagick(s, i, dither); })
                ->UseManualTime()
                ->Iterations(5)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

} // namespace

BENCHMARK_MAIN();
