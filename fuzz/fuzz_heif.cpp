// HEIF and AVIF (one decoder; the bytes say which codec runs): libheif with
// libde265 and dav1d, our size checks, and the Exif item finder.
#include "fuzz/FuzzRaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::DecodeRaster(DecodeHeif, 'H', data, size);
}
