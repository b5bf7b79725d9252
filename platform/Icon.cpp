#include "Icon.h"

#include "Exception.h"
#include "Stream.h"

#include <QBuffer>
#include <QImageReader>

#include <vector>

namespace {

const char* const kIconNotValid = "Icon image is not valid";
constexpr int kMaxIconSide = 1024; // a directory entry says at most 256; PNG entries may say more

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]); }

struct Entry {
    int index = 0;
    int64_t area = 0;
    int bits = 0;
};

// Checks the directory and each image's own header against the file, so
// that the reader never allocates for sizes the bytes cannot back.
std::vector<Entry> CheckDirectory(const std::vector<uint8_t>& data)
{
    const size_t size = data.size();
    if (size < 6 || Le16(&data[0]) != 0 || (Le16(&data[2]) != 1))
        throw Exception(kIconNotValid);
    const int count = Le16(&data[4]);
    if (count == 0 || 6 + size_t(count) * 16 > size)
        throw Exception(kIconNotValid);
    std::vector<Entry> entries;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = &data[6 + size_t(i) * 16];
        const uint32_t bytes = Le32(e + 8), offset = Le32(e + 12);
        if (offset >= size || bytes > size - offset || bytes < 16)
            throw Exception(kIconNotValid);
        const uint8_t* img = &data[offset];
        int64_t w = 0, h = 0;
        int bits = Le16(e + 6);
        if (bytes >= 24 && img[0] == 0x89 && img[1] == 'P' && img[2] == 'N' && img[3] == 'G') {
            w = Be32(img + 16);
            h = Be32(img + 20);
            if (bits == 0)
                bits = 32;
        } else {
            if (bytes < 40 || Le32(img) < 40)
                throw Exception(kIconNotValid);
            w = static_cast<int32_t>(Le32(img + 4));
            h = static_cast<int32_t>(Le32(img + 8)) / 2; // colour rows and mask rows
            const int dibBits = Le16(img + 14);
            if (dibBits != 1 && dibBits != 4 && dibBits != 8 && dibBits != 16 && dibBits != 24 && dibBits != 32)
                throw Exception(kIconNotValid);
            if (w <= 0 || h <= 0 || w > kMaxIconSide || h > kMaxIconSide)
                throw Exception(kIconNotValid);
            const int64_t xorBytes = ((w * dibBits + 31) / 32) * 4 * h;
            const int64_t andBytes = ((w + 31) / 32) * 4 * h;
            const int64_t colors = dibBits <= 8 ? (int64_t(1) << dibBits) : 0;
            // The mask may be missing in some files; the colour rows may not.
            if (Le32(img) + colors * 4 + xorBytes > bytes + andBytes)
                throw Exception(kIconNotValid);
            bits = dibBits;
        }
        if (w <= 0 || h <= 0 || w > kMaxIconSide || h > kMaxIconSide)
            throw Exception(kIconNotValid);
        entries.push_back({i, w * h, bits});
    }
    return entries;
}

} // namespace

void TIcon::LoadFromStream(TStream& stream)
{
    const int64_t size = stream.Size() - stream.Position();
    if (size <= 0 || size > (int64_t(64) << 20))
        throw Exception(kIconNotValid);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    stream.ReadBuffer(data.data(), size);
    const std::vector<Entry> entries = CheckDirectory(data);

    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "ico");
    if (reader.imageCount() != static_cast<int>(entries.size()))
        throw Exception(kIconNotValid);
    // The largest image; of equal sizes the deepest, of equal depths the first.
    const Entry* best = &entries[0];
    for (const Entry& e : entries)
        if (e.area > best->area || (e.area == best->area && e.bits > best->bits))
            best = &e;
    QImage image;
    if (!reader.jumpToImage(best->index) || !reader.read(&image) || image.isNull())
        throw Exception(kIconNotValid);
    SetImage(image);
}

void TIcon::SetImage(const QImage& image)
{
    image_ = image.convertToFormat(QImage::Format_ARGB32);
    Changed();
}

TBitmap TIcon::MaskBitmap() const
{
    TBitmap mask(Width(), Height(), TPixelFormat::pf1bit);
    for (int y = 0; y < Height(); ++y) {
        const auto* src = reinterpret_cast<const QRgb*>(image_.constScanLine(y));
        for (int x = 0; x < Width(); ++x)
            mask.SetRawPixel(x, y, qAlpha(src[x]) < 128 ? 1 : 0);
    }
    return mask;
}

void TIcon::Draw(TBitmap& canvas, const TRect& rect) const
{
    const int w = rect.Width(), h = rect.Height();
    if (image_.isNull() || w <= 0 || h <= 0)
        return;
    for (int y = std::max(rect.Top, 0); y < std::min(rect.Bottom, canvas.Height()); ++y) {
        const auto* src = reinterpret_cast<const QRgb*>(image_.constScanLine(int(int64_t(y - rect.Top) * image_.height() / h)));
        for (int x = std::max(rect.Left, 0); x < std::min(rect.Right, canvas.Width()); ++x) {
            const QRgb c = src[int64_t(x - rect.Left) * image_.width() / w];
            const int a = qAlpha(c);
            if (a == 0)
                continue;
            if (a == 255) {
                canvas.SetPixel(x, y, RGBColor(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))));
                continue;
            }
            const TColor d = canvas.Pixel(x, y);
            auto mix = [a](int s, int b) { return uint8_t((s * a + b * (255 - a) + 127) / 255); };
            canvas.SetPixel(x, y, RGBColor(mix(qRed(c), RedOf(d)), mix(qGreen(c), GreenOf(d)), mix(qBlue(c), BlueOf(d))));
        }
    }
}
