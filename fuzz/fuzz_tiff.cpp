// TIFF: libtiff's RGBA reader on memory, with our handlers and size checks,
// and the EXIF finder.
#include "fuzz/FuzzRaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::DecodeRaster(DecodeTiff, 'T', data, size);
}
