#pragma once
// Turning and mirroring a bitmap into the position a picture's orientation
// tag asks for (the eight of TIFF and EXIF).
#include "platform/Bitmap.h"

// Orientation 1 is upright and leaves the bitmap alone, as does any value
// outside 1 to 8; 2 mirrors left to right, 3 turns half round, 4 mirrors top
// to bottom, 5 mirrors across the main diagonal, 6 turns a quarter
// clockwise, 7 mirrors across the other diagonal, 8 turns a quarter
// anticlockwise. Pixel format and palette stay.
void OrientBitmap(TBitmap& bitmap, int orientation);
