// Reducing a bitmap of any depth to 8 bits a pixel: the palette and lookup
// of a reduction mode, then one of the ditherers over every row.
#include "mygifimage.h"
#include "platform/SystemPalettes.h"

#include <algorithm>

namespace {

constexpr int64_t kDeviceIndependentPixels = 500000;

TPaletteHandle GreyPalette(std::initializer_list<uint8_t> levels)
{
    std::vector<TPaletteEntry> entries;
    for (uint8_t v : levels)
        entries.push_back({v, v, v, PC_NOCOLLAPSE});
    return MakePalette(std::move(entries));
}

TPaletteHandle GreyRamp()
{
    std::vector<TPaletteEntry> entries;
    for (int i = 0; i < 256; ++i)
        entries.push_back({uint8_t(i), uint8_t(i), uint8_t(i), PC_NOCOLLAPSE});
    return MakePalette(std::move(entries));
}

// The palette and lookup of modes 1 to 9; no lookup for any other mode.
std::unique_ptr<TColorLookup> MakeLookup(int reduction, TDIBReader& reader, TPaletteHandle given,
                                         int reductionBits, TPaletteHandle& palette)
{
    switch (reduction) {
    case 1: palette = SystemDefaultPalette(); break;
    case 2: palette = HalftonePalette(); break;
    case 3: palette = GreyPalette({0, 128, 192, 255}); break;
    case 4:
        palette = GreyPalette({0, 255});
        return std::make_unique<TMonochromeLookup>();
    case 5:
        palette = GreyRamp();
        return std::make_unique<TGrayScaleLookup>();
    case 6:
        palette = CubePalette();
        return std::make_unique<TNetscapeColorLookup>();
    case 7: {
        // More than 8 bits would not fit an 8-bit bitmap.
        const int bits = std::clamp(reductionBits, 1, 8);
        palette = OptimizedPalette(reader, 1 << bits, 8, false);
        break;
    }
    case 8: palette = OptimizedPalette(reader, 256, 8, true); break;
    case 9:
        if (!given)
            return nullptr;
        palette = MakePalette(given->Entries());
        break;
    default: return nullptr;
    }
    return std::make_unique<TSlowColorLookup>(palette);
}

} // namespace

std::unique_ptr<TBitmap> ReduceBitmapColors(TBitmap& bitmap, int reduction, int ditherMode,
                                            TPaletteHandle palette, int reductionBits)
{
    auto result = std::make_unique<TBitmap>();
    const int width = bitmap.Width(), height = bitmap.Height();
    if (int64_t(width) * height > kDeviceIndependentPixels)
        result->SetPixelFormat(TPixelFormat::pf1bit);
    if (reduction == 0) {
        result->Assign(bitmap);
        result->SetPixelFormat(TPixelFormat::pf24bit);
        return result;
    }
    if (bitmap.Empty())
        return result;
    TDIBReader reader(bitmap, TPixelFormat::pf24bit);
    TPaletteHandle used;
    const std::unique_ptr<TColorLookup> lookup = MakeLookup(reduction, reader, std::move(palette), reductionBits, used);
    if (!lookup || lookup->Colors() == 0)
        return result;
    const std::unique_ptr<TDitherEngine> ditherer = MakeDitherer(ditherMode, width, *lookup);
    if (!ditherer)
        return result;
    {
        TDIBWriter writer(*result, used, height, width, TPixelFormat::pf8bit);
        uint8_t chosen[3];
        for (int y = 0; y < height; ++y) {
            const uint8_t* src = reader.RowPointer(y);
            uint8_t* dst = writer.RowPointer(y);
            for (int i = 0; i < width; ++i) {
                const int x = ditherer->Column();
                const uint8_t* p = src + size_t(x) * 3;
                dst[x] = ditherer->DitherPixel(p[2], p[1], p[0], chosen);
            }
            ditherer->AdvanceRow();
        }
    }
    // The block carries 256 table entries; the bitmap keeps the palette as
    // made, so a frame taken from it gets no unused black entries.
    result->SetPalette(used);
    return result;
}
