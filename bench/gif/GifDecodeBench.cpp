// Decode throughput in Mpixel/s, ours against giflib, on the same large GIFs.
// The inputs are made at run time with ImageMagick's convert in a temporary
// directory: natural-looking (plasma) and noisy pictures, interlaced or not.
#include "GiflibOracle.h"
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

struct Input {
    const char* name;
    const char* convertArgs;
};

const Input kInputs[] = {
    {"plasma1200", "-size 1200x1200 -seed 7 plasma:fractal"},
    {"plasma1200_interlaced", "-size 1200x1200 -seed 7 plasma:fractal -interlace GIF"},
    {"noise1200", "-size 1200x1200 -seed 7 plasma:fractal +noise Random"},
    {"noise1200_interlaced", "-size 1200x1200 -seed 7 plasma:fractal +noise Random -interlace GIF"},
    {"plasma2400", "-size 2400x1600 -seed 3 plasma:fractal"},
};

const std::vector<uint8_t>& InputBytes(const Input& in)
{
    static std::map<std::string, std::vector<uint8_t>> cache;
    auto it = cache.find(in.name);
    if (it != cache.end())
        return it->second;
    const auto dir = std::filesystem::temp_directory_path() / "gmb-bench-gif";
    std::filesystem::create_directories(dir);
    const auto path = dir / (std::string(in.name) + ".gif");
    if (!std::filesystem::exists(path)) {
        const std::string cmd = std::string("convert ") + in.convertArgs + " '" + path.string() + "'";
        if (std::system(cmd.c_str()) != 0)
            return cache[in.name];
    }
    std::ifstream f(path, std::ios::binary);
    return cache[in.name] = std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void SetRate(benchmark::State& state, double pixels, size_t bytes)
{
    state.counters["Mpixel/s"] =
        benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["file_KB"] = static_cast<double>(bytes) / 1024.0;
}

// The input's bytes, or nullptr when it could not be made.
const std::vector<uint8_t>* Prepare(benchmark::State& state, const Input* in)
{
    const auto& bytes = InputBytes(*in);
    if (!bytes.empty())
        return &bytes;
    state.SkipWithError("could not make the input with convert");
    return nullptr;
}

void BM_Ours(benchmark::State& state, const Input* in)
{
    const std::vector<uint8_t>* input = Prepare(state, in);
    if (!input)
        return;
    const auto& bytes = *input;
    double pixels = 0;
    // The stream is made once, as giflib reads straight from the bytes.
    TMemoryStream s(bytes);
    for (auto _ : state) {
        s.SetPosition(0);
        TMyGIFImage image;
        image.LoadFromStream(s);
        pixels = 0;
        for (int i = 0; i < image.FrameCount(); ++i)
            pixels += static_cast<double>(image.Frame(i)->PixelCount());
        benchmark::DoNotOptimize(image.Frame(0)->StoredPixels());
    }
    SetRate(state, pixels, bytes.size());
}

void BM_Giflib(benchmark::State& state, const Input* in)
{
    const std::vector<uint8_t>* input = Prepare(state, in);
    if (!input)
        return;
    const auto& bytes = *input;
    double pixels = 0;
    for (auto _ : state) {
        giflib::Decoded d = giflib::Decode(bytes, false);
        if (!d.Ok) {
            state.SkipWithError("giflib failed");
            return;
        }
        pixels = 0;
        for (const auto& f : d.Frames)
            pixels += static_cast<double>(f.Width) * f.Height;
        benchmark::DoNotOptimize(d);
    }
    SetRate(state, pixels, bytes.size());
}

const bool kRegistered = [] {
    for (const Input& in : kInputs) {
        benchmark::RegisterBenchmark((std::string("ours/") + in.name).c_str(), BM_Ours, &in)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("giflib/") + in.name).c_str(), BM_Giflib, &in)
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

} // namespace

BENCHMARK_MAIN();
