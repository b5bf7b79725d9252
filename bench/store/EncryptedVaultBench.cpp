// An encrypted vault of 1,000 photos beside the same vault plain, in the
// same run: opening it and reading every record as a list does (fields,
// stored size, every image inflated), the password's key derivation on its
// own, and the encryption pass of setting the password.
#include "store/UDMMain.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdlib.h>

namespace {

constexpr int kPhotos = 1000;
constexpr size_t kPhotoBytes = 430 * 1024;
const char* const kPassword = "Sunset-2024!";

// Made once: the plain vault, and a copy of it given the password.
struct Vaults {
    std::filesystem::path dir;
    std::string plain;
    std::string encrypted;

    Vaults()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "gmb_bench_XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            std::abort();
        dir = tmpl;
        plain = (dir / "plain.gmb").string();
        encrypted = (dir / "encrypted.gmb").string();
        TDMMain store;
        store.CreateNewTable();
        std::mt19937_64 gen(11);
        for (int i = 0; i < kPhotos; ++i) {
            // Random bytes: as incompressible as JPEG data.
            std::vector<uint8_t> photo(kPhotoBytes + static_cast<size_t>(gen() % 16384));
            for (size_t k = 0; k + 8 <= photo.size(); k += 8) {
                const uint64_t v = gen();
                std::memcpy(photo.data() + k, &v, 8);
            }
            AppendImageRecord(store, "photo " + std::to_string(i), 1920, 1080, "J", photo);
        }
        store.CDS.SetFileName(plain);
        store.CDS.Save();
        store.SetActive(false);
        std::filesystem::copy_file(plain, encrypted);
        store.CDS.SetFileName(encrypted);
        store.SetActive(true);
        store.SetPassword("", kPassword);
        store.SetActive(false);
    }
    ~Vaults()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Vaults& TheVaults()
{
    static Vaults v;
    return v;
}

// Opens (proving the password of a protected vault) and reads every
// record's fields and stored size, and with images every image inflated.
void OpenAndList(TDMMain& store, const std::string& path, bool images)
{
    store.CDS.SetFileName(path);
    store.CDS.SetOpenForReading(true);
    store.SetActive(true);
    if (store.LocatePassword())
        store.CheckPassword(kPassword);
    int64_t bytes = 0;
    for (store.CDS.First(); !store.CDS.Eof(); store.CDS.Next()) {
        if (store.CDSImageType.AsString() != "J")
            continue;
        bytes += store.CDSImage.BlobSize() + store.CDSDimX.AsInteger();
        if (images)
            bytes += store.CreateImageStream()->Size();
    }
    benchmark::DoNotOptimize(bytes);
    store.SetActive(false);
}

// Args: 0 the plain vault, 1 the encrypted one; then 0 the fields only (as
// glimmerbox-vault list), 1 every image read too (the bytes a fill decodes).
void BM_OpenAndListPhotos(benchmark::State& state)
{
    Vaults& v = TheVaults();
    const std::string& path = state.range(0) ? v.encrypted : v.plain;
    const bool images = state.range(1) != 0;
    TDMMain store;
    OpenAndList(store, path, true); // the file in the page cache for both
    for (auto _ : state)
        OpenAndList(store, path, images);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_OpenAndListPhotos)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(5);

// What of the above the password costs once per open: the key derivation.
void BM_UnlockVault(benchmark::State& state)
{
    Vaults& v = TheVaults();
    TDMMain store;
    store.CDS.SetFileName(v.encrypted);
    store.CDS.SetOpenForReading(true);
    store.SetActive(true);
    for (auto _ : state)
        store.CheckPassword(kPassword);
    store.SetActive(false);
}
BENCHMARK(BM_UnlockVault)->Unit(benchmark::kMillisecond)->Iterations(5);

// Setting the password on the plain vault, every blob sealed in one atomic
// write (arg 1), and removing it from the encrypted one (arg 2); arg 0 times
// only the close, which the other two include.
void BM_SetPasswordOnPhotos(benchmark::State& state)
{
    Vaults& v = TheVaults();
    const std::string work = (v.dir / "work.gmb").string();
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::copy_file(state.range(0) == 2 ? v.encrypted : v.plain, work,
                                   std::filesystem::copy_options::overwrite_existing);
        TDMMain store;
        store.CDS.SetFileName(work);
        store.SetActive(true);
        if (state.range(0) == 2)
            store.CheckPassword(kPassword);
        state.ResumeTiming();
        if (state.range(0) == 1)
            store.SetPassword("", kPassword);
        else if (state.range(0) == 2)
            store.SetPassword(kPassword, "");
        store.SetActive(false);
    }
    std::filesystem::remove(work);
}
BENCHMARK(BM_SetPasswordOnPhotos)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
