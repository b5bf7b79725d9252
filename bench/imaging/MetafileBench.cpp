// Metafile thumbnails played in the helper process against the same players
// in this process: every EMF and WMF of tests/data made into a 96 x 96
// thumbnail, per file, in the same run. And the helper's bare round trip (a
// request it refuses at once) to show what the process itself costs.
#include "imaging/LoadersMetafile.h"
#include "imaging/MetafileHelper.h"
#include "imaging/Thumbnail.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kThumb = 96;

struct Metafiles {
    std::vector<std::vector<uint8_t>> files;
    char kind;
};

// The files of one folder that make a thumbnail at all.
Metafiles Load(const char* folder, char kind)
{
    Metafiles out{{}, kind};
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(GMB_TEST_DATA) + "/" + folder))
        if (entry.path().extension() == std::string(".") + folder)
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& p : paths) {
        std::vector<uint8_t> bytes = ReadWholeFile(p.string());
        try {
            TMemoryStream s(bytes);
            MakeThumbnail(s, kind, kThumb, kThumb);
            out.files.push_back(std::move(bytes));
        } catch (const Exception&) {
        }
    }
    return out;
}

const Metafiles& Emf()
{
    static const Metafiles m = Load("emf", 'E');
    return m;
}
const Metafiles& Wmf()
{
    static const Metafiles m = Load("wmf", 'W');
    return m;
}

// range(0): 0 EMF, 1 WMF; range(1): 0 in process, 1 helper.
void BM_MetafileThumbnail(benchmark::State& state)
{
    const Metafiles& m = state.range(0) == 0 ? Emf() : Wmf();
    const bool helper = state.range(1) == 1;
    state.SetLabel(std::string(state.range(0) == 0 ? "emf" : "wmf") + (helper ? " helper" : " in-process"));
    SetMetafilePlayback(helper ? MetafilePlayback::Helper : MetafilePlayback::InProcess);
    for (auto _ : state)
        for (const auto& bytes : m.files) {
            TMemoryStream s(bytes);
            TBitmap thumb = MakeThumbnail(s, m.kind, kThumb, kThumb);
            benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
        }
    SetMetafilePlayback(MetafilePlayback::Helper);
    // Items are thumbnails: the per-thumbnail cost is 1 / items_per_second.
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(m.files.size()));
}
BENCHMARK(BM_MetafileThumbnail)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// The way before, in process: played at the natural size (at most 4096
// pixels) and then reduced, beside BM_MetafileThumbnail's in-process runs.
void BM_MetafileThumbnailNaturalSize(benchmark::State& state)
{
    const Metafiles& m = state.range(0) == 0 ? Emf() : Wmf();
    state.SetLabel(std::string(state.range(0) == 0 ? "emf" : "wmf") + " in-process, natural size (before)");
    SetMetafilePlayback(MetafilePlayback::InProcess);
    for (auto _ : state)
        for (const auto& bytes : m.files) {
            TMemoryStream s(bytes);
            TMetafile metafile;
            metafile.LoadFromStream(s);
            TBitmap natural;
            DrawMetafileNatural(metafile, natural);
            TBitmap thumb(kThumb, kThumb);
            StretchToFit(natural, thumb);
            benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
        }
    SetMetafilePlayback(MetafilePlayback::Helper);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(m.files.size()));
}
BENCHMARK(BM_MetafileThumbnailNaturalSize)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One thumbnail per file, by index, so a heavy file shows on its own.
void BM_MetafileThumbnailPerFile(benchmark::State& state)
{
    const Metafiles& m = state.range(0) == 0 ? Emf() : Wmf();
    const size_t i = size_t(state.range(1));
    const bool helper = state.range(2) == 1;
    if (i >= m.files.size()) {
        state.SkipWithError("no such file");
        return;
    }
    SetMetafilePlayback(helper ? MetafilePlayback::Helper : MetafilePlayback::InProcess);
    for (auto _ : state) {
        TMemoryStream s(m.files[i]);
        TBitmap thumb = MakeThumbnail(s, m.kind, kThumb, kThumb);
        benchmark::DoNotOptimize(thumb.ScanLine(kThumb / 2));
    }
    SetMetafilePlayback(MetafilePlayback::Helper);
}
BENCHMARK(BM_MetafileThumbnailPerFile)->ArgsProduct({{0}, {2, 10}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// Start, request, refusal, exit: the helper's fixed cost.
void BM_HelperRoundTrip(benchmark::State& state)
{
    const std::vector<uint8_t> bytes(64, 0);
    for (auto _ : state) {
        MetafileReply reply;
        std::vector<uint8_t> payload;
        benchmark::DoNotOptimize(RunMetafileHelper({}, MetafileOp::PlayWindows, bytes, 1, 1, reply, payload));
    }
}
BENCHMARK(BM_HelperRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
