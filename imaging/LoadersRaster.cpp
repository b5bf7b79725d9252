#include "LoadersRaster.h"

#include "imaging/Exif.h"
#include "platform/Exception.h"
#include "platform/Orientation.h"
#include "platform/Stream.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kFreePixels = int64_t(1) << 24;
constexpr int64_t kPixelsPerByte = 1024;

uint8_t Blend(int source, int below, int alpha) { return uint8_t((source * alpha + below * (255 - alpha) + 127) / 255); }

} // namespace

void RaisePictureError(const char* kindName, const std::string& reason)
{
    throw Exception(Format("%s image is not valid: %s", kindName, reason.c_str()));
}

bool PictureSizeAllowed(int64_t width, int64_t height, size_t fileBytes)
{
    if (width <= 0 || height <= 0 || width > 0xFFFFFF || height > 0xFFFFFF)
        return false;
    const int64_t pixels = width * height;
    return pixels * 4 <= MaxBitmapBytes && (pixels <= kFreePixels || pixels / kPixelsPerByte <= int64_t(fileBytes));
}

void CheckPictureSize(const char* kindName, int64_t width, int64_t height, size_t fileBytes)
{
    if (width <= 0 || height <= 0)
        RaisePictureError(kindName, "it has no pixels");
    if (!PictureSizeAllowed(width, height, fileBytes))
        RaisePictureError(kindName, Format("%lldx%lld pixels cannot come from a file of %llu bytes", static_cast<long long>(width),
                                           static_cast<long long>(height), static_cast<unsigned long long>(fileBytes)));
}

void ComposeOverWhite(const TBitmap& pixels, TBitmap& out)
{
    if (pixels.PixelFormat() != TPixelFormat::pf32bit) {
        out.Assign(pixels);
        return;
    }
    TBitmap composed(pixels.Width(), pixels.Height(), TPixelFormat::pf24bit);
    for (int y = 0; y < pixels.Height(); ++y) {
        const uint8_t* s = pixels.ScanLine(y);
        uint8_t* d = composed.ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x, s += 4, d += 3) {
            const int a = s[3];
            d[0] = Blend(s[0], 255, a);
            d[1] = Blend(s[1], 255, a);
            d[2] = Blend(s[2], 255, a);
        }
    }
    out.TakeFrom(composed);
}

void DropOpaqueAlpha(TBitmap& pixels)
{
    if (pixels.PixelFormat() != TPixelFormat::pf32bit)
        return;
    for (int y = 0; y < pixels.Height(); ++y) {
        const uint8_t* p = pixels.ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x)
            if (p[size_t(x) * 4 + 3] != 255)
                return;
    }
    TBitmap opaque(pixels.Width(), pixels.Height(), TPixelFormat::pf24bit);
    for (int y = 0; y < pixels.Height(); ++y) {
        const uint8_t* s = pixels.ScanLine(y);
        uint8_t* d = opaque.ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x, s += 4, d += 3)
            std::memcpy(d, s, 3);
    }
    pixels.TakeFrom(opaque);
}

void DrawRaster(const TBitmap& pixels, TBitmap& canvas, const TRect& rect)
{
    if (pixels.PixelFormat() != TPixelFormat::pf32bit) {
        pixels.Draw(canvas, rect);
        return;
    }
    const int w = rect.Width(), h = rect.Height();
    if (pixels.Empty() || w <= 0 || h <= 0)
        return;
    const bool direct = canvas.PixelFormat() == TPixelFormat::pf24bit;
    for (int y = std::max(rect.Top, 0); y < std::min(rect.Bottom, canvas.Height()); ++y) {
        const uint8_t* src = pixels.ScanLine(int(int64_t(y - rect.Top) * pixels.Height() / h));
        uint8_t* dst = canvas.ScanLine(y);
        for (int x = std::max(rect.Left, 0); x < std::min(rect.Right, canvas.Width()); ++x) {
            const uint8_t* s = src + int64_t(x - rect.Left) * pixels.Width() / w * 4;
            const int a = s[3];
            if (a == 0)
                continue;
            if (direct) {
                uint8_t* d = dst + size_t(x) * 3;
                d[0] = Blend(s[0], d[0], a);
                d[1] = Blend(s[1], d[1], a);
                d[2] = Blend(s[2], d[2], a);
                continue;
            }
            const TColor below = canvas.Pixel(x, y);
            canvas.SetPixel(x, y, RGBColor(Blend(s[2], RedOf(below), a), Blend(s[1], GreenOf(below), a), Blend(s[0], BlueOf(below), a)));
        }
    }
}

void TRasterImage::LoadFromStream(TStream& stream)
{
    const std::vector<uint8_t> bytes = ReadRestOfStream(stream);
    TDecodedPicture decoded;
    decoder_(bytes.data(), bytes.size(), decoded, false);
    picture_ = std::move(decoded); // on failure the old picture stays
    Changed();
}

void TRasterImage::Draw(TBitmap& canvas, const TRect& rect) const { DrawRaster(picture_.Pixels, canvas, rect); }

void TRasterImage::AssignTo(TBitmap& dest) const { ComposeOverWhite(picture_.Pixels, dest); }

QImage TRasterImage::ToImage() const { return RasterToImage(picture_.Pixels); }

QImage RasterToImage(const TBitmap& p)
{
    if (p.PixelFormat() != TPixelFormat::pf32bit)
        return p.ToQImage();
    QImage image(p.Width(), p.Height(), QImage::Format_ARGB32);
    for (int y = 0; y < p.Height(); ++y)
        std::copy_n(p.ScanLine(y), size_t(p.Width()) * 4, image.scanLine(y)); // B, G, R, A in memory, as ARGB32
    return image;
}

void LoadRasterFromStream(TRasterDecoder decoder, TStream& stream, TBitmap& bitmap)
{
    const std::vector<uint8_t> bytes = ReadRestOfStream(stream);
    TDecodedPicture decoded;
    decoder(bytes.data(), bytes.size(), decoded, false);
    if (decoded.Pixels.PixelFormat() == TPixelFormat::pf32bit)
        ComposeOverWhite(decoded.Pixels, bitmap);
    else
        bitmap.TakeFrom(decoded.Pixels); // opaque: the decoded bitmap itself, not a copy
}

void OrientDecoded(TDecodedPicture& picture, const std::vector<uint8_t>& exif)
{
    const int orientation = ReadExif(exif).orientation;
    OrientBitmap(picture.Pixels, orientation);
    for (TRasterFrame& frame : picture.Frames)
        OrientBitmap(frame.Pixels, orientation);
}
