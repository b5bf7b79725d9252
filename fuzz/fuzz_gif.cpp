// GIF: load the stream, then render every frame (with its transparency
// mask) and the whole image as the catalogue and the preview do.
#include "fuzz/FuzzSupport.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMemoryStream stream = fuzz::StreamOf(data, size);
    try {
        TMyGIFImage image;
        image.LoadFromStream(stream);
        for (int i = 0; i < image.FrameCount(); ++i) {
            TGIFSubImage* frame = image.Frame(i);
            if (frame->IsEmpty())
                continue;
            frame->RenderedBitmap();
            frame->HasTransparencyMask();
        }
        image.ImageBitmap();
    } catch (const Exception&) {
        // A clear error is the right outcome for bad input.
    }
    return 0;
}
