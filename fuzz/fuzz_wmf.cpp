// WMF: a Windows metafile, placeable or not (libwmf).
#include "fuzz/FuzzMetafile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzz::PlayMetafile(data, size, false);
}
