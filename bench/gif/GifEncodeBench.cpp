// Encode throughput (Mpixel/s) and output size of our LZW and run-length
// encoders against giflib's encoder (EGifPutLine) on the same frames: a
// photo reduced to 256 colours, a flat drawing and noise, 8 bits a pixel.
// The photo is a JPEG of tests/data enlarged and reduced with ImageMagick's
// convert; the drawing and the noise are made here.
#include "GiflibOracle.h"
#include "gif/GIFWriter.h"
#include "gif/mygifimage.h"
#include "platform/Stream.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// Header, 256-entry table, descriptor and trailer: the same for every
// writer, so file sizes are image data plus this.
constexpr size_t kFileOverhead = 13 + 768 + 10 + 1;

Frame Photo()
{
    const auto dir = std::filesystem::temp_directory_path() / "gmb-bench-gif";
    std::filesystem::create_directories(dir);
    const auto path = dir / "photo256.gif";
    if (!std::filesystem::exists(path)) {
        const std::string cmd = std::string("convert '") + GMB_TEST_DATA +
                                "/jpeg/testorig.jpg' -resize 800% -colors 256 '" + path.string() + "'";
        if (std::system(cmd.c_str()) != 0)
            return {};
    }
    std::ifstream f(path, std::ios::binary);
    TMemoryStream s(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}));
    TMyGIFImage image;
    image.LoadFromStream(s);
    TGIFSubImage& frame = *image.Frame(0);
    const uint8_t* px = frame.Pixels();
    return {frame.Width(), frame.Height(), std::vector<uint8_t>(px, px + frame.PixelCount())};
}

// Rectangles and discs of a dozen colours on white, as a diagram would be.
Frame Drawing()
{
    Frame f{1600, 1200, std::vector<uint8_t>(1600u * 1200u, 0)};
    uint32_t s = 5;
    for (int shape = 0; shape < 60; ++shape) {
        s = s * 1664525u + 1013904223u;
        const int cx = static_cast<int>(s % 1600u), cy = static_cast<int>((s >> 11) % 1200u);
        const int r = 20 + static_cast<int>((s >> 20) % 150u);
        const auto colour = static_cast<uint8_t>(1 + shape % 12);
        for (int y = std::max(0, cy - r); y < std::min(1200, cy + r); ++y)
            for (int x = std::max(0, cx - r); x < std::min(1600, cx + r); ++x)
                if (shape % 2 == 0 || (x - cx) * (x - cx) + (y - cy) * (y - cy) < r * r)
                    f.pixels[static_cast<size_t>(y) * 1600u + static_cast<size_t>(x)] = colour;
    }
    return f;
}

Frame Noise()
{
    Frame f{1200, 1200, std::vector<uint8_t>(1200u * 1200u)};
    uint32_t s = 7;
    for (uint8_t& p : f.pixels) {
        s = s * 1664525u + 1013904223u;
        p = static_cast<uint8_t>(s >> 24);
    }
    return f;
}

const Frame& Input(const std::string& name)
{
    static std::map<std::string, Frame> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return it->second;
    return cache[name] = name == "photo" ? Photo() : name == "drawing" ? Drawing() : Noise();
}

void SetRate(benchmark::State& state, const Frame& f, size_t bytes)
{
    state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(f.pixels.size()) / 1e6,
                                                    benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file_KB"] = static_cast<double>(bytes) / 1024.0;
}

template <class Encoder>
void BM_Ours(benchmark::State& state, const char* name)
{
    const Frame& f = Input(name);
    if (f.pixels.empty()) {
        state.SkipWithError("could not make the input");
        return;
    }
    size_t bytes = 0;
    TMemoryStream out;
    for (auto _ : state) {
        out.Clear();
        Encoder e;
        e.EncodeFrame(out, 8, 256, f.pixels.data(), false, f.height, f.width);
        bytes = static_cast<size_t>(out.Size());
        benchmark::DoNotOptimize(out.Memory());
    }
    SetRate(state, f, bytes + kFileOverhead);
}

void BM_Giflib(benchmark::State& state, const char* name)
{
    const Frame& f = Input(name);
    if (f.pixels.empty()) {
        state.SkipWithError("could not make the input");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const std::vector<uint8_t> gif = giflib::Encode(f.width, f.height, f.pixels, false, 256);
        bytes = gif.size();
        benchmark::DoNotOptimize(gif.data());
    }
    SetRate(state, f, bytes);
}

const bool kRegistered = [] {
    for (const char* name : {"photo", "drawing", "noise"}) {
        benchmark::RegisterBenchmark((std::string("lzw/") + name).c_str(), BM_Ours<TLZWEncoder>, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("giflib/") + name).c_str(), BM_Giflib, name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("rle/") + name).c_str(), BM_Ours<TRLEEncoder>, name)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

} // namespace

BENCHMARK_MAIN();
