#pragma once
// The raster operations of the GDI on our bitmaps, with GDI's meaning.
// Values are combined bit by bit: palette indices on an indexed destination
// (a source of another palette is first mapped to the destination's nearest
// entry), 0x00RRGGBB colours on a true-colour one. A 1-bit source is read
// through its own palette, black for 0 and white for 1 by default, which is
// what GDI does with the text colour black and the background colour white.
#include "platform/Bitmap.h"

#include <cstdint>

using TRop = uint32_t;
constexpr TRop SRCCOPY = 0x00CC0020;   // D = S
constexpr TRop SRCPAINT = 0x00EE0086;  // D = D or S
constexpr TRop SRCAND = 0x008800C6;    // D = D and S
constexpr TRop SRCINVERT = 0x00660046; // D = D xor S
constexpr TRop NOTSRCCOPY = 0x00330008; // D = not S
constexpr TRop DSTCOPY = 0x00AA0029;    // D = D (MaskBlt's "keep destination")
constexpr TRop BLACKNESS = 0x00000042;
constexpr TRop WHITENESS = 0x00FF0062;

// Only COLORONCOLOR (3) exists here: pixels are dropped or repeated by
// nearest sampling, never averaged.
constexpr int COLORONCOLOR = 3;

// Copies the source rectangle (sx, sy, sw, sh) onto the destination
// rectangle (dx, dy, dw, dh), stretching by dropping or repeating pixels.
// Negative widths or heights mirror, as in GDI. Parts outside either bitmap
// are clipped. Returns false for an unknown raster operation.
bool StretchBlt(TBitmap& dst, int dx, int dy, int dw, int dh,
                const TBitmap& src, int sx, int sy, int sw, int sh, TRop rop);
bool BitBlt(TBitmap& dst, int dx, int dy, int w, int h, const TBitmap& src, int sx, int sy, TRop rop);
// Fills a rectangle of dst with a colour (clipped).
void FillRect(TBitmap& dst, const TRect& r, TColor c);
// Masked copy: where the 1-bit mask (read at mx + i, my + j) is 1 the
// destination is kept, where it is 0 the source is copied (SRCCOPY).
bool MaskBlt(TBitmap& dst, int dx, int dy, int w, int h,
             const TBitmap& src, int sx, int sy, const TBitmap& mask, int mx, int my);
