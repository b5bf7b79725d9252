#include "store/UDMMain.h"

#include "platform/Text.h"

#include <QString>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <vector>

TDMMain* DMMain = nullptr;

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

void DecompressWithinLease(const std::vector<uint8_t>& packed, TStream& dest, TMemoryBudget::TLease& lease)
{
    const int64_t start = dest.Position();
    for (;;) {
        const int64_t limit = std::min(std::max<int64_t>(lease.Bytes(), 1), kMaxInflatedImage);
        TMemoryStream source(packed);
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

TDMMain::TDMMain()
    : CDS("CDS"),
      CDSFileName(CDS.FieldFileName()),
      CDSDimX(CDS.FieldDimX()),
      CDSDimY(CDS.FieldDimY()),
      CDSImage(CDS.FieldImage()),
      CDSImageType(CDS.FieldImageType())
{
}

void TDMMain::SetActive(bool value)
{
    if (!value) {
        CDS.Close();
        return;
    }
    if (CDS.Active())
        return;
    CDS.Open();
    CDS.SetLogChanges(false);
}

void TDMMain::CreateNewTable()
{
    CDS.Close();
    CDS.SetFileName("");
    CDS.CreateDataSet();
    CDS.SetLogChanges(true);
}

void TDMMain::LoadImageFromFile(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    TMemoryStream packed;
    CompressStream(file, packed);
    CDSImage.SetBytes(packed.TakeBytes());
}

void TDMMain::SaveImageToFile(const std::string& path)
{
    // Inflated into a file beside the target that replaces it only when
    // complete: a damaged blob or a full disk leaves an existing file whole.
    WriteFileSafely(path, [&](TStream& file) {
        TMemoryStream packed;
        CDSImage.SaveToStream(packed);
        packed.SetPosition(0);
        DecompressStream(packed, file);
    });
}

std::unique_ptr<TMemoryStream> TDMMain::CreateImageStream()
{
    TMemoryStream packed;
    auto result = std::make_unique<TMemoryStream>();
    CDSImage.SaveToStream(packed);
    packed.SetPosition(0);
    DecompressStream(packed, *result, kMaxInflatedImage);
    result->SetPosition(0);
    return result;
}

bool TDMMain::LocateImage(const std::string& name, const std::string& kind)
{
    return CDS.Locate("FileName;ImageType", {name, kind}, true);
}

bool TDMMain::LocateRecord(const std::string& name, const std::string& kind)
{
    return CDS.Locate("FileName;ImageType", {name, kind}, false);
}

void TDMMain::DeleteImage(const std::string& name, const std::string& kind)
{
    if (LocateRecord(name, kind))
        CDS.Delete();
}

void TDMMain::RenameImage(const std::string& name, const std::string& kind, const std::string& newName)
{
    if (!LocateRecord(name, kind))
        return;
    CheckImageNameLength(newName);
    CDS.Edit();
    try {
        CDSFileName.SetAsString(newName);
        CDS.Post();
    } catch (...) {
        // Leave the table in browse state, as every other operation does.
        CDS.Cancel();
        throw;
    }
}

void CheckImageNameLength(const std::string& name)
{
    // Refused rather than cut: a cut name could merge two files into one record.
    if (name.size() > kVaultNameBytes)
        throw Exception(Format("The image name is too long: %zu bytes, and a vault keeps at most %zu (UTF-8).",
                               name.size(), kVaultNameBytes));
}

bool TDMMain::LocateImageToReplace(const std::string& name, const std::string& kind)
{
    CheckImageNameLength(name);
    return LocateImage(name, kind);
}

void TDMMain::StoreImageRecord(bool replace, const std::string& name, const std::string& kind, int width, int height,
                               const std::function<void()>& setImage)
{
    CheckImageNameLength(name);
    if (replace)
        CDS.Edit();
    else
        CDS.Append();
    try {
        CDSFileName.SetAsString(name);
        CDSDimX.SetAsInteger(width);
        CDSDimY.SetAsInteger(height);
        setImage();
        CDSImageType.SetAsString(kind);
        CDS.Post();
    } catch (...) {
        CDS.Cancel(); // nothing half-added
        throw;
    }
}

void TDMMain::StoreImageFile(bool replace, const std::string& name, const std::string& kind, int width, int height,
                             const std::string& path)
{
    StoreImageRecord(replace, name, kind, width, height, [&] { LoadImageFromFile(path); });
}

void TDMMain::StorePackedImage(bool replace, const std::string& name, const std::string& kind, int width, int height,
                               std::vector<uint8_t> packed)
{
    StoreImageRecord(replace, name, kind, width, height, [&] { CDSImage.SetBytes(std::move(packed)); });
}

std::string TDMMain::CheckNewImageName(const std::string& newName, const std::string& kind)
{
    const std::string trimmed = QString::fromStdString(newName).trimmed().toStdString();
    // A separator is refused outright; other odd characters are kept and
    // only replaced in the file names built from the name.
    if (trimmed.empty() || trimmed.find_first_of("/\\") != std::string::npos)
        throw Exception("Invalid image name.");
    CheckImageNameLength(trimmed);
    if (LocateImage(trimmed, kind))
        throw Exception("Image name duplication.");
    return trimmed;
}

void AppendImageRecord(TDMMain& store, const std::string& name, int width, int height, const std::string& kind,
                       const std::vector<uint8_t>& bytes, bool compress)
{
    std::vector<uint8_t> stored = bytes;
    if (compress) {
        TMemoryStream image(bytes);
        TMemoryStream packed;
        CompressStream(image, packed);
        stored = packed.TakeBytes();
    }
    store.StorePackedImage(false, name, kind, width, height, std::move(stored));
}
