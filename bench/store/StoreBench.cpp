// Compression against raw zlib on real JPEG files, and opening / writing
// back a vault of 1,000 records of about 400 KB each.
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "store/VaultTable.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const kJpegs[] = {"testorig", "testimgari", "testimgint", "monkey12"};

std::vector<uint8_t> Jpeg(int i)
{
    return ReadWholeFile(std::string(GMB_TEST_DATA) + "/jpeg/" + kJpegs[i] + ".jpg");
}

std::vector<uint8_t> Packed(const std::vector<uint8_t>& bytes)
{
    TMemoryStream in(bytes), out;
    CompressStream(in, out);
    return out.Bytes();
}

// One codec over one JPEG file per run; bytes counted are the file's.
template <typename Codec>
void RunOnJpeg(benchmark::State& state, bool packedInput, Codec codec)
{
    const auto bytes = Jpeg(static_cast<int>(state.range(0)));
    const auto input = packedInput ? Packed(bytes) : bytes;
    state.SetLabel(kJpegs[state.range(0)]);
    std::vector<uint8_t> scratch(compressBound(bytes.size()));
    for (auto _ : state)
        codec(input, scratch, bytes.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_CompressStream(benchmark::State& state)
{
    RunOnJpeg(state, false, [](const std::vector<uint8_t>& in, std::vector<uint8_t>&, size_t) {
        TMemoryStream source(in), dest;
        CompressStream(source, dest);
        benchmark::DoNotOptimize(dest.Memory());
    });
}

void BM_ZlibCompress2(benchmark::State& state)
{
    RunOnJpeg(state, false, [](const std::vector<uint8_t>& in, std::vector<uint8_t>& out, size_t) {
        uLongf n = out.size();
        compress2(out.data(), &n, in.data(), in.size(), 9);
        benchmark::DoNotOptimize(out.data());
    });
}

void BM_DecompressStream(benchmark::State& state)
{
    RunOnJpeg(state, true, [](const std::vector<uint8_t>& in, std::vector<uint8_t>&, size_t) {
        TMemoryStream source(in), dest;
        DecompressStream(source, dest);
        benchmark::DoNotOptimize(dest.Memory());
    });
}

void BM_ZlibUncompress(benchmark::State& state)
{
    RunOnJpeg(state, true, [](const std::vector<uint8_t>& in, std::vector<uint8_t>& out, size_t original) {
        uLongf n = original;
        uncompress(out.data(), &n, in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    });
}

BENCHMARK(BM_CompressStream)->DenseRange(0, 3);
BENCHMARK(BM_ZlibCompress2)->DenseRange(0, 3);
BENCHMARK(BM_DecompressStream)->DenseRange(0, 3);
BENCHMARK(BM_ZlibUncompress)->DenseRange(0, 3);

// ---- a vault of 1,000 records ------------------------------------------------

constexpr int kRecords = 1000;
constexpr size_t kBlobBytes = 400 * 1024;

// Made once per run in a scratch directory, removed at exit.
struct BigVault {
    std::filesystem::path dir;
    std::string path;
    int64_t bytes = 0;

    BigVault()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_bench_XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            std::abort();
        dir = tmpl;
        path = (dir / "big.gmb").string();
        std::mt19937_64 gen(42);
        TVaultTable t("CDS");
        t.CreateDataSet();
        for (int i = 0; i < kRecords; ++i) {
            // Random-ish: incompressible like JPEG data, a little size spread.
            std::vector<uint8_t> blob(kBlobBytes + static_cast<size_t>(gen() % 16384));
            for (size_t k = 0; k + 8 <= blob.size(); k += 8) {
                const uint64_t v = gen();
                std::memcpy(blob.data() + k, &v, 8);
            }
            t.Append();
            t.FieldFileName().SetAsString("image " + std::to_string(i));
            t.FieldDimX().SetAsInteger(640);
            t.FieldDimY().SetAsInteger(480);
            t.FieldImage().SetBytes(std::move(blob));
            t.FieldImageType().SetAsString("J");
            t.Post();
        }
        t.SaveToFile(path);
        t.Close();
        bytes = static_cast<int64_t>(std::filesystem::file_size(path));
    }
    ~BigVault()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

BigVault& Vault()
{
    static BigVault v;
    return v;
}

void BM_OpenVault1000(benchmark::State& state)
{
    auto& v = Vault();
    for (auto _ : state) {
        TVaultTable t("CDS");
        t.SetFileName(v.path);
        t.Open();
        benchmark::DoNotOptimize(t.RecordCount());
        t.Close(); // unchanged: no write
    }
    state.SetBytesProcessed(state.iterations() * v.bytes);
}

// The alternative way in: the engine's backup from the file into memory.
void BM_OpenViaBackupApi1000(benchmark::State& state)
{
    auto& v = Vault();
    for (auto _ : state) {
        sqlite3* file = nullptr;
        sqlite3* memory = nullptr;
        sqlite3_open_v2(v.path.c_str(), &file, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_open(":memory:", &memory);
        sqlite3_backup* b = sqlite3_backup_init(memory, "main", file, "main");
        sqlite3_backup_step(b, -1);
        sqlite3_backup_finish(b);
        sqlite3_close(file);
        sqlite3_close(memory);
    }
    state.SetBytesProcessed(state.iterations() * v.bytes);
}

// The integrity check alone, on the same bytes, to see its share of Open.
void BM_QuickCheckVault1000(benchmark::State& state)
{
    auto& v = Vault();
    const auto bytes = ReadWholeFile(v.path);
    for (auto _ : state) {
        state.PauseTiming();
        sqlite3* db = nullptr;
        sqlite3_open(":memory:", &db);
        auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(bytes.size()));
        std::memcpy(copy, bytes.data(), bytes.size());
        sqlite3_deserialize(db, "main", copy, static_cast<sqlite3_int64>(bytes.size()),
                            static_cast<sqlite3_int64>(bytes.size()),
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE);
        state.ResumeTiming();
        sqlite3_exec(db, "PRAGMA quick_check(1)", nullptr, nullptr, nullptr);
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
}

void BM_WalkAndInflateSizes1000(benchmark::State& state)
{
    auto& v = Vault();
    TVaultTable t("CDS");
    t.SetFileName(v.path);
    t.Open();
    for (auto _ : state) {
        int64_t total = 0;
        for (t.First(); !t.Eof(); t.Next())
            total += t.FieldImage().BlobSize();
        benchmark::DoNotOptimize(total);
    }
    t.Close();
}

void BM_WalkReadingEveryBlob1000(benchmark::State& state)
{
    auto& v = Vault();
    TVaultTable t("CDS");
    t.SetFileName(v.path);
    t.Open();
    for (auto _ : state) {
        for (t.First(); !t.Eof(); t.Next()) {
            TMemoryStream s;
            t.FieldImage().SaveToStream(s);
            benchmark::DoNotOptimize(s.Memory());
        }
    }
    state.SetBytesProcessed(state.iterations() * v.bytes);
    t.Close();
}

// Change one record and close: the whole vault goes to a new file, is
// flushed to disk and renamed over the old one.
void BM_WriteBackVault1000(benchmark::State& state)
{
    auto& v = Vault();
    TVaultTable t("CDS");
    t.SetFileName(v.path);
    t.Open();
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        t.First();
        t.Edit();
        t.FieldDimX().SetAsInteger(++n % 1000);
        t.Post();
        state.ResumeTiming();
        t.Save();
    }
    state.SetBytesProcessed(state.iterations() * v.bytes);
    t.Close();
}

BENCHMARK(BM_OpenVault1000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OpenViaBackupApi1000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_QuickCheckVault1000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WalkAndInflateSizes1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkReadingEveryBlob1000)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WriteBackVault1000)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
