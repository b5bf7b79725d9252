// Rendering one large frame to a bitmap: plain (indices copied through the
// DIB writer), dithered to the cube, with a transparency mask, and the image
// bitmap the catalogue copies (render plus copy), in Mpixel/s.
//
// Fresh large blocks cost page faults; once glibc has raised its mmap
// threshold (after the first large free) blocks come warm from the heap.
// So the runs later in the process are faster: compare like with like, or
// run one benchmark at a time with --benchmark_filter.
#include "gif/mygifimage.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// A 256-colour frame of the given size: smooth bands with some noise, so
// the ditherer has real errors to spread. Index 7 is the transparent one
// when asked for.
std::unique_ptr<TMyGIFImage> MakeImage(int width, int height, bool transparent)
{
    auto image = std::make_unique<TMyGIFImage>();
    image->Header().ScreenWidth = static_cast<uint16_t>(width);
    image->Header().ScreenHeight = static_cast<uint16_t>(height);
    for (int i = 0; i < 256; ++i)
        image->GlobalColors().AppendColor(RGBColor(static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                                                   static_cast<uint8_t>((i * 37) & 0xFF)));
    auto owned = std::make_unique<TGIFSubImage>(image.get());
    TGIFSubImage& f = *owned;
    image->Add(std::move(owned));
    f.PlaceFrame(0, 0, width, height);
    uint8_t* p = f.Pixels();
    uint32_t rng = 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            rng = rng * 1103515245u + 12345u;
            p[size_t(y) * size_t(width) + size_t(x)] = static_cast<uint8_t>((x + y) / 8 + ((rng >> 16) & 7));
        }
    if (transparent) {
        auto ext = std::make_unique<TGIFGraphicControlExtension>(&f);
        ext->SetTransparentIndex(7);
        ext->SetTransparent(true);
        f.FrameExtensions().Add(std::move(ext));
    }
    return image;
}

void SetRate(benchmark::State& state, int width, int height)
{
    state.counters["Mpixel/s"] =
        benchmark::Counter(double(width) * height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RenderPlain(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    auto image = MakeImage(w, h, false);
    TGIFSubImage& f = *image->Frame(0);
    for (auto _ : state) {
        auto bitmap = f.RenderPlain();
        benchmark::DoNotOptimize(bitmap->ScanLine(0));
    }
    SetRate(state, w, h);
}

void BM_RenderPlainMasked(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    auto image = MakeImage(w, h, true);
    TGIFSubImage& f = *image->Frame(0);
    for (auto _ : state) {
        f.DropTransparencyMask(); // the mask is built while it is pending
        auto bitmap = f.RenderPlain();
        benchmark::DoNotOptimize(bitmap->ScanLine(0));
    }

    SetRate(state, w, h);
}

void BM_RenderDithered(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    auto image = MakeImage(w, h, false);
    image->DrawOptions = dfDither;
    TGIFSubImage& f = *image->Frame(0);
    for (auto _ : state) {
        auto bitmap = f.RenderDithered();
        benchmark::DoNotOptimize(bitmap->ScanLine(0));
    }
    SetRate(state, w, h);
}

// The catalogue's road without the decode: a fresh render, cached as the
// image bitmap, copied into the caller's bitmap.
void BM_ImageBitmapCopy(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    auto image = MakeImage(w, h, false);
    TBitmap out;
    int renders = 0;
    image->OnProgress = [&](TGIFObject&, TProgressStage stage, int, bool, const TGIFRect&, const std::string&) {
        renders += stage == TProgressStage::Starting;
    };
    for (auto _ : state) {
        image->Frame(0)->DropRenderedBitmap();
        image->DropImageBitmap();
        image->AssignTo(out);
        benchmark::DoNotOptimize(out.ScanLine(0));
    }
    state.counters["renders"] = renders;
    SetRate(state, w, h);
}

} // namespace

BENCHMARK(BM_RenderPlain)->Args({1920, 1080})->Args({4000, 3000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderPlainMasked)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderDithered)->Args({1920, 1080})->Args({4000, 3000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImageBitmapCopy)->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
