// PNG: libpng behind our error handling and size checks, and the eXIf chunk
// finder.
#include "fuzz/FuzzRaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::DecodeRaster(DecodePng, 'P', data, size);
}
