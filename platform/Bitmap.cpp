#include "Bitmap.h"

#include "BmpReader.h"
#include "Exception.h"
#include "RasterOps.h"
#include "Stream.h"

#include <QImage>

#include <algorithm>
#include <utility>
#include <cstring>
#include <unordered_map>

namespace {

const char* const kBitmapNotValid = "Bitmap image is not valid";

void Put16(std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x)); v.push_back(uint8_t(x >> 8)); }
void Put32(std::vector<uint8_t>& v, uint32_t x) { Put16(v, x & 0xFFFF); Put16(v, x >> 16); }

} // namespace

TColor TPalette::Color(int i) const
{
    if (i < 0 || i >= Count())
        return clBlack;
    const auto& e = entries_[static_cast<size_t>(i)];
    return RGBColor(e.Red, e.Green, e.Blue);
}

int TPalette::NearestIndex(TColor c) const
{
    int best = 0;
    int bestDist = 1 << 30;
    for (int i = 0; i < Count(); ++i) {
        const auto& e = entries_[static_cast<size_t>(i)];
        const int dr = e.Red - RedOf(c), dg = e.Green - GreenOf(c), db = e.Blue - BlueOf(c);
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
            if (d == 0)
                break;
        }
    }
    return best;
}

TPaletteHandle MakePalette(std::vector<TPaletteEntry> entries)
{
    return std::make_shared<const TPalette>(std::move(entries));
}

bool SamePalette(const TPaletteHandle& a, const TPaletteHandle& b)
{
    if (a == b)
        return true;
    if (!a || !b)
        return false;
    return *a == *b;
}

int BitsPerPixel(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pf1bit: return 1;
    case TPixelFormat::pf4bit: return 4;
    case TPixelFormat::pf8bit: return 8;
    case TPixelFormat::pf24bit: return 24;
    case TPixelFormat::pf32bit: return 32;
    }
    return 24;
}

bool IsIndexed(TPixelFormat format) { return BitsPerPixel(format) <= 8; }

int DibStride(int width, int bits)
{
    return static_cast<int>(((int64_t(width) * bits + 31) & ~int64_t(31)) / 8);
}

TPaletteHandle DefaultPalette(TPixelFormat format)
{
    static const TPaletteHandle mono = MakePalette({{0, 0, 0, 0}, {255, 255, 255, 0}});
    static const TPaletteHandle vga = MakePalette({
        {0, 0, 0, 0}, {128, 0, 0, 0}, {0, 128, 0, 0}, {128, 128, 0, 0},
        {0, 0, 128, 0}, {128, 0, 128, 0}, {0, 128, 128, 0}, {192, 192, 192, 0},
        {128, 128, 128, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {255, 255, 0, 0},
        {0, 0, 255, 0}, {255, 0, 255, 0}, {0, 255, 255, 0}, {255, 255, 255, 0}});
    static const TPaletteHandle cube = [] {
        std::vector<TPaletteEntry> e;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    e.push_back({uint8_t(51 * r), uint8_t(51 * g), uint8_t(51 * b), 0});
        for (int i = 0; i < 40; ++i) {
            const auto v = uint8_t(i * 255 / 39);
            e.push_back({v, v, v, 0});
        }
        return MakePalette(std::move(e));
    }();
    switch (format) {
    case TPixelFormat::pf1bit: return mono;
    case TPixelFormat::pf4bit: return vga;
    case TPixelFormat::pf8bit: return cube;
    default: return {};
    }
}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : format_(format)
{
    if (IsIndexed(format))
        palette_ = DefaultPalette(format);
    SetSize(width, height);
}

void TBitmap::Reallocate(int width, int height, TPixelFormat format, std::vector<uint8_t>& out, int& stride) const
{
    if (width < 0 || height < 0)
        throw Exception("Invalid image dimensions");
    stride = DibStride(width, BitsPerPixel(format));
    const int64_t bytes = int64_t(stride) * height;
    if (bytes > MaxBitmapBytes)
        throw Exception("Not enough memory for a bitmap of this size");
#ifdef GMB_FUZZ_CANVAS_LIMIT
    // Fuzzing builds only: no run spends its time filling a huge canvas.
    if (int64_t(width) * height > GMB_FUZZ_CANVAS_LIMIT)
        throw Exception("Not enough memory for a bitmap of this size");
#endif
    out.assign(static_cast<size_t>(bytes), 0xFF);
}

void TBitmap::SetSize(int width, int height)
{
    if (width == width_ && height == height_)
        return;
    std::vector<uint8_t> bits;
    int stride = 0;
    Reallocate(width, height, format_, bits, stride);
    const int rows = std::min(height, height_);
    const int bytes = DibStride(std::min(width, width_), BitsPerPixel(format_));
    // Whole bytes are copied; a partly kept last byte of a narrow row of
    // 1- or 4-bit pixels keeps its old bits, as a resize in GDI would.
    const int keep = std::min({bytes, stride, stride_});
    if (keep > 0) // a bitmap without pixels has no rows to keep
        for (int y = 0; y < rows; ++y)
            std::memcpy(bits.data() + size_t(y) * stride, bits_.data() + size_t(y) * stride_, size_t(keep));
    bits_ = std::move(bits);
    stride_ = stride;
    width_ = width;
    height_ = height;
    Changed();
}

void TBitmap::SetPixelFormat(TPixelFormat format)
{
    if (format == format_)
        return;
    TBitmap converted;
    converted.format_ = format;
    if (IsIndexed(format)) {
        // Keep the palette when it fits the new depth, as GDI keeps the colour table.
        const int maxColors = 1 << BitsPerPixel(format);
        converted.palette_ = (palette_ && palette_->Count() > 0 && palette_->Count() <= maxColors) ? palette_ : DefaultPalette(format);
    } else {
        converted.palette_ = palette_;
    }
    converted.SetSize(width_, height_);
    const bool sameIndices = IsIndexed(format) && IsIndexed(format_) && converted.palette_ == palette_;
    // Nearest-entry searches are remembered per colour: pictures repeat
    // their colours far more often than they have them.
    std::unordered_map<TColor, uint32_t> nearest;
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) {
            const uint32_t raw = RawPixel(x, y);
            uint32_t value = raw;
            if (!(sameIndices && raw < (1u << BitsPerPixel(format)))) {
                const TColor c = ColorOf(raw);
                auto [it, fresh] = nearest.try_emplace(c, 0);
                if (fresh)
                    it->second = converted.ValueOf(c);
                value = it->second;
            }
            converted.SetRawPixel(x, y, value);
        }
    format_ = format;
    palette_ = converted.palette_;
    stride_ = converted.stride_;
    bits_ = std::move(converted.bits_);
    Changed();
}

void TBitmap::SetPalette(TPaletteHandle palette)
{
    palette_ = std::move(palette);
    Changed();
}

uint8_t* TBitmap::ScanLine(int y)
{
    if (y < 0 || y >= height_)
        throw Exception("Scan line index out of range");
    return bits_.data() + size_t(y) * stride_;
}

const uint8_t* TBitmap::ScanLine(int y) const
{
    if (y < 0 || y >= height_)
        throw Exception("Scan line index out of range");
    return bits_.data() + size_t(y) * stride_;
}

uint32_t TBitmap::RawPixel(int x, int y) const
{
    const uint8_t* row = bits_.data() + size_t(y) * stride_;
    switch (format_) {
    case TPixelFormat::pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case TPixelFormat::pf4bit: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    case TPixelFormat::pf8bit: return row[x];
    case TPixelFormat::pf24bit: {
        const uint8_t* p = row + size_t(x) * 3;
        return RGBColor(p[2], p[1], p[0]);
    }
    case TPixelFormat::pf32bit: {
        const uint8_t* p = row + size_t(x) * 4;
        return RGBColor(p[2], p[1], p[0]);
    }
    }
    return 0;
}

void TBitmap::SetRawPixel(int x, int y, uint32_t value)
{
    uint8_t* row = bits_.data() + size_t(y) * stride_;
    switch (format_) {
    case TPixelFormat::pf1bit: {
        const auto bit = uint8_t(0x80 >> (x & 7));
        row[x >> 3] = (value & 1) ? uint8_t(row[x >> 3] | bit) : uint8_t(row[x >> 3] & ~bit);
        break;
    }
    case TPixelFormat::pf4bit: {
        uint8_t& b = row[x >> 1];
        b = (x & 1) ? uint8_t((b & 0xF0) | (value & 0x0F)) : uint8_t((b & 0x0F) | ((value & 0x0F) << 4));
        break;
    }
    case TPixelFormat::pf8bit: row[x] = uint8_t(value); break;
    case TPixelFormat::pf24bit: {
        uint8_t* p = row + size_t(x) * 3;
        p[0] = BlueOf(value); p[1] = GreenOf(value); p[2] = RedOf(value);
        break;
    }
    case TPixelFormat::pf32bit: {
        uint8_t* p = row + size_t(x) * 4;
        p[0] = BlueOf(value); p[1] = GreenOf(value); p[2] = RedOf(value); p[3] = 0xFF;
        break;
    }
    }
}

TColor TBitmap::ColorOf(uint32_t value) const
{
    if (!IsIndexed(format_))
        return value & 0xFFFFFF;
    const TPaletteHandle pal = palette_ ? palette_ : DefaultPalette(format_);
    return pal->Color(static_cast<int>(value));
}

uint32_t TBitmap::ValueOf(TColor c) const
{
    if (!IsIndexed(format_))
        return c & 0xFFFFFF;
    const TPaletteHandle pal = (palette_ && palette_->Count() > 0) ? palette_ : DefaultPalette(format_);
    return static_cast<uint32_t>(pal->NearestIndex(c));
}

TColor TBitmap::Pixel(int x, int y) const { return ColorOf(RawPixel(x, y)); }
void TBitmap::SetPixel(int x, int y, TColor c) { SetRawPixel(x, y, ValueOf(c)); }

void TBitmap::Fill(TColor c)
{
    const uint32_t v = ValueOf(c);
    const bool wholeBytes = format_ == TPixelFormat::pf24bit || format_ == TPixelFormat::pf32bit;
    for (int y = 0; y < height_; ++y) {
        if (wholeBytes && y > 0) {
            // Rows of whole-byte pixels are alike: the first one is copied.
            const size_t bytes = size_t(width_) * size_t(BitsPerPixel(format_) / 8);
            std::memcpy(bits_.data() + size_t(y) * stride_, bits_.data(), bytes);
            continue;
        }
        for (int x = 0; x < width_; ++x)
            SetRawPixel(x, y, v);
    }
    Changed();
}

void TBitmap::SwapPixels(TBitmap& other)
{
    if (other.width_ != width_ || other.height_ != height_ || other.format_ != format_)
        throw Exception("Bitmaps of different size or format cannot exchange their pixels");
    bits_.swap(other.bits_);
}

void TBitmap::TakeFrom(TBitmap& source)
{
    if (&source == this)
        return;
    width_ = std::exchange(source.width_, 0);
    height_ = std::exchange(source.height_, 0);
    stride_ = std::exchange(source.stride_, 0);
    format_ = std::exchange(source.format_, TPixelFormat::pf24bit);
    palette_ = std::exchange(source.palette_, TPaletteHandle());
    bits_ = std::exchange(source.bits_, {});
    transparent_ = std::exchange(source.transparent_, false);
    hasTransparentColor_ = std::exchange(source.hasTransparentColor_, false);
    transparentColor_ = std::exchange(source.transparentColor_, clWhite);
    Changed();
}

void TBitmap::Assign(const TBitmap& source)
{
    if (&source == this)
        return;
    width_ = source.width_;
    height_ = source.height_;
    stride_ = source.stride_;
    format_ = source.format_;
    palette_ = source.palette_;
    bits_ = source.bits_;
    transparent_ = source.transparent_;
    hasTransparentColor_ = source.hasTransparentColor_;
    transparentColor_ = source.transparentColor_;
    Changed();
}

TColor TBitmap::TransparentColor() const
{
    if (hasTransparentColor_ || Empty())
        return transparentColor_;
    return Pixel(0, height_ - 1);
}

TBitmap TBitmap::MaskBitmap() const
{
    TBitmap mask(width_, height_, TPixelFormat::pf1bit);
    if (Empty())
        return mask;
    const uint32_t key = ValueOf(TransparentColor());
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x)
            mask.SetRawPixel(x, y, RawPixel(x, y) == key ? 1 : 0);
    return mask;
}

void TBitmap::Assign(const QImage& image)
{
    QImage img = image;
    TPixelFormat format = TPixelFormat::pf24bit;
    if (img.format() == QImage::Format_Mono || img.format() == QImage::Format_MonoLSB) {
        img = img.convertToFormat(QImage::Format_Mono);
        format = TPixelFormat::pf1bit;
    } else if (img.format() == QImage::Format_Indexed8) {
        format = img.colorCount() <= 16 && img.colorCount() > 2 ? TPixelFormat::pf4bit : TPixelFormat::pf8bit;
    } else if (img.hasAlphaChannel()) {
        img = img.convertToFormat(QImage::Format_ARGB32);
        format = TPixelFormat::pf32bit;
    } else {
        img = img.convertToFormat(QImage::Format_RGB32);
    }
    TBitmap result;
    result.format_ = format;
    if (IsIndexed(format)) {
        std::vector<TPaletteEntry> entries;
        for (QRgb c : img.colorTable())
            entries.push_back({uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c)), 0});
        if (entries.empty())
            result.palette_ = DefaultPalette(format);
        else
            result.palette_ = MakePalette(std::move(entries));
    }
    result.SetSize(img.width(), img.height());
    for (int y = 0; y < img.height(); ++y) {
        const uchar* src = img.constScanLine(y);
        uint8_t* dst = result.ScanLine(y);
        switch (format) {
        case TPixelFormat::pf1bit:
            std::memcpy(dst, src, size_t((img.width() + 7) / 8));
            break;
        case TPixelFormat::pf4bit:
            for (int x = 0; x < img.width(); ++x)
                result.SetRawPixel(x, y, src[x] & 0x0F);
            break;
        case TPixelFormat::pf8bit:
            std::memcpy(dst, src, size_t(img.width()));
            break;
        case TPixelFormat::pf24bit:
            for (int x = 0; x < img.width(); ++x) {
                const QRgb c = reinterpret_cast<const QRgb*>(src)[x];
                dst[3 * x] = uint8_t(qBlue(c)); dst[3 * x + 1] = uint8_t(qGreen(c)); dst[3 * x + 2] = uint8_t(qRed(c));
            }
            break;
        case TPixelFormat::pf32bit:
            std::memcpy(dst, src, size_t(img.width()) * 4); // ARGB32 is B,G,R,A in memory
            break;
        }
    }
    Assign(result);
}

QImage TBitmap::ToQImage() const
{
    QImage img(width_, height_, QImage::Format_RGB32);
    if (img.isNull())
        return img;
    for (int y = 0; y < height_; ++y) {
        auto* dst = reinterpret_cast<QRgb*>(img.scanLine(y));
        if (format_ == TPixelFormat::pf24bit || format_ == TPixelFormat::pf32bit) {
            const uint8_t* p = ScanLine(y);
            const int step = format_ == TPixelFormat::pf24bit ? 3 : 4;
            for (int x = 0; x < width_; ++x, p += step)
                dst[x] = qRgb(p[2], p[1], p[0]);
        } else {
            for (int x = 0; x < width_; ++x)
                dst[x] = 0xFF000000u | Pixel(x, y);
        }
    }
    return img;
}

void TBitmap::LoadFromStream(TStream& stream)
{
    const int64_t size = stream.Size() - stream.Position();
    if (size <= 0 || size > MaxBitmapBytes)
        throw Exception(kBitmapNotValid);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    stream.ReadBuffer(data.data(), size);
    ReadBmp(data, *this);
}

void TBitmap::SaveToStream(TStream& stream) const
{
    const int bits = BitsPerPixel(format_);
    const int colors = IsIndexed(format_) ? (palette_ ? std::min(palette_->Count(), 1 << bits) : 0) : 0;
    const uint32_t headerBytes = 14 + 40 + uint32_t(colors) * 4;
    const uint32_t pixelBytes = uint32_t(stride_) * uint32_t(height_);
    std::vector<uint8_t> out;
    out.reserve(headerBytes + pixelBytes);
    out.push_back('B');
    out.push_back('M');
    Put32(out, headerBytes + pixelBytes);
    Put32(out, 0);
    Put32(out, headerBytes);
    Put32(out, 40);
    Put32(out, uint32_t(width_));
    Put32(out, uint32_t(height_));
    Put16(out, 1);
    Put16(out, uint32_t(bits));
    Put32(out, 0);
    Put32(out, pixelBytes);
    Put32(out, 3780);
    Put32(out, 3780);
    Put32(out, uint32_t(colors));
    Put32(out, uint32_t(colors));
    for (int i = 0; i < colors; ++i) {
        const auto& e = (*palette_)[i];
        out.insert(out.end(), {e.Blue, e.Green, e.Red, 0});
    }
    for (int y = height_ - 1; y >= 0; --y)
        out.insert(out.end(), bits_.begin() + ptrdiff_t(y) * stride_, bits_.begin() + ptrdiff_t(y + 1) * stride_);
    stream.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

void TBitmap::Draw(TBitmap& canvas, const TRect& rect) const
{
    StretchBlt(canvas, rect.Left, rect.Top, rect.Width(), rect.Height(), *this, 0, 0, width_, height_, SRCCOPY);
}
