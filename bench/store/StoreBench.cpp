// Compression against raw zlib on real JPEG files, and the vault table on
// vaults of 1,000 and 4,000 photos of about 440 KB each beside plain SQLite.
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "store/VaultTable.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <zlib.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
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

// ---- extracting one record to a file ---------------------------------------
// SaveImageToFile writes through a file beside the target, synced and then
// renamed over it; beside it the way it used to write: truncate the target
// and inflate straight into it. Random bytes, incompressible like photos.

struct ExtractTarget {
    std::filesystem::path dir;
    std::string path;
    ExtractTarget()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_bench_XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            std::abort();
        dir = tmpl;
        path = (dir / "out.jpg").string();
    }
    ~ExtractTarget()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

template <typename Extract>
void RunExtract(benchmark::State& state, Extract extract)
{
    std::mt19937 gen(7);
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
    for (auto& b : bytes)
        b = static_cast<uint8_t>(gen());
    TDMMain dm;
    dm.CreateNewTable();
    dm.StorePackedImage(false, "a", "J", 1, 1, Packed(bytes));
    ExtractTarget target;
    for (auto _ : state)
        extract(dm, target.path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_SaveImageToFile(benchmark::State& state)
{
    RunExtract(state, [](TDMMain& dm, const std::string& path) { dm.SaveImageToFile(path); });
}

void BM_InflateIntoTruncatedFile(benchmark::State& state)
{
    RunExtract(state, [](TDMMain& dm, const std::string& path) {
        TMemoryStream packed;
        TFileStream file(path, FileMode::Create);
        dm.CDSImage.SaveToStream(packed);
        packed.SetPosition(0);
        DecompressStream(packed, file);
    });
}

BENCHMARK(BM_SaveImageToFile)->Arg(32 << 10)->Arg(440 << 10)->Arg(4 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InflateIntoTruncatedFile)->Arg(32 << 10)->Arg(440 << 10)->Arg(4 << 20)->Unit(benchmark::kMicrosecond);

// ---- vaults of 1,000 and 4,000 photos, worked on in place ------------------
// Each figure of the vault table stands beside plain SQLite doing the same
// work on the same file in the same run. peak_MB is the process's peak
// resident memory during the benchmark (reset before it starts).

constexpr size_t kBlobBytes = 440 * 1024;

// Made by plain SQLite once per size in a scratch directory, removed at exit.
struct BigVault {
    std::filesystem::path dir;
    std::string path;
    int64_t bytes = 0;

    explicit BigVault(int records)
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_bench_XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            std::abort();
        dir = tmpl;
        path = (dir / "big.gmb").string();
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA auto_vacuum = FULL;"
                     "PRAGMA application_id = 1196245592; PRAGMA user_version = 1;"
                     "CREATE TABLE Images (FileName TEXT NOT NULL COLLATE BINARY, DimX INTEGER NOT NULL,"
                     " DimY INTEGER NOT NULL, Image BLOB NOT NULL, ImageType TEXT NOT NULL COLLATE BINARY,"
                     " CONSTRAINT CDSIndex2 PRIMARY KEY (FileName, ImageType)); BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO Images VALUES (?, 640, 480, ?, 'J')", -1, &insert, nullptr);
        std::mt19937_64 gen(42);
        std::vector<uint8_t> blob;
        for (int i = 0; i < records; ++i) {
            // Random: incompressible like JPEG data, a little size spread.
            blob.resize(kBlobBytes + static_cast<size_t>(gen() % 16384));
            for (size_t k = 0; k + 8 <= blob.size(); k += 8) {
                const uint64_t v = gen();
                std::memcpy(blob.data() + k, &v, 8);
            }
            const std::string name = "image " + std::to_string(i);
            sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_blob64(insert, 2, blob.data(), blob.size(), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        // On the disk before any figure is taken: else the first sync of a
        // benchmark would pay for writing the whole new file.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ::fsync(fd);
        ::close(fd);
        bytes = static_cast<int64_t>(std::filesystem::file_size(path));
    }
    ~BigVault()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// One vault at a time: the disk holds only the size in use.
BigVault& Vault(int64_t records)
{
    static std::unique_ptr<BigVault> v;
    static int64_t made = 0;
    if (made != records) {
        v.reset();
        v = std::make_unique<BigVault>(static_cast<int>(records));
        made = records;
    }
    return *v;
}

// Peak resident memory since the last reset, in MB (Linux).
void ResetPeakMemory()
{
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}
double PeakMemoryMB()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    double kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kb = std::atof(line + 6);
    std::fclose(f);
    return kb / 1024;
}

struct PeakMemory {
    benchmark::State& state;
    explicit PeakMemory(benchmark::State& s) : state(s) { ResetPeakMemory(); }
    ~PeakMemory() { state.counters["peak_MB"] = PeakMemoryMB(); }
};

// Plain SQLite on the vault, as the table uses it: one writer holding the
// vault, positioned on the first record in key order.
struct PlainVault {
    sqlite3* db = nullptr;
    explicit PlainVault(const std::string& path)
    {
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_stmt* first = nullptr;
        sqlite3_prepare_v2(db, "SELECT rowid, FileName, DimX, DimY, ImageType FROM Images ORDER BY FileName, ImageType LIMIT 1",
                           -1, &first, nullptr);
        sqlite3_step(first);
        benchmark::DoNotOptimize(sqlite3_column_int64(first, 0));
        sqlite3_finalize(first);
    }
    void Close()
    {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        db = nullptr;
    }
    ~PlainVault()
    {
        if (db)
            Close();
    }
};

void BM_VaultOpen(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    for (auto _ : state) {
        TVaultTable t("CDS");
        t.SetFileName(v.path);
        t.Open();
        state.PauseTiming();
        t.Close();
        state.ResumeTiming();
    }
}

void BM_SqliteOpen(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    for (auto _ : state) {
        PlainVault p(v.path);
        state.PauseTiming();
        p.Close();
        state.ResumeTiming();
    }
}

void BM_VaultWalkNames(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    TVaultTable t("CDS");
    t.SetFileName(v.path);
    t.Open();
    for (auto _ : state) {
        size_t total = 0;
        for (t.First(); !t.Eof(); t.Next())
            total += t.FieldFileName().AsString().size();
        benchmark::DoNotOptimize(total);
    }
    t.Close();
}

void BM_SqliteWalkNames(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    PlainVault p(v.path);
    sqlite3_stmt* walk = nullptr;
    sqlite3_prepare_v2(p.db, "SELECT FileName, ImageType, DimX, DimY FROM Images ORDER BY FileName, ImageType", -1, &walk,
                       nullptr);
    for (auto _ : state) {
        size_t total = 0;
        while (sqlite3_step(walk) == SQLITE_ROW)
            total += static_cast<size_t>(sqlite3_column_bytes(walk, 0));
        sqlite3_reset(walk);
        benchmark::DoNotOptimize(total);
    }
    sqlite3_finalize(walk);
}

// Change one record's width and close: the change is committed in place.
void BM_VaultChangeOneAndWriteBack(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        TVaultTable t("CDS");
        t.SetFileName(v.path);
        t.Open();
        state.ResumeTiming();
        t.Locate("FileName;ImageType", {std::string("image 500"), std::string("J")}, false);
        t.Edit();
        t.FieldDimX().SetAsInteger(++n % 1000);
        t.Post();
        t.Close();
    }
}

void BM_SqliteChangeOneAndWriteBack(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PlainVault p(v.path);
        state.ResumeTiming();
        sqlite3_stmt* update = nullptr;
        sqlite3_prepare_v2(p.db, "UPDATE Images SET DimX = ? WHERE FileName = 'image 500' AND ImageType = 'J'", -1,
                           &update, nullptr);
        sqlite3_bind_int(update, 1, ++n % 1000);
        sqlite3_step(update);
        sqlite3_finalize(update);
        sqlite3_exec(p.db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(p.db);
        p.db = nullptr;
    }
}

void BM_VaultCloseUnchanged(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    for (auto _ : state) {
        state.PauseTiming();
        TVaultTable t("CDS");
        t.SetFileName(v.path);
        t.Open();
        for (t.First(); !t.Eof(); t.Next()) {
        }
        state.ResumeTiming();
        t.Close();
    }
}

void BM_SqliteCloseUnchanged(benchmark::State& state)
{
    auto& v = Vault(state.range(0));
    PeakMemory peak(state);
    for (auto _ : state) {
        state.PauseTiming();
        PlainVault p(v.path);
        // The same pages in the cache as the table has after its walk.
        sqlite3_stmt* walk = nullptr;
        sqlite3_prepare_v2(p.db, "SELECT FileName, DimX FROM Images ORDER BY FileName, ImageType", -1, &walk, nullptr);
        while (sqlite3_step(walk) == SQLITE_ROW) {
        }
        sqlite3_finalize(walk);
        state.ResumeTiming();
        p.Close();
    }
}

// Adding 1,000 photos (one command), then deleting 100 (another), on a new
// vault file, closed at the end. Arg 0: each command written when it ends;
// arg 1: the way before, every change held in one transaction until the
// close (one command from open to close); arg 2: no commands, every change
// written on its own.
void BM_VaultAdd1000Delete100(benchmark::State& state)
{
    const int mode = static_cast<int>(state.range(0));
    std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_bench_XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        std::abort();
    const std::filesystem::path dir = tmpl;
    const std::string path = (dir / "photos.gmb").string();
    std::mt19937_64 gen(7);
    std::vector<std::vector<uint8_t>> photos(1000);
    for (auto& blob : photos) {
        blob.resize(kBlobBytes + static_cast<size_t>(gen() % 16384));
        for (size_t k = 0; k + 8 <= blob.size(); k += 8) {
            const uint64_t v = gen();
            std::memcpy(blob.data() + k, &v, 8);
        }
    }
    PeakMemory peak(state);
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::remove(path);
        {
            TVaultTable empty("CDS");
            empty.CreateDataSet();
            empty.SetFileName(path);
            empty.Save();
            empty.Close();
        }
        TVaultTable t("CDS");
        t.SetFileName(path);
        t.Open();
        state.ResumeTiming();
        auto command = [&](const std::function<void()>& body) {
            if (mode == 0)
                RunVaultCommand(t, body);
            else
                body();
        };
        if (mode == 1)
            t.BeginCommand();
        command([&] {
            for (size_t i = 0; i < photos.size(); ++i) {
                t.Append();
                t.FieldFileName().SetAsString("photo " + std::to_string(i));
                t.FieldDimX().SetAsInteger(640);
                t.FieldDimY().SetAsInteger(480);
                t.FieldImage().SetBytes(photos[i]);
                t.FieldImageType().SetAsString("J");
                t.Post();
            }
        });
        command([&] {
            for (int i = 0; i < 1000; i += 10)
                if (t.Locate("FileName;ImageType", {"photo " + std::to_string(i), std::string("J")}, false))
                    t.Delete();
        });
        if (mode == 1)
            t.EndCommand();
        t.Close();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_VaultAdd1000Delete100)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every figure for 1,000 records first, then for 4,000, so that each vault
// is made once.
const bool kVaultBenchmarks = [] {
    const std::pair<const char*, void (*)(benchmark::State&)> list[] = {
        {"BM_VaultOpen", BM_VaultOpen},
        {"BM_SqliteOpen", BM_SqliteOpen},
        {"BM_VaultWalkNames", BM_VaultWalkNames},
        {"BM_SqliteWalkNames", BM_SqliteWalkNames},
        {"BM_VaultChangeOneAndWriteBack", BM_VaultChangeOneAndWriteBack},
        {"BM_SqliteChangeOneAndWriteBack", BM_SqliteChangeOneAndWriteBack},
        {"BM_VaultCloseUnchanged", BM_VaultCloseUnchanged},
        {"BM_SqliteCloseUnchanged", BM_SqliteCloseUnchanged},
    };
    for (int records : {1000, 4000})
        for (const auto& [name, fn] : list)
            benchmark::RegisterBenchmark(name, fn)->Arg(records)->Unit(benchmark::kMillisecond)->Iterations(10);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
