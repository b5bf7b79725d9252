// The cost of a protected vault: deriving the password key at our limits
// beside the library's interactive ones, and sealing and opening a photo's
// blob beside copying it.
#include "store/VaultCrypto.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

void BM_PasswordKeyDefault(benchmark::State& state)
{
    const TVaultKey key = TVaultKey::Generate();
    const TKeyEnvelope e = WrapVaultKey(key, "Sunset-2024!", NewVaultId());
    for (auto _ : state)
        benchmark::DoNotOptimize(UnwrapVaultKey(e, "Sunset-2024!"));
}

// libsodium's "interactive" limits: 2 passes over 64 MiB.
void BM_PasswordKeyInteractive(benchmark::State& state)
{
    const TVaultKey key = TVaultKey::Generate();
    const TKeyEnvelope e = WrapVaultKey(key, "Sunset-2024!", NewVaultId(), {2, 64 * 1024});
    for (auto _ : state)
        benchmark::DoNotOptimize(UnwrapVaultKey(e, "Sunset-2024!"));
}

std::vector<uint8_t> PhotoSizedBlob()
{
    std::vector<uint8_t> blob(440 << 10);
    std::mt19937 rng(7);
    for (auto& b : blob)
        b = static_cast<uint8_t>(rng());
    return blob;
}

void BM_SealPhotoBlob(benchmark::State& state)
{
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> blob = PhotoSizedBlob();
    const std::vector<uint8_t> record{'i', 'd'};
    for (auto _ : state)
        benchmark::DoNotOptimize(SealBlob(key, blob, record));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * blob.size()));
}

void BM_OpenSealedPhotoBlob(benchmark::State& state)
{
    const TVaultKey key = TVaultKey::Generate();
    const std::vector<uint8_t> record{'i', 'd'};
    const std::vector<uint8_t> sealed = SealBlob(key, PhotoSizedBlob(), record);
    for (auto _ : state)
        benchmark::DoNotOptimize(OpenSealedBlob(key, sealed, record));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sealed.size()));
}

// The peer: what reading the blob costs anyway (one copy).
void BM_CopyPhotoBlob(benchmark::State& state)
{
    const std::vector<uint8_t> blob = PhotoSizedBlob();
    for (auto _ : state) {
        std::vector<uint8_t> copy(blob.size());
        std::memcpy(copy.data(), blob.data(), blob.size());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * blob.size()));
}

} // namespace

BENCHMARK(BM_PasswordKeyDefault)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PasswordKeyInteractive)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_SealPhotoBlob)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSealedPhotoBlob)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyPhotoBlob)->Unit(benchmark::kMicrosecond);
