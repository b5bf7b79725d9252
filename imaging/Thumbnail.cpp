#include "Thumbnail.h"

#include "store/UDMMain.h"

#include "Loaders.h"
#include "LoadersJpeg.h"
#include "LoadersMetafile.h"
#include "ShellIcon.h"
#include "ThumbnailJpeg.h"

#include "platform/BmpReader.h"
#include "platform/Exception.h"
#include "platform/RasterOps.h"

#include <cmath>

namespace {

// Nearest integer, halves to the even neighbour (2.5 gives 2, 3.5 gives 4).
int RoundHalfEven(long double v)
{
    const long double lower = std::floor(v);
    const long double frac = v - lower;
    long double r = lower;
    if (frac > 0.5L || (frac == 0.5L && std::fmod(lower, 2.0L) != 0))
        r = lower + 1;
    return static_cast<int>(r);
}

// A metafile is played at the thumbnail's size.
TBitmap MakeMetafileThumbnail(TStream& image, int width, int height)
{
    TMetafile metafile;
    metafile.LoadFromStream(image);
    TBitmap thumbnail(width, height);
    DrawMetafileThumbnail(metafile, thumbnail);
    return thumbnail;
}

// A bitmap's thumbnail takes from the file only the rows and columns the
// stretch would keep: the same pixels, without the whole picture decoded.
TBitmap MakeBitmapThumbnail(TStream& image, int width, int height)
{
    TBmpSampler bmp(image);
    TBitmap thumbnail(width, height);
    if (!bmp.CanSample()) {
        TBitmap natural;
        natural.LoadFromStream(image);
        StretchToFit(natural, thumbnail);
        return thumbnail;
    }
    if (thumbnail.Empty())
        return thumbnail;
    const TRect r = FitRect(bmp.Width(), bmp.Height(), width, height);
    const TBitmap part = bmp.Sample(r.Width(), r.Height());
    if (!part.Empty() && !BitBlt(thumbnail, r.Left, r.Top, r.Width(), r.Height(), part, 0, 0, SRCCOPY))
        throw Exception("The parameter is incorrect");
    return thumbnail;
}

} // namespace

TRect FitRect(int ws, int hs, int wt, int ht)
{
    int w = 0, h = 0;
    // Ratios in extended precision, the factor rounded to a 32-bit float and
    // the product formed again in extended precision: this is what decides
    // the odd pixel, so it is kept exactly.
    const long double rw = static_cast<long double>(ws) / wt;
    const long double rh = static_cast<long double>(hs) / ht;
    if (rw >= rh) {
        w = wt;
        const float f = static_cast<float>(static_cast<long double>(wt) / ws);
        h = RoundHalfEven(static_cast<long double>(hs) * f);
    } else {
        h = ht;
        const float f = static_cast<float>(static_cast<long double>(ht) / hs);
        w = RoundHalfEven(static_cast<long double>(ws) * f);
    }
    const int x = (wt - w) / 2;
    const int y = (ht - h) / 2;
    return Rect(x, y, x + w, y + h);
}

void StretchToFit(const TBitmap& source, TBitmap& thumbnail)
{
    // The fit divides by the source's sides; an empty source leaves the
    // thumbnail as it is (white when new).
    if (source.Empty() || thumbnail.Empty())
        return;
    const TRect r = FitRect(source.Width(), source.Height(), thumbnail.Width(), thumbnail.Height());
    if (!StretchBlt(thumbnail, r.Left, r.Top, r.Width(), r.Height(), source, 0, 0, source.Width(), source.Height(), SRCCOPY))
        throw Exception("The parameter is incorrect");
}

void TImageList::SetSize(int width, int height)
{
    width_ = width;
    height_ = height;
    images_.clear();
}

void TImageList::Add(const QImage& image)
{
    if (image.width() == width_ && image.height() == height_)
        images_.push_back(image);
    else
        images_.push_back(image.scaled(width_, height_, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

TBitmap MakeThumbnail(TStream& image, ImageKind kind, int width, int height)
{
    // Never decoded as some other kind: a letter we do not know is a broken image.
    if (!IsKnownKind(kind))
        throw Exception(kUnknownImageKind);
    if (KindOf(kind).Letter == 'J')
        return MakeJpegThumbnailFromStream(image, width, height);
    if (KindOf(kind).Letter == 'E' || KindOf(kind).Letter == 'W')
        return MakeMetafileThumbnail(image, width, height);
    TBitmap natural;
    if (KindOf(kind).Letter == 'B')
        return MakeBitmapThumbnail(image, width, height);
    // An animation's thumbnail is its first frame: the rest is not decoded.
    if (KindOf(kind).Letter == 'G')
        LoadGifFirstFrameFromStream(image, natural);
    else
        KindOf(kind).Loader(image, natural);
    TBitmap thumbnail(width, height);
    StretchToFit(natural, thumbnail);
    return thumbnail;
}

void AddRecordThumbnail(TDMMain& store, TImageList& large, TImageList& small)
{
    const std::string type = store.CDSImageType.AsString();
    if (!IsKnownKind(type))
        throw Exception(kUnknownImageKind);
    const TImageKind& kind = KindOf(type);
    std::unique_ptr<TMemoryStream> stream = store.CreateImageStream();
    const TBitmap thumbnail = MakeThumbnail(*stream, kind.Letter, large.Width(), large.Height());
    const QImage icon = CachedShellIconImage("a" + kind.ShownExtension, small.Width(), small.Height());
    large.Add(thumbnail);
    small.Add(icon);
}
