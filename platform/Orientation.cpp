#include "platform/Orientation.h"

#include <cstring>

namespace {

// Where the upright pixel (x, y) comes from in a w x h source.
struct SourceOf {
    int orientation, w, h;
    void operator()(int x, int y, int& sx, int& sy) const
    {
        switch (orientation) {
        case 2: sx = w - 1 - x; sy = y; break;
        case 3: sx = w - 1 - x; sy = h - 1 - y; break;
        case 4: sx = x; sy = h - 1 - y; break;
        case 5: sx = y; sy = x; break;
        case 6: sx = y; sy = h - 1 - x; break;
        case 7: sx = w - 1 - y; sy = h - 1 - x; break;
        case 8: sx = w - 1 - y; sy = x; break;
        default: sx = x; sy = y; break;
        }
    }
};

int BytesPerPixel(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pf8bit: return 1;
    case TPixelFormat::pf24bit: return 3;
    case TPixelFormat::pf32bit: return 4;
    default: return 0; // several pixels to the byte
    }
}

} // namespace

void OrientBitmap(TBitmap& bitmap, int orientation)
{
    if (orientation < 2 || orientation > 8 || bitmap.Empty())
        return;
    const int w = bitmap.Width(), h = bitmap.Height();
    const bool swaps = orientation >= 5;
    TBitmap turned;
    turned.SetPixelFormat(bitmap.PixelFormat());
    turned.SetPalette(bitmap.Palette());
    turned.SetSize(swaps ? h : w, swaps ? w : h);
    const SourceOf source{orientation, w, h};
    const int bpp = BytesPerPixel(bitmap.PixelFormat());
    const TBitmap& from = bitmap;
    for (int y = 0; y < turned.Height(); ++y) {
        uint8_t* row = turned.ScanLine(y);
        for (int x = 0; x < turned.Width(); ++x) {
            int sx = 0, sy = 0;
            source(x, y, sx, sy);
            if (bpp > 0)
                std::memcpy(row + size_t(x) * size_t(bpp), from.ScanLine(sy) + size_t(sx) * size_t(bpp), size_t(bpp));
            else
                turned.SetRawPixel(x, y, from.RawPixel(sx, sy));
        }
    }
    turned.SetTransparent(bitmap.Transparent());
    bitmap.TakeFrom(turned);
}
