#pragma once
// The little of EXIF the catalogue uses: the orientation of the picture and
// the embedded thumbnail. Read from the TIFF-structured bytes of an EXIF
// block (what follows "Exif\0\0" in a JPEG's APP1 segment, and what other
// formats carry as their EXIF chunk). Every read is bounded by the block;
// a damaged block gives no rotation and no thumbnail, never an error.
#include <cstddef>
#include <cstdint>
#include <span>

struct TExifInfo {
    // 1 to 8, as TIFF numbers them: 1 upright, 3 turned half round, 6 to be
    // turned a quarter clockwise, 8 a quarter anticlockwise, and the
    // mirrored ones 2, 4, 5, 7.
    int orientation = 1;
    // The embedded JPEG thumbnail, inside the block; empty when there is
    // none (or it lies outside the block, or is no JPEG).
    std::span<const uint8_t> thumbnail;
};

TExifInfo ReadExif(std::span<const uint8_t> tiff);

// The TIFF bytes of a JPEG's first EXIF APP1 segment, looked for among the
// markers before the image data; empty when there is none.
std::span<const uint8_t> FindJpegExif(std::span<const uint8_t> jpeg);

// Whether an orientation turns the picture a quarter (width and height swap).
inline bool OrientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }
