// EMF: an enhanced metafile (libemf2svg, then librsvg).
#include "fuzz/FuzzMetafile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::PlayMetafile(data, size, true);
}
