// BMP: our own reader, straight from the bytes and through the bitmap's
// stream loader.
#include "fuzz/FuzzSupport.h"
#include "platform/BmpReader.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        TMemoryStream stream = fuzz::StreamOf(data, size);
        TBitmap bitmap;
        bitmap.LoadFromStream(stream);
        // A second reader call on the same bitmap: a refused file leaves it untouched.
        ReadBmp(std::vector<uint8_t>(data, data + size), bitmap);
    } catch (const Exception&) {
    }
    return 0;
}
