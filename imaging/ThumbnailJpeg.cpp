#include "ThumbnailJpeg.h"

#include "Exif.h"
#include "Thumbnail.h"

#include "platform/Exception.h"
#include "platform/RasterOps.h"
#include "platform/Stream.h"

#include <cstdlib>
#include <optional>

namespace {

// The whole of source drawn where a natural-size picture of w x h goes.
void StretchAsNatural(const TBitmap& source, int w, int h, TBitmap& thumbnail)
{
    if (source.Empty() || thumbnail.Empty() || w <= 0 || h <= 0)
        return;
    const TRect r = FitRect(w, h, thumbnail.Width(), thumbnail.Height());
    if (!StretchBlt(thumbnail, r.Left, r.Top, r.Width(), r.Height(), source, 0, 0, source.Width(), source.Height(), SRCCOPY))
        throw Exception("The parameter is incorrect");
}

// The embedded thumbnail decoded upright, when it shows the photo well
// enough; nothing when it is missing, damaged, too small or letterboxed.
std::optional<TBitmap> EmbeddedPicture(std::span<const uint8_t> bytes, const TJpegShape& photo, const TRect& fit)
{
    const TExifInfo exif = ReadExif(FindJpegExif(bytes));
    if (exif.thumbnail.empty())
        return std::nullopt;
    TJpegShape small;
    if (!ReadJpegShape(exif.thumbnail, small))
        return std::nullopt;
    // The thumbnail carries no orientation of its own: it is stored as the
    // photo is, so the photo's turn sets it upright.
    if (OrientationSwapsSides(small.orientation) != OrientationSwapsSides(photo.orientation))
        std::swap(small.width, small.height);
    if (!EmbeddedThumbnailFits(small.width, small.height, photo.width, photo.height, fit.Width(), fit.Height()))
        return std::nullopt;
    try {
        TBitmap picture;
        DecodeJpeg(exif.thumbnail, picture, TJpegScale{fit.Width(), fit.Height(), photo.orientation});
        return picture;
    } catch (const Exception&) {
        return std::nullopt; // the photo itself gives the thumbnail
    }
}

} // namespace

bool EmbeddedThumbnailFits(int tw, int th, int w, int h, int fw, int fh)
{
    if (tw <= 0 || th <= 0 || w <= 0 || h <= 0 || tw < fw || th < fh)
        return false;
    // |th - tw * h / w| <= 1 and |tw - th * w / h| <= 1, in integers.
    const int64_t cross = std::llabs(int64_t(tw) * h - int64_t(th) * w);
    return cross <= w && cross <= h;
}

TBitmap MakeJpegThumbnail(std::span<const uint8_t> bytes, int width, int height, TJpegShape* proven)
{
    TBitmap thumbnail(width, height);
    TJpegShape photo;
    if (ReadJpegShape(bytes, photo) && photo.width > 0 && photo.height > 0) {
        const TRect fit = FitRect(photo.width, photo.height, width, height);
        if (std::optional<TBitmap> embedded = EmbeddedPicture(bytes, photo, fit)) {
            if (proven) {
                TBitmap proof;
                DecodeJpeg(bytes, proof, TJpegScale{1, 1}, proven);
            }
            StretchAsNatural(*embedded, photo.width, photo.height, thumbnail);
            return thumbnail;
        }
    }
    // A header libjpeg refuses gets its message from here.
    TBitmap picture;
    DecodeJpeg(bytes, picture, TJpegScale{width * kJpegThumbnailOversample, height * kJpegThumbnailOversample}, &photo);
    if (proven)
        *proven = photo;
    StretchAsNatural(picture, photo.width, photo.height, thumbnail);
    return thumbnail;
}

TBitmap MakeJpegThumbnailFromStream(TStream& image, int width, int height)
{
    const int64_t start = image.Position();
    if (auto* memory = dynamic_cast<TMemoryStream*>(&image))
        return MakeJpegThumbnail(std::span<const uint8_t>(memory->Memory() + start, size_t(memory->Size() - start)), width, height);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(image.Size() - start, 0)));
    if (!bytes.empty())
        image.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    return MakeJpegThumbnail(bytes, width, height);
}
