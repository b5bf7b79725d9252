#include "LoadersMetafile.h"

#include "Thumbnail.h"

#include "Loaders.h"
#include "MetafileHelper.h"
#include "platform/Exception.h"
#include "platform/RasterOps.h"
#include "platform/Stream.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

const char* const kMetafileNotValid = "Metafile is not valid";
constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr uint32_t kEmfSignature = 0x464D4520; // " EMF"
constexpr uint16_t kMetaSetWindowExt = 0x020C;
constexpr int64_t kMaxMetafileBytes = int64_t(256) << 20;

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
int32_t S32(const uint8_t* p) { return static_cast<int32_t>(Le32(p)); }
int16_t S16(const uint8_t* p) { return static_cast<int16_t>(Le16(p)); }

// 1/100 mm to pixels at 96 per inch.
int HundredthsMmToPixels(int64_t v) { return static_cast<int>(std::llround(double(v) * 96.0 / 2540.0)); }

bool ReadEmfSize(const std::vector<uint8_t>& d, int& w, int& h)
{
    if (d.size() < 88 || Le32(&d[0]) != 1 || Le32(&d[40]) != kEmfSignature)
        return false;
    const uint32_t headerSize = Le32(&d[4]);
    if (headerSize < 88 || headerSize > d.size())
        return false;
    w = HundredthsMmToPixels(int64_t(S32(&d[32])) - S32(&d[24]));
    h = HundredthsMmToPixels(int64_t(S32(&d[36])) - S32(&d[28]));
    return true;
}

bool ReadWmfSize(const std::vector<uint8_t>& d, int& w, int& h)
{
    size_t at = 0;
    if (d.size() >= 22 && Le32(&d[0]) == kPlaceableKey) {
        const int inch = Le16(&d[14]);
        if (inch == 0)
            return false;
        w = static_cast<int>(std::llround(std::abs(double(S16(&d[10])) - S16(&d[6])) * 96.0 / inch));
        h = static_cast<int>(std::llround(std::abs(double(S16(&d[12])) - S16(&d[8])) * 96.0 / inch));
        at = 22;
    }
    // The standard header: type 1 or 2, header size 9 words, version 0x100 or 0x300.
    if (d.size() < at + 18)
        return false;
    const uint16_t type = Le16(&d[at]), words = Le16(&d[at + 2]), version = Le16(&d[at + 4]);
    if ((type != 1 && type != 2) || words != 9 || (version != 0x100 && version != 0x300))
        return false;
    if (at != 0)
        return true;
    // No placeable header: the window extent in logical units, taken as pixels.
    for (size_t p = 18; p + 6 <= d.size();) {
        const uint32_t size = Le32(&d[p]);
        const uint16_t function = Le16(&d[p + 4]);
        if (size < 3 || size > (d.size() - p) / 2)
            break;
        if (function == kMetaSetWindowExt && size >= 5) {
            h = std::abs(S16(&d[p + 6]));
            w = std::abs(S16(&d[p + 8]));
            return true;
        }
        if (function == 0) // end of file
            break;
        p += size_t(size) * 2;
    }
    // Neither: the box the drawing covers, as the player measures it.
    return MeasureMetafile(d, w, h);
}

// Paints picture stretched into rect over what the canvas holds. True-colour
// canvases are painted in place; an indexed one through a true-colour copy,
// mapped back to its palette.
void PaintOver(TBitmap& canvas, const TRect& rect, const QImage& picture)
{
    const QRect target(rect.Left, rect.Top, rect.Width(), rect.Height());
    const auto paint = [&](QImage& image) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, picture);
    };
    if (canvas.Empty())
        return;
    const TPixelFormat format = canvas.PixelFormat();
    if (format == TPixelFormat::pf24bit || format == TPixelFormat::pf32bit) {
        QImage view(canvas.ScanLine(0), canvas.Width(), canvas.Height(), canvas.RowBytes(),
                    format == TPixelFormat::pf24bit ? QImage::Format_BGR888 : QImage::Format_RGB32);
        paint(view);
        return;
    }
    QImage copy = canvas.ToQImage();
    paint(copy);
    const QRect area = target.intersected(copy.rect());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            canvas.SetPixel(x, y, copy.pixel(x, y) & 0xFFFFFF);
}

} // namespace

void MetafileBitmapSize(int width, int height, int& outWidth, int& outHeight)
{
    const int longer = std::max(width, height);
    double f = longer <= MaxMetafileSide ? 1.0 : double(MaxMetafileSide) / longer;
#ifdef GMB_FUZZ_CANVAS_LIMIT
    // Fuzzing builds: the players' time goes into parsing records, not into
    // filling canvases of the largest size allowed.
    const double area = double(width) * f * double(height) * f;
    if (area > double(GMB_FUZZ_CANVAS_LIMIT))
        f *= std::sqrt(double(GMB_FUZZ_CANVAS_LIMIT) / area);
#endif
    if (f >= 1.0) {
        outWidth = width;
        outHeight = height;
        return;
    }
    outWidth = std::max(1, static_cast<int>(std::lround(width * f)));
    outHeight = std::max(1, static_cast<int>(std::lround(height * f)));
}

void TMetafile::LoadFromStream(TStream& stream)
{
    const int64_t size = stream.Size() - stream.Position();
    if (size <= 0 || size > kMaxMetafileBytes)
        throw Exception(kMetafileNotValid);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    stream.ReadBuffer(bytes.data(), size);
    int w = 0, h = 0;
    bool enhanced = false;
    if (ReadEmfSize(bytes, w, h))
        enhanced = true;
    else if (!ReadWmfSize(bytes, w, h))
        throw Exception(kMetafileNotValid);
    if (w <= 0 || h <= 0 || w > 32767 || h > 32767)
        throw Exception(kMetafileNotValid);
    bytes_ = std::move(bytes);
    enhanced_ = enhanced;
    width_ = w;
    height_ = h;
    Changed();
}

void TMetafile::SaveToStream(TStream& stream) const
{
    stream.WriteBuffer(bytes_.data(), static_cast<int64_t>(bytes_.size()));
}

void TMetafile::Draw(TBitmap& canvas, const TRect& rect) const
{
    int w = rect.Width(), h = rect.Height();
    if (bytes_.empty() || w <= 0 || h <= 0)
        return;
    MetafileBitmapSize(w, h, w, h);
    const QImage picture = PlayMetafile(enhanced_, bytes_, w, h);
    if (picture.isNull())
        throw Exception(kMetafileNotValid);
    PaintOver(canvas, rect, picture);
}

void LoadMetafileFromStream(TStream& stream, TBitmap& bitmap)
{
    TMetafile metafile;
    metafile.LoadFromStream(stream);
    DrawMetafileNatural(metafile, bitmap);
}

void DrawMetafileNatural(const TMetafile& metafile, TBitmap& bitmap)
{
    int w = 0, h = 0;
    MetafileBitmapSize(metafile.Width(), metafile.Height(), w, h);
    TBitmap canvas(w, h); // starts white: unpainted areas stay white
    metafile.Draw(canvas, Rect(0, 0, w, h));
    bitmap.Assign(canvas);
}

void DrawMetafileThumbnail(const TMetafile& metafile, TBitmap& thumbnail)
{
    if (metafile.Width() <= 0 || metafile.Height() <= 0 || thumbnail.Empty())
        return;
    const TRect fit = FitRect(metafile.Width(), metafile.Height(), thumbnail.Width(), thumbnail.Height());
    if (fit.Width() <= 0 || fit.Height() <= 0)
        return;
    // librsvg smooths what it draws, so an EMF goes straight in. libwmf's
    // raster device does not: a tiny WMF loses its thin lines and text, so
    // it is played at four times the size and reduced like any bitmap.
    if (metafile.Enhanced()) {
        metafile.Draw(thumbnail, fit);
        return;
    }
    constexpr int kWmfOversample = 4;
    int w = 0, h = 0;
    MetafileBitmapSize(std::min(metafile.Width(), fit.Width() * kWmfOversample),
                       std::min(metafile.Height(), fit.Height() * kWmfOversample), w, h);
    TBitmap canvas(std::max(w, 1), std::max(h, 1));
    metafile.Draw(canvas, Rect(0, 0, canvas.Width(), canvas.Height()));
    if (!StretchBlt(thumbnail, fit.Left, fit.Top, fit.Width(), fit.Height(), canvas, 0, 0, canvas.Width(), canvas.Height(), SRCCOPY))
        throw Exception("The parameter is incorrect");
}
