#pragma once
// Reading and writing the bytes of a vault file. Reading checks the SQLite
// header (magic, page size, our application id, format version, length)
// before the whole file is loaded, so that a foreign or damaged file is
// refused without being read whole. Writing is atomic: new file beside the
// target, flushed, renamed over it.
#include <cstdint>
#include <functional>
#include <string>

// Stages of a vault file write, reported to a probe (a test seam: a probe
// that throws makes the write fail at that stage).
enum class TWriteStage { TempCreated, ChunkWritten, Synced, BeforeRename };
using TWriteProbe = std::function<void(TWriteStage stage, int64_t bytesWritten)>;

namespace vaultfile {

inline constexpr uint32_t kApplicationId = 0x474D4258; // "GMBX"
inline constexpr uint32_t kFormatVersion = 1;
// Why a database that is not ours is refused.
inline constexpr const char* kForeignDatabaseReason =
    "it is an SQLite database of another application, not a Glimmerbox vault";

// Bytes in memory from sqlite3_malloc64, so that the engine can take them
// over (deserialize with free-on-close). Frees them unless released.
class TEngineBuffer {
public:
    TEngineBuffer() = default;
    explicit TEngineBuffer(int64_t size);
    // Takes over bytes the engine allocated.
    static TEngineBuffer Adopt(unsigned char* data, int64_t size) noexcept;
    ~TEngineBuffer();
    TEngineBuffer(const TEngineBuffer&) = delete;
    TEngineBuffer& operator=(const TEngineBuffer&) = delete;
    TEngineBuffer(TEngineBuffer&& other) noexcept;

    unsigned char* Data() const { return data_; }
    int64_t Size() const { return size_; }
    unsigned char* Release() noexcept;

private:
    unsigned char* data_ = nullptr;
    int64_t size_ = 0;
};

// Reads the vault file at path whole. A missing file (or an empty path)
// raises componentName + ": Missing data provider or data packet"; an
// unreadable file the platform's "Cannot open file" error; a file that is
// not a vault a message naming the file and the reason.
TEngineBuffer ReadVaultFile(const std::string& path, const std::string& componentName);

// Message head for refusals of the file at path: Cannot open vault "<path>": 
std::string RefusalMessage(const std::string& path, const std::string& reason);

// Replaces the file at target by size bytes at data, atomically. A symbolic
// link is followed (the file it names is replaced). Raises on any failure;
// the old file is then as it was and no temporary file is left.
void WriteFileAtomically(const std::string& target, const unsigned char* data, int64_t size,
                         const TWriteProbe& probe);

} // namespace vaultfile
