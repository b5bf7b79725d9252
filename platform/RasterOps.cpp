#include "RasterOps.h"

#include <algorithm>
#include <cstring>

namespace {

bool KnownRop(TRop rop)
{
    switch (rop) {
    case SRCCOPY: case SRCPAINT: case SRCAND: case SRCINVERT: case NOTSRCCOPY:
    case DSTCOPY: case BLACKNESS: case WHITENESS:
        return true;
    default:
        return false;
    }
}

uint32_t Apply(TRop rop, uint32_t d, uint32_t s, uint32_t allBits)
{
    switch (rop) {
    case SRCCOPY: return s;
    case SRCPAINT: return d | s;
    case SRCAND: return d & s;
    case SRCINVERT: return d ^ s;
    case NOTSRCCOPY: return ~s & allBits;
    case BLACKNESS: return 0;
    case WHITENESS: return allBits;
    default: return d;
    }
}

// Translates source values into destination values once per distinct
// index, so indexed sources cost a table look-up per pixel.
class SourceReader {
public:
    SourceReader(const TBitmap& src, const TBitmap& dst) : src_(src), dst_(dst)
    {
        srcIndexed_ = IsIndexed(src.PixelFormat());
        const bool dstIndexed = IsIndexed(dst.PixelFormat());
        if (srcIndexed_) {
            const int n = 1 << BitsPerPixel(src.PixelFormat());
            const bool sameTable = dstIndexed && SamePalette(src.Palette(), dst.Palette()) &&
                                   BitsPerPixel(src.PixelFormat()) <= BitsPerPixel(dst.PixelFormat());
            table_.resize(size_t(n));
            for (int i = 0; i < n; ++i)
                table_[size_t(i)] = sameTable ? uint32_t(i) : dst.ValueOf(src.ColorOf(uint32_t(i)));
        } else {
            direct_ = !dstIndexed;
        }
    }
    uint32_t operator()(int x, int y) const
    {
        const uint32_t raw = src_.RawPixel(x, y);
        if (srcIndexed_)
            return table_[raw];
        return direct_ ? raw : dst_.ValueOf(raw);
    }
    // Destination value of each source index (indexed sources only).
    const std::vector<uint32_t>& Table() const { return table_; }

private:
    const TBitmap& src_;
    const TBitmap& dst_;
    bool srcIndexed_ = false;
    bool direct_ = false;
    std::vector<uint32_t> table_;
};

// Copies the pixels of one row, Bpp bytes each, from the source columns
// given for destination columns x0 to x1 (those outside the source stay).
template <size_t Bpp>
void CopyColumns(uint8_t* d, const uint8_t* s, const std::vector<int>& columns, int x0, int x1, int srcWidth,
                 bool oneToOne)
{
    if (oneToOne) {
        // Columns run on by one: the part inside the source in one copy.
        const int shift = columns.front() - x0;
        const int from = std::max(x0, -shift), to = std::min(x1, srcWidth - shift);
        if (from < to)
            std::memcpy(d + size_t(from) * Bpp, s + size_t(from + shift) * Bpp, size_t(to - from) * Bpp);
        return;
    }
    for (int x = x0; x < x1; ++x) {
        const int c = columns[size_t(x - x0)];
        if (c >= 0 && c < srcWidth)
            std::memcpy(d + size_t(x) * Bpp, s + size_t(c) * Bpp, Bpp);
    }
}

} // namespace

bool StretchBlt(TBitmap& dst, int dx, int dy, int dw, int dh,
                const TBitmap& src, int sx, int sy, int sw, int sh, TRop rop)
{
    if (!KnownRop(rop))
        return false;
    if (dw == 0 || dh == 0 || sw == 0 || sh == 0)
        return true;
    // Mirroring: a negative extent on one side only flips the picture.
    bool flipX = false, flipY = false;
    if (dw < 0) { dx += dw; dw = -dw; flipX = !flipX; }
    if (sw < 0) { sx += sw; sw = -sw; flipX = !flipX; }
    if (dh < 0) { dy += dh; dh = -dh; flipY = !flipY; }
    if (sh < 0) { sy += sh; sh = -sh; flipY = !flipY; }

    const int x0 = std::max(dx, 0), x1 = static_cast<int>(std::min<int64_t>(int64_t(dx) + dw, dst.Width()));
    const int y0 = std::max(dy, 0), y1 = static_cast<int>(std::min<int64_t>(int64_t(dy) + dh, dst.Height()));
    if (x0 >= x1 || y0 >= y1)
        return true;

    const uint32_t allBits = IsIndexed(dst.PixelFormat()) ? (1u << BitsPerPixel(dst.PixelFormat())) - 1 : 0xFFFFFF;
    const bool needsSource = rop != DSTCOPY && rop != BLACKNESS && rop != WHITENESS;
    SourceReader read(src, dst);

    // Source column for each destination column: the pixel whose span holds
    // the destination pixel's left edge (nearest sampling without averaging).
    std::vector<int> columns(size_t(x1 - x0));
    for (int x = x0; x < x1; ++x) {
        int64_t i = x - dx;
        if (flipX)
            i = dw - 1 - i;
        columns[size_t(x - x0)] = static_cast<int>(sx + i * sw / dw);
    }
    // Unstretched and unmirrored: each row is one run of source pixels.
    const bool oneToOne = sw == dw && !flipX;
    const bool sameFormat = src.PixelFormat() == dst.PixelFormat() &&
                            (src.PixelFormat() == TPixelFormat::pf24bit || src.PixelFormat() == TPixelFormat::pf32bit);
    for (int y = y0; y < y1; ++y) {
        int64_t j = y - dy;
        if (flipY)
            j = dh - 1 - j;
        const int srcY = static_cast<int>(sy + j * sh / dh);
        const bool rowInside = srcY >= 0 && srcY < src.Height();
        if (needsSource && !rowInside)
            continue;
        if (rop == SRCCOPY && sameFormat) {
            // The common thumbnail case: byte copies, no colour conversion.
            const uint8_t* s = src.ScanLine(srcY);
            uint8_t* d = dst.ScanLine(y);
            if (src.PixelFormat() == TPixelFormat::pf24bit)
                CopyColumns<3>(d, s, columns, x0, x1, src.Width(), oneToOne);
            else
                CopyColumns<4>(d, s, columns, x0, x1, src.Width(), oneToOne);
            continue;
        }
        if (rop == SRCCOPY && src.PixelFormat() == TPixelFormat::pf8bit && dst.PixelFormat() == TPixelFormat::pf24bit) {
            // Frames of GIFs onto true colour: one table look-up a pixel.
            const std::vector<uint32_t>& table = read.Table();
            const uint8_t* s = src.ScanLine(srcY);
            uint8_t* d = dst.ScanLine(y);
            for (int x = x0; x < x1; ++x) {
                const int c = columns[size_t(x - x0)];
                if (c < 0 || c >= src.Width())
                    continue;
                const uint32_t v = table[s[c]];
                uint8_t* p = d + size_t(x) * 3;
                p[0] = BlueOf(v);
                p[1] = GreenOf(v);
                p[2] = RedOf(v);
            }
            continue;
        }
        for (int x = x0; x < x1; ++x) {
            const int c = columns[size_t(x - x0)];
            uint32_t s = 0;
            if (needsSource) {
                if (c < 0 || c >= src.Width())
                    continue;
                s = read(c, srcY);
            }
            dst.SetRawPixel(x, y, Apply(rop, dst.RawPixel(x, y), s, allBits));
        }
    }
    return true;
}

bool BitBlt(TBitmap& dst, int dx, int dy, int w, int h, const TBitmap& src, int sx, int sy, TRop rop)
{
    return StretchBlt(dst, dx, dy, w, h, src, sx, sy, w, h, rop);
}

void FillRect(TBitmap& dst, const TRect& r, TColor c)
{
    const uint32_t v = dst.ValueOf(c);
    const int x0 = std::max(r.Left, 0), x1 = std::min(r.Right, dst.Width());
    const int y0 = std::max(r.Top, 0), y1 = std::min(r.Bottom, dst.Height());
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            dst.SetRawPixel(x, y, v);
}

bool MaskBlt(TBitmap& dst, int dx, int dy, int w, int h,
             const TBitmap& src, int sx, int sy, const TBitmap& mask, int mx, int my)
{
    if (w <= 0 || h <= 0)
        return true;
    SourceReader read(src, dst);
    for (int j = 0; j < h; ++j) {
        const int y = dy + j, srcY = sy + j, maskY = my + j;
        if (y < 0 || y >= dst.Height() || srcY < 0 || srcY >= src.Height())
            continue;
        for (int i = 0; i < w; ++i) {
            const int x = dx + i, srcX = sx + i, maskX = mx + i;
            if (x < 0 || x >= dst.Width() || srcX < 0 || srcX >= src.Width())
                continue;
            // Outside the mask GDI reads 0: the source is copied.
            const bool keep = maskX >= 0 && maskX < mask.Width() && maskY >= 0 && maskY < mask.Height() &&
                              (mask.RawPixel(maskX, maskY) & 1) != 0;
            if (!keep)
                dst.SetRawPixel(x, y, read(srcX, srcY));
        }
    }
    return true;
}
