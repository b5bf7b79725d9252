// JPEG: the loader of the JPEG kind (libjpeg-turbo behind our error handling).
#include "imaging/Loaders.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        TMemoryStream stream = fuzz::StreamOf(data, size);
        TBitmap bitmap;
        LoadJpegFromStream(stream, bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
