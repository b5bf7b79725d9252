#include "ShownPicture.h"

#include "GifExport.h"
#include "ImageKinds.h"
#include "Loaders.h"
#include "LoadersJpeg.h"
#include "LoadersMetafile.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <algorithm>

namespace {

// Where a w x h picture fits inside an area, aspect kept: the size a JPEG
// must be decoded at least.
QSize FittedSize(int w, int h, QSize area)
{
    if (w <= 0 || h <= 0 || area.isEmpty())
        return QSize(w, h);
    return QSize(w, h).scaled(area, Qt::KeepAspectRatio);
}

TShownPicture JpegPicture(std::shared_ptr<const std::vector<uint8_t>> bytes, QSize area)
{
    TJpegShape shape;
    if (!ReadJpegShape(*bytes, shape)) {
        TBitmap fails;
        DecodeJpeg(*bytes, fails); // raises the decoder's message
    }
    TShownPicture shown;
    shown.full = QSize(shape.width, shape.height);
    shown.decodeAt = [bytes](int w, int h) {
        TBitmap bitmap;
        DecodeJpeg(*bytes, bitmap, TJpegScale{std::max(w, 1), std::max(h, 1)});
        return bitmap.ToQImage();
    };
    const QSize fit = FittedSize(shape.width, shape.height, area);
    shown.image = shown.decodeAt(fit.width(), fit.height());
    return shown;
}

} // namespace

TShownPicture MakeShownPicture(std::shared_ptr<const std::vector<uint8_t>> bytes, const std::string& kind, QSize area)
{
    if (!IsKnownKind(kind))
        throw Exception(kUnknownImageKind);
    const char letter = kind[0];
    if (letter == 'J')
        return JpegPicture(std::move(bytes), area);

    TShownPicture shown;
    if (letter == 'G') {
        auto gif = std::make_unique<TMyGIFImage>();
        TMemoryStream stream(*bytes);
        gif->LoadFromStream(stream);
        shown.graphic = std::move(gif);
        return shown;
    }
    // An animation of another kind plays as a GIF made of its frames, which
    // takes seconds for a long one: its first frame is decoded the still way
    // for now, and the GIF is made by whoever shows it, where it chooses.
    if (HoldsAnimation(*bytes, letter)) {
        shown.makeAnimation = [bytes, letter](const std::atomic<bool>& cancelled) -> std::unique_ptr<TGraphic> {
            return LoadAnimationAsGif(*bytes, letter, &cancelled);
        };
    }

    TMemoryStream stream(*bytes);
    TBitmap bitmap;
    if (letter == 'I') {
        LoadIconFromStream(stream, bitmap);
    } else {
        TPicture picture;
        picture.LoadFromStream(stream, ShownExtensionOf(kind));
        int w = picture.Width(), h = picture.Height();
        // A metafile's natural size may not fit in memory.
        if (dynamic_cast<const TMetafile*>(picture.Graphic()))
            MetafileBitmapSize(w, h, w, h);
        bitmap.SetSize(w, h);
        if (!bitmap.Empty())
            picture.Graphic()->Draw(bitmap, Rect(0, 0, w, h));
    }
    shown.image = bitmap.ToQImage();
    return shown;
}
