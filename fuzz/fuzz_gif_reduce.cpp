// Colour reduction of a decoded picture: the first byte picks the
// reduction (0 to 9), the second the dither mode (0 to 6) and the
// reduction bits; the rest is a GIF whose image bitmap is reduced. The
// result must be the picture's size, 8 bits a pixel (24 for no reduction)
// or empty, with every index inside its palette.
#include "fuzz/FuzzSupport.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Pictures of more pixels than this are not reduced: the reducers spend
// their time on the pixels the header claims, not on the input.
constexpr int64_t kMaxReducedPixels = int64_t(1) << 18;

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "colour reduction: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int reduction = data[0] % 10;
    const int dither = data[1] % 7;
    const int bits = 3 + (data[1] / 7) % 6;
    try {
        TMemoryStream in = fuzz::StreamOf(data + 2, size - 2);
        TMyGIFImage image;
        image.LoadFromStream(in);
        TBitmap* picture = image.ImageBitmap();
        if (!picture || int64_t(picture->Width()) * picture->Height() > kMaxReducedPixels)
            return 0;
        TBitmap source(*picture);
        // Mode 9 reduces to a palette of the caller's: the picture's own.
        const std::unique_ptr<TBitmap> result =
            ReduceBitmapColors(source, reduction, dither, reduction == 9 ? picture->Palette() : nullptr, bits);
        Check(result != nullptr, "no result");
        if (result->Empty())
            return 0;
        Check(result->Width() == picture->Width() && result->Height() == picture->Height(), "size changed");
        if (reduction == 0) {
            Check(result->PixelFormat() == TPixelFormat::pf24bit, "not 24 bits");
            return 0;
        }
        Check(result->PixelFormat() == TPixelFormat::pf8bit, "not 8 bits");
        const TPaletteHandle palette = result->Palette();
        Check(palette && palette->Count() > 0 && palette->Count() <= 256, "palette size");
        for (int y = 0; y < result->Height(); ++y)
            for (int x = 0; x < result->Width(); ++x)
                Check(int(result->RawPixel(x, y)) < palette->Count(), "index outside the palette");
    } catch (const Exception&) {
    }
    return 0;
}
