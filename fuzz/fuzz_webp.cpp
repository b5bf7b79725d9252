// WebP: libwebp still pictures and the demux library's animations (every
// frame), and the EXIF chunk finder.
#include "fuzz/FuzzRaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::DecodeRaster(DecodeWebp, 'V', data, size);
}
