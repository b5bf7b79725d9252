#include "store/BlobCodec.h"

#include "platform/Text.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kLevel = 9;
constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;
constexpr size_t kBufferSize = 65536;
constexpr size_t kInflateRead = 4096;
// Files from this size on are sampled before they are compressed.
constexpr int64_t kSampleBytes = 65536;
// A sample that deflates to at least this share of its size (in 1/1000)
// comes from a file that is already compressed, such as a photo.
constexpr int64_t kCompressedPerMille = 970;

[[noreturn]] void ZLibFailed() { throw EZLibError("Error"); }

class Deflater {
public:
    Deflater()
    {
        if (deflateInit2(&z, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK)
            ZLibFailed();
    }
    ~Deflater() { deflateEnd(&z); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    z_stream z{};
};

class Inflater {
public:
    Inflater()
    {
        if (inflateInit(&z) != Z_OK)
            ZLibFailed();
    }
    ~Inflater() { inflateEnd(&z); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    z_stream z{};
};

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// One per thread and level: making one costs more than compressing a
// small file.
libdeflate_compressor& CompressorAt(int level)
{
    thread_local Compressor fast;
    thread_local Compressor best;
    Compressor& c = level == kLevel ? best : fast;
    if (!c)
        c.reset(libdeflate_alloc_compressor(level));
    if (!c)
        ZLibFailed();
    return *c;
}

// Whether the middle of the source barely deflates: then the file is
// already compressed (a JPEG, a GIF) and zlib's level 9 would spend a long
// time finding almost nothing.
bool LooksCompressed(TStream& source, int64_t size)
{
    if (size < kSampleBytes)
        return false;
    std::vector<uint8_t> sample(static_cast<size_t>(kSampleBytes));
    source.SetPosition((size - kSampleBytes) / 2);
    source.ReadBuffer(sample.data(), kSampleBytes);
    libdeflate_compressor& quick = CompressorAt(1);
    std::vector<uint8_t> out(libdeflate_deflate_compress_bound(&quick, sample.size()));
    const size_t n = libdeflate_deflate_compress(&quick, sample.data(), sample.size(), out.data(), out.size());
    return n == 0 || static_cast<int64_t>(n) * 1000 >= kSampleBytes * kCompressedPerMille;
}

// The same zlib stream format (header 0x78 0xDA, Adler-32 trailer) from a
// deflater about twice as fast as zlib on such data, and as small there.
void CompressWhole(TStream& source, int64_t size, TStream& dest)
{
    std::vector<uint8_t> in(static_cast<size_t>(size));
    source.SetPosition(0);
    source.ReadBuffer(in.data(), size);
    libdeflate_compressor& c = CompressorAt(kLevel);
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(&c, in.size()));
    const size_t n = libdeflate_zlib_compress(&c, in.data(), in.size(), out.data(), out.size());
    if (n == 0)
        ZLibFailed();
    dest.WriteBuffer(out.data(), static_cast<int64_t>(n));
}

// The largest output one deflate byte can give (a run of 258 in a code of
// two bits, with room for a stream's header and trailer).
constexpr size_t kMaxInflateRatio = 1032;

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// A whole zlib stream held in memory, inflated in one call by libdeflate
// (several times zlib's speed). False, with source and dest untouched, for
// anything but a complete, sound stream: the streaming inflater then gives
// its own answer to a cut or damaged one.
bool InflateWhole(TMemoryStream& source, TStream& dest, int64_t maxOut)
{
    const int64_t start = source.Position();
    const size_t size = static_cast<size_t>(std::max<int64_t>(source.Size() - start, 0));
    if (size == 0)
        return false;
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d)
        return false;
    const uint8_t* in = source.Memory() + start;
    // Photos barely deflate: twice the stored size nearly always holds them
    // at the first try; anything else grows fourfold up to deflate's bound.
    // Past the caller's limit zlib's way takes over, to raise its message.
    const size_t limit = std::min(size * kMaxInflateRatio + 64, static_cast<size_t>(std::max<int64_t>(maxOut, 0)));
    std::vector<uint8_t> out;
    size_t capacity = std::min(limit, 2 * size + 65536);
    for (;;) {
        out.resize(capacity);
        size_t used = 0;
        size_t produced = 0;
        const libdeflate_result rc = libdeflate_zlib_decompress_ex(d.get(), in, size, out.data(), out.size(), &used, &produced);
        if (rc == LIBDEFLATE_SUCCESS) {
            dest.WriteBuffer(out.data(), static_cast<int64_t>(produced));
            source.SetPosition(start + static_cast<int64_t>(used));
            return true;
        }
        if (rc != LIBDEFLATE_INSUFFICIENT_SPACE || capacity >= limit)
            return false;
        capacity = capacity > limit / 4 ? limit : capacity * 4;
    }
}

} // namespace

void CompressStream(TStream& source, TStream& dest)
{
    const int64_t size = source.Size();
    if (LooksCompressed(source, size)) {
        CompressWhole(source, size, dest);
        return;
    }
    Deflater deflater;
    z_stream& z = deflater.z;
    uint8_t in[kBufferSize];
    uint8_t out[kBufferSize]; // written to dest each time it fills
    z.next_out = out;
    z.avail_out = sizeof out;
    auto flushOut = [&] {
        dest.WriteBuffer(out, static_cast<int64_t>(sizeof out - z.avail_out));
        z.next_out = out;
        z.avail_out = sizeof out;
    };

    source.SetPosition(0);
    int64_t remaining = size;
    while (remaining > 0) {
        const int64_t n = std::min<int64_t>(remaining, static_cast<int64_t>(sizeof in));
        source.ReadBuffer(in, n);
        remaining -= n;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0) {
            const int rc = deflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                ZLibFailed();
            if (z.avail_out == 0)
                flushOut();
        }
    }
    for (;;) {
        const int rc = deflate(&z, Z_FINISH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            ZLibFailed();
        if (rc == Z_STREAM_END || z.avail_out == 0)
            flushOut();
        if (rc == Z_STREAM_END)
            break;
    }
}

void DecompressStream(TStream& source, TStream& dest, int64_t limit)
{
    if (auto* memory = dynamic_cast<TMemoryStream*>(&source); memory && InflateWhole(*memory, dest, limit))
        return;
    int64_t inflated = 0;
    Inflater inflater;
    z_stream& z = inflater.z;
    // On the stack: a heap buffer of this size per call costs more than
    // inflating a small image (the allocator hands it back to the system).
    uint8_t in[kBufferSize];
    uint8_t out[kInflateRead];
    bool ended = false;     // the zlib stream is complete
    bool exhausted = false; // source has no more bytes
    for (;;) {
        z.next_out = out;
        z.avail_out = sizeof out;
        while (z.avail_out > 0 && !ended) {
            if (z.avail_in == 0) {
                if (exhausted)
                    break;
                const int64_t n = source.Read(in, static_cast<int64_t>(sizeof in));
                if (n <= 0) {
                    exhausted = true; // cut short: keep what came
                    break;
                }
                z.next_in = in;
                z.avail_in = static_cast<uInt>(n);
            }
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END)
                ended = true;
            else if (rc != Z_OK && rc != Z_BUF_ERROR)
                ZLibFailed(); // damaged data, wrong check value, dictionary, memory
        }
        const size_t got = sizeof out - z.avail_out;
        if (got == 0)
            break;
        inflated += static_cast<int64_t>(got);
        if (inflated > limit)
            throw EInflateTooLarge(Format("Image is too large: it inflates to more than %lld bytes",
                                    static_cast<long long>(limit)));
        dest.WriteBuffer(out, static_cast<int64_t>(got));
    }
    if (ended && z.avail_in > 0)
        source.Seek(-static_cast<int64_t>(z.avail_in), SeekOrigin::Current);
}


// ---- sealing -------------------------------------------------------------------

namespace {

const char* const kDamaged = "Image data is damaged or was changed.";

} // namespace

TBlobCodec::TBlobCodec(TVaultKey key, const std::array<uint8_t, kVaultIdBytes>& vaultId)
    : key_(std::make_shared<const TVaultKey>(std::move(key))), vaultId_(vaultId)
{
}

void DecompressWithinLease(std::vector<uint8_t> packed, TStream& dest, TMemoryBudget::TLease& lease)
{
    const int64_t start = dest.Position();
    TMemoryStream source(std::move(packed));
    for (;;) {
        const int64_t limit = std::min(std::max<int64_t>(lease.Bytes(), 1), kMaxInflatedImage);
        source.SetPosition(0);
        try {
            DecompressStream(source, dest, limit);
            return;
        } catch (const EInflateTooLarge&) {
            if (limit >= kMaxInflatedImage)
                throw;
        }
        dest.SetSize(start);
        dest.SetPosition(start);
        lease.Grow(std::min(limit * 4, kMaxInflatedImage));
    }
}

std::vector<uint8_t> TBlobCodec::Associated(const std::string& name, const std::string& kind) const
{
    // The kind goes first with its length, so no name and kind pair reads
    // as another.
    std::vector<uint8_t> ad(vaultId_.begin(), vaultId_.end());
    const size_t kindBytes = std::min<size_t>(kind.size(), 255);
    ad.push_back(static_cast<uint8_t>(kindBytes));
    ad.insert(ad.end(), kind.begin(), kind.begin() + static_cast<std::ptrdiff_t>(kindBytes));
    ad.insert(ad.end(), name.begin(), name.end());
    return ad;
}

std::vector<uint8_t> TBlobCodec::Seal(std::vector<uint8_t> packed, const std::string& name,
                                      const std::string& kind) const
{
    if (!key_)
        return packed;
    return SealBlob(*key_, packed, Associated(name, kind));
}

std::vector<uint8_t> TBlobCodec::Unseal(std::vector<uint8_t> stored, const std::string& name,
                                        const std::string& kind) const
{
    const bool sealed = IsSealedBlob(stored);
    if (!key_) {
        // Sealed in a vault without its key (not unlocked, or a blob from
        // elsewhere): nothing to show.
        if (sealed)
            throw ESealedBlobError(kDamaged);
        return stored;
    }
    if (!sealed)
        throw ESealedBlobError(kDamaged);
    return OpenSealedBlob(*key_, std::move(stored), Associated(name, kind));
}

std::vector<uint8_t> TBlobCodec::Pack(TStream& source, const std::string& name, const std::string& kind) const
{
    TMemoryStream packed;
    CompressStream(source, packed);
    return Seal(packed.TakeBytes(), name, kind);
}

void TBlobCodec::Unpack(std::vector<uint8_t> stored, const std::string& name, const std::string& kind,
                        TStream& dest, int64_t limit) const
{
    TMemoryStream packed(Unseal(std::move(stored), name, kind));
    DecompressStream(packed, dest, limit);
}
