#pragma once
// The palettes a paletted display offers every program: the 20 reserved
// system colours and the 256-colour halftone palette built around them.
#include "platform/Bitmap.h"

// Palette entry flag: the entry is never merged with another of the same colour.
constexpr uint8_t PC_NOCOLLAPSE = 0x04;

// 20 entries: the 10 dark system colours, then the 10 light ones.
TPaletteHandle SystemDefaultPalette();
// 256 entries: the first 10 system colours, the 216-colour cube, 20 greys
// between the cube's levels, the last 10 system colours.
TPaletteHandle HalftonePalette();
// The entry of palette nearest to (red, green, blue): squared distance, the
// lowest index of equal distances. -1 for an empty palette.
int GetNearestPaletteIndex(const TPalette& palette, TColor color);
