#pragma once
// Decodes the bytes of a BMP file into a bitmap of the file's own depth
// (1, 4 or 8 bits with the colour table; 2-bit files become 4 bits; 16 and
// 24 bits become 24; 32 bits stay 32). "Bitmap image is not valid" for
// anything that cannot be read; the bitmap is untouched then.
#include "platform/Bitmap.h"

#include <vector>

void ReadBmp(const std::vector<uint8_t>& data, TBitmap& bitmap);
