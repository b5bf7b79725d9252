// The BMP reader: every header the format has had (OS/2 1.x and 2.x, the
// Windows 3 header and its V2 to V5 successors), 1, 2, 4, 8, 16, 24 and 32
// bits a pixel, RLE4 and RLE8, bit fields of any width, top-down rows. Every
// size a header claims is checked against the bytes there are before any
// memory is taken.
#include "BmpReader.h"

#include "Exception.h"
#include "Stream.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

const char* const kNotValid = "Bitmap image is not valid";

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12; // OS/2 1.x: 16-bit sizes, 3-byte palette entries
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kMaxHeaderSize = 124; // BITMAPV5HEADER

enum Compression : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6 };

// An RLE picture may describe far more pixels than it has bytes (runs and
// skips), but not without limit.
constexpr int64_t kRlePixelsPerByte = 2048;
constexpr int64_t kRleFreePixels = int64_t(1) << 20;

[[noreturn]] void Fail() { throw Exception(kNotValid); }

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }

struct Header {
    uint32_t size = 0;
    int64_t width = 0;
    int64_t height = 0; // positive; topDown says which way the rows run
    bool topDown = false;
    uint16_t planes = 1;
    uint16_t bits = 0;
    uint32_t compression = BI_RGB;
    uint32_t colorsUsed = 0;
    uint32_t masks[4] = {0, 0, 0, 0}; // red, green, blue, alpha
    bool hasMasks = false;
};

Header ReadHeader(const uint8_t* d, size_t size)
{
    Header h;
    h.size = Le32(d + kFileHeaderSize);
    if (h.size < kCoreHeaderSize || h.size > kMaxHeaderSize || kFileHeaderSize + h.size > size)
        Fail();
    const uint8_t* p = d + kFileHeaderSize;
    if (h.size == kCoreHeaderSize) {
        h.width = Le16(p + 4);
        h.height = Le16(p + 6);
        h.planes = Le16(p + 8);
        h.bits = Le16(p + 10);
        return h;
    }
    if (h.size < 16)
        Fail();
    // Longer headers share the 40-byte layout; OS/2 2.x may stop early, the
    // missing fields then read as zero.
    uint8_t full[kMaxHeaderSize] = {};
    std::memcpy(full, p, h.size);
    h.width = static_cast<int32_t>(Le32(full + 4));
    const int32_t height = static_cast<int32_t>(Le32(full + 8));
    h.topDown = height < 0;
    h.height = height < 0 ? -int64_t(height) : height;
    h.planes = Le16(full + 12);
    h.bits = Le16(full + 14);
    h.compression = Le32(full + 16);
    h.colorsUsed = Le32(full + 32);
    if (h.size >= 52) {
        for (int i = 0; i < 3; ++i)
            h.masks[i] = Le32(full + 40 + 4 * i);
        h.hasMasks = true;
    }
    if (h.size >= 56)
        h.masks[3] = Le32(full + 52);
    return h;
}

// One channel of a bit-field pixel, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint64_t max = 0;
    explicit Channel(uint32_t m) : mask(m)
    {
        if (m != 0) {
            shift = std::countr_zero(m);
            max = (uint64_t(m) >> shift);
        }
    }
    uint8_t operator()(uint32_t pixel) const
    {
        if (max == 0)
            return 0;
        return uint8_t(((uint64_t(pixel & mask) >> shift) * 255 + max / 2) / max);
    }
};

// Reads RLE4 or RLE8 data into an indexed bitmap, bottom-up. Pixels the data
// never reaches keep index 0; damaged data ends the picture where it breaks.
void DecodeRle(const uint8_t* p, const uint8_t* end, bool four, TBitmap& b)
{
    const int w = b.Width(), h = b.Height();
    int x = 0, y = 0; // y counts from the bottom row
    auto put = [&](uint32_t index) {
        if (x < w && y < h)
            b.SetRawPixel(x, h - 1 - y, index);
        ++x;
    };
    while (p + 2 <= end && y < h) {
        const uint8_t count = p[0], value = p[1];
        p += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i)
                put(four ? ((i & 1) ? (value & 0x0F) : (value >> 4)) : value);
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++y;
        } else if (value == 1) { // end of bitmap
            return;
        } else if (value == 2) { // delta
            if (p + 2 > end)
                return;
            x += p[0];
            y += p[1];
            p += 2;
        } else { // absolute run, padded to a 16-bit boundary
            const size_t bytes = four ? (size_t(value) + 1) / 2 : value;
            if (size_t(end - p) < bytes)
                return;
            for (int i = 0; i < value; ++i)
                put(four ? ((i & 1) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4)) : p[i]);
            p += bytes + (bytes & 1);
        }
    }
}

// Everything the header, the bit fields and the colour table say, checked
// against the file's size: what both readers need before the pixels.
struct Layout {
    Header h;
    bool rle = false;
    int outBits = 0;
    TPixelFormat format = TPixelFormat::pf24bit;
    std::vector<TPaletteEntry> palette;
    int64_t stride = 0;
    size_t offset = 0;   // of the pixels, from the start of the file
    size_t available = 0; // bytes from there to the end of the file
};

// d holds the first prefix bytes of a file of size bytes; the prefix
// reaches at least to the end of the colour table when the file does.
Layout ParseBmp(const uint8_t* d, size_t prefix, size_t size)
{
    if (prefix < kFileHeaderSize + kCoreHeaderSize || d[0] != 'B' || d[1] != 'M')
        Fail();
    Layout l;
    Header& h = l.h;
    h = ReadHeader(d, prefix);
    if (h.planes != 1 || h.width <= 0 || h.height <= 0)
        Fail();

    l.rle = h.compression == BI_RLE8 || h.compression == BI_RLE4;
    switch (h.compression) {
    case BI_RGB:
        if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8 && h.bits != 16 && h.bits != 24 && h.bits != 32)
            Fail();
        break;
    case BI_RLE8:
        if (h.bits != 8)
            Fail();
        break;
    case BI_RLE4:
        if (h.bits != 4)
            Fail();
        break;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (h.bits != 16 && h.bits != 32)
            Fail();
        break;
    default: // JPEG or PNG inside, OS/2 Huffman and RLE24: not for the screen
        Fail();
    }
    // Compressed pictures run bottom-up only.
    if (l.rle && h.topDown)
        Fail();

    l.stride = ((h.width * h.bits + 31) / 32) * 4;
    l.outBits = h.bits <= 8 ? (h.bits == 2 ? 4 : h.bits) : (h.bits == 32 ? 32 : 24);
    if (((h.width * l.outBits + 31) / 32) * 4 * h.height > MaxBitmapBytes || h.width > 1 << 20 || h.height > 1 << 20)
        Fail();

    // Masks stored after a 40-byte header.
    size_t at = kFileHeaderSize + h.size;
    if ((h.compression == BI_BITFIELDS || h.compression == BI_ALPHABITFIELDS) && !h.hasMasks) {
        const int count = h.compression == BI_ALPHABITFIELDS ? 4 : 3;
        if (at + 4 * size_t(count) > prefix)
            Fail();
        for (int i = 0; i < count; ++i)
            h.masks[i] = Le32(d + at + 4 * size_t(i));
        at += 4 * size_t(count);
        h.hasMasks = true;
    }

    // The colour table of an indexed picture.
    if (h.bits <= 8) {
        const uint32_t natural = 1u << h.bits;
        uint32_t count = h.colorsUsed == 0 ? natural : h.colorsUsed;
        const size_t entryBytes = h.size == kCoreHeaderSize ? 3 : 4;
        if (count > 1u << 16 || at + size_t(count) * entryBytes > size)
            Fail();
        count = std::min(count, natural); // an oversized table: the rest is unused
        if (at + size_t(count) * entryBytes > prefix)
            Fail();
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = d + at + i * entryBytes;
            l.palette.push_back({e[2], e[1], e[0], 0});
        }
    }

    // Where the pixels start: the file header says; a zero there means
    // right after the colour table.
    l.offset = Le32(d + 10);
    if (l.offset == 0)
        l.offset = at + l.palette.size() * (h.size == kCoreHeaderSize ? 3 : 4);
    if (l.offset >= size)
        Fail();
    l.available = size - l.offset;

    const int64_t pixels = h.width * h.height;
    if (l.rle) {
        if (pixels > kRleFreePixels && pixels / kRlePixelsPerByte > int64_t(l.available))
            Fail();
    } else if (l.stride * h.height > int64_t(l.available)) {
        Fail();
    }

    l.format = l.outBits == 1 ? TPixelFormat::pf1bit
             : l.outBits == 4 ? TPixelFormat::pf4bit
             : l.outBits == 8 ? TPixelFormat::pf8bit
             : l.outBits == 24 ? TPixelFormat::pf24bit : TPixelFormat::pf32bit;
    return l;
}

// A bitmap of the picture's format and colours, w x h.
TBitmap MakeBitmap(const Layout& l, int w, int h)
{
    TBitmap out(0, 0, l.format);
    out.SetPalette(l.palette.empty() ? TPaletteHandle() : MakePalette(l.palette));
    out.SetSize(w, h);
    return out;
}

// Converts one stored row of an uncompressed picture into row `row` of out,
// which is as wide as the picture.
class RowConverter {
public:
    explicit RowConverter(const Layout& l)
        : l_(l),
          red_(l.h.bits == 16 && !l.h.hasMasks ? 0x7C00 : l.h.hasMasks ? l.h.masks[0] : 0xFF0000),
          green_(l.h.bits == 16 && !l.h.hasMasks ? 0x03E0 : l.h.hasMasks ? l.h.masks[1] : 0x00FF00),
          blue_(l.h.bits == 16 && !l.h.hasMasks ? 0x001F : l.h.hasMasks ? l.h.masks[2] : 0x0000FF),
          // Alpha only where bit fields name it; in plain 32-bit pictures
          // the fourth byte is padding.
          alpha_(l.h.hasMasks ? l.h.masks[3] : 0)
    {
    }

    // The stored row that holds picture row `row` (0 = top), counted from
    // the first stored row.
    size_t StoredRow(int row) const { return size_t(l_.h.topDown ? row : int(l_.h.height) - 1 - row); }

    void operator()(const uint8_t* src, TBitmap& out, int row) const
    {
        const int w = int(l_.h.width);
        uint8_t* dst = out.ScanLine(row);
        switch (l_.h.bits) {
        case 1:
        case 4:
        case 8:
            std::memcpy(dst, src, size_t(out.RowBytes()));
            break;
        case 2:
            for (int x = 0; x < w; ++x)
                out.SetRawPixel(x, row, (src[x / 4] >> (6 - 2 * (x % 4))) & 3);
            break;
        case 24:
            std::memcpy(dst, src, size_t(w) * 3);
            break;
        case 16:
        case 32:
            for (int x = 0; x < w; ++x) {
                const uint32_t px = l_.h.bits == 16 ? Le16(src + 2 * size_t(x)) : Le32(src + 4 * size_t(x));
                uint8_t* o = dst + size_t(x) * size_t(l_.outBits / 8);
                o[0] = blue_(px);
                o[1] = green_(px);
                o[2] = red_(px);
                if (l_.outBits == 32)
                    o[3] = alpha_.mask ? alpha_(px) : 0xFF;
            }
            break;
        }
    }

private:
    const Layout& l_;
    const Channel red_, green_, blue_, alpha_;
};

// Enough for the longest header, four masks and a 256-entry colour table.
constexpr size_t kPrefixBytes = kFileHeaderSize + kMaxHeaderSize + 16 + 256 * 4;

} // namespace

void ReadBmp(const std::vector<uint8_t>& data, TBitmap& bitmap)
{
    const Layout l = ParseBmp(data.data(), data.size(), data.size());
    const int w = int(l.h.width), ht = int(l.h.height);
    TBitmap out = MakeBitmap(l, w, ht);
    const uint8_t* bits = data.data() + l.offset;

    if (l.rle) {
        for (int y = 0; y < ht; ++y)
            std::memset(out.ScanLine(y), 0, size_t(out.RowBytes()));
        DecodeRle(bits, bits + l.available, l.h.compression == BI_RLE4, out);
        bitmap.Assign(out);
        return;
    }
    const RowConverter convert(l);
    for (int row = 0; row < ht; ++row)
        convert(bits + convert.StoredRow(row) * size_t(l.stride), out, row);
    bitmap.Assign(out);
}

struct TBmpSampler::TState {
    Layout layout;
    int64_t start = 0; // of the file in the stream
};

TBmpSampler::TBmpSampler(TStream& stream) : stream_(stream), state_(std::make_unique<TState>())
{
    state_->start = stream.Position();
    const int64_t size = stream.Size() - state_->start;
    // The same bounds as a whole read of the stream.
    if (size <= 0 || size > MaxBitmapBytes)
        Fail();
    std::vector<uint8_t> prefix(size_t(std::min<int64_t>(size, int64_t(kPrefixBytes))));
    stream.ReadBuffer(prefix.data(), int64_t(prefix.size()));
    state_->layout = ParseBmp(prefix.data(), prefix.size(), size_t(size));
    stream.SetPosition(state_->start);
}

TBmpSampler::~TBmpSampler() = default;

int TBmpSampler::Width() const { return int(state_->layout.h.width); }
int TBmpSampler::Height() const { return int(state_->layout.h.height); }
bool TBmpSampler::CanSample() const { return !state_->layout.rle; }

TBitmap TBmpSampler::Sample(int width, int height)
{
    const Layout& l = state_->layout;
    if (l.rle)
        throw Exception("A run-length picture cannot be sampled by rows");
    TBitmap out = MakeBitmap(l, std::max(width, 0), std::max(height, 0));
    if (width <= 0 || height <= 0)
        return out;
    const int w = int(l.h.width), h = int(l.h.height);
    const RowConverter convert(l);
    // One row of the picture at a time, each read once however often it repeats.
    TBitmap row = MakeBitmap(l, w, 1);
    std::vector<uint8_t> stored(static_cast<size_t>(l.stride));
    std::vector<int> columns(static_cast<size_t>(width));
    for (int i = 0; i < width; ++i)
        columns[size_t(i)] = int(int64_t(i) * w / width);
    int have = -1;
    for (int j = 0; j < height; ++j) {
        const int y = int(int64_t(j) * h / height);
        if (y != have) {
            stream_.SetPosition(state_->start + int64_t(l.offset) + int64_t(convert.StoredRow(y)) * l.stride);
            stream_.ReadBuffer(stored.data(), l.stride);
            convert(stored.data(), row, 0);
            have = y;
        }
        for (int i = 0; i < width; ++i)
            out.SetRawPixel(i, j, row.RawPixel(columns[size_t(i)], 0));
    }
    return out;
}
