#pragma once
// Device-independent bitmaps in the manner of the Windows GDI: 1, 4, 8, 24
// and 32 bits a pixel, palettes for the indexed formats, rows padded to 32
// bits and stored top-down. A newly sized area has every bit set, which is
// white on a true-colour bitmap and the last palette entry on an indexed one.
#include "platform/Graphic.h"

#include <cstdint>
#include <memory>
#include <vector>

class QImage;

// A colour as 0x00RRGGBB.
using TColor = uint32_t;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b)
{
    return (TColor(r) << 16) | (TColor(g) << 8) | TColor(b);
}
constexpr uint8_t RedOf(TColor c) { return uint8_t(c >> 16); }
constexpr uint8_t GreenOf(TColor c) { return uint8_t(c >> 8); }
constexpr uint8_t BlueOf(TColor c) { return uint8_t(c); }
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int left, int top, int right, int bottom) { return {left, top, right, bottom}; }

struct TPaletteEntry {
    uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
    bool operator==(const TPaletteEntry&) const = default;
};

// A logical palette; shared through an immutable handle, so that handing a
// palette to a bitmap is cheap and a "copy of the handle" is just that.
class TPalette {
public:
    TPalette() = default;
    explicit TPalette(std::vector<TPaletteEntry> entries) : entries_(std::move(entries)) {}
    int Count() const { return static_cast<int>(entries_.size()); }
    const TPaletteEntry& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }
    const std::vector<TPaletteEntry>& Entries() const { return entries_; }
    TColor Color(int i) const;
    // Index of the entry closest to c (squared RGB distance, first wins).
    int NearestIndex(TColor c) const;
    bool operator==(const TPalette&) const = default;

private:
    std::vector<TPaletteEntry> entries_;
};
using TPaletteHandle = std::shared_ptr<const TPalette>;
TPaletteHandle MakePalette(std::vector<TPaletteEntry> entries);
bool SamePalette(const TPaletteHandle& a, const TPaletteHandle& b); // same colours

enum class TPixelFormat { pf1bit, pf4bit, pf8bit, pf24bit, pf32bit };
int BitsPerPixel(TPixelFormat format);
bool IsIndexed(TPixelFormat format);

class TBitmap : public TGraphic {
public:
    TBitmap() = default;
    TBitmap(int width, int height, TPixelFormat format = TPixelFormat::pf24bit);
    // Copies take the pixels, format and palette, never the change handler.
    TBitmap(const TBitmap& other) : TGraphic() { Assign(other); }
    TBitmap& operator=(const TBitmap& other) { Assign(other); return *this; }

    int Width() const override { return width_; }
    int Height() const override { return height_; }
    bool Empty() const override { return width_ == 0 || height_ == 0; }

    // Resizing keeps the overlapping part; new pixels have every bit set.
    void SetSize(int width, int height);
    void SetWidth(int width) { SetSize(width, height_); }
    void SetHeight(int height) { SetSize(width_, height); }

    TPixelFormat PixelFormat() const { return format_; }
    // Converts the pixels: indexed to true colour through the palette, true
    // colour to indexed by the nearest palette entry (a default palette for
    // the depth when the bitmap has none).
    void SetPixelFormat(TPixelFormat format);

    // Palette of an indexed bitmap (true-colour bitmaps may carry one too,
    // as GDI's do, without it changing their pixels).
    TPaletteHandle Palette() const override { return palette_; }
    void SetPalette(TPaletteHandle palette);

    // Row y (0 = top), RowBytes() bytes of pixels padded to 32 bits.
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    int RowBytes() const { return stride_; }

    // Raw value: a palette index for indexed formats, 0x00RRGGBB otherwise.
    uint32_t RawPixel(int x, int y) const;
    void SetRawPixel(int x, int y, uint32_t value);
    // Colour of a pixel; indexes outside the palette read as black.
    TColor Pixel(int x, int y) const;
    // Sets the colour (nearest entry on indexed bitmaps).
    void SetPixel(int x, int y, TColor c);
    // The raw value that stands for colour c on this bitmap.
    uint32_t ValueOf(TColor c) const;
    // Colour for a raw value of this bitmap.
    TColor ColorOf(uint32_t value) const;

    void Fill(TColor c);
    // Exchanges the pixels with another bitmap of the same size and format;
    // palettes and change handlers stay where they are and neither is told.
    // Lets a picture made elsewhere be put in place without copying it.
    void SwapPixels(TBitmap& other);
    // Takes everything but the change handler from source in constant
    // time (a decoded picture put in place without copying it); source is
    // left an empty bitmap and is not told. This bitmap's handler is told.
    void TakeFrom(TBitmap& source);
    // Tells the change handler that the pixels were painted (the raster
    // operations do not).
    void Modified() { Changed(); }

    // A bitmap drawn transparently leaves the canvas where its pixels have
    // the transparent colour: the one set, or else that of the bottom-left
    // pixel.
    bool Transparent() const override { return transparent_; }
    void SetTransparent(bool value) { transparent_ = value; }
    TColor TransparentColor() const;
    void SetTransparentColor(TColor c) { transparentColor_ = c; hasTransparentColor_ = true; }
    // 1 bit a pixel, 1 where the pixel has the transparent colour.
    TBitmap MaskBitmap() const;
    void Assign(const TBitmap& source);
    // 1/4/8-bit indexed images keep their depth and palette, others
    // become 24 bits (32 when the image has an alpha channel).
    void Assign(const QImage& image);
    void Clear() { SetSize(0, 0); }

    // An ARGB32 image, fully opaque (or Mono for 1 bit with its palette).
    QImage ToQImage() const;

    // The platform BMP reader: "Bitmap image is not valid" for anything it
    // cannot read, before any large allocation when the header lies.
    void LoadFromStream(TStream& stream) override;
    // Writes an uncompressed BMP of the bitmap's own depth.
    void SaveToStream(TStream& stream) const override;
    void Draw(TBitmap& canvas, const TRect& rect) const override;
    void AssignTo(TBitmap& dest) const override { dest.Assign(*this); }

private:
    void Reallocate(int width, int height, TPixelFormat format, std::vector<uint8_t>& out, int& stride) const;

    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    TPixelFormat format_ = TPixelFormat::pf24bit;
    TPaletteHandle palette_;
    std::vector<uint8_t> bits_;
    bool transparent_ = false;
    bool hasTransparentColor_ = false;
    TColor transparentColor_ = clWhite;
};

// Row length in bytes of a DIB: ((width * bits + 31) and not 31) / 8.
int DibStride(int width, int bits);
// The default palette GDI gives a depth: black/white, the 16 VGA colours,
// or the 216-colour cube followed by 40 greys.
TPaletteHandle DefaultPalette(TPixelFormat format);
// Upper bound for one bitmap's pixel memory; larger sizes are refused.
constexpr int64_t MaxBitmapBytes = int64_t(1) << 30;
