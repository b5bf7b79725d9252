// Rows between memory and platform bitmaps: the writer fills one block in
// BMP layout and loads it into the bitmap in one go; the reader serves the
// bitmap's own rows.
#include "GIFInternal.h"
#include "mygifimage.h"
#include "platform/GdiExtras.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace {

constexpr int kInfoHeaderSize = 40;
constexpr int kColorTableEntries = 256;

void PutLE16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLE32(uint8_t* p, uint32_t v)
{
    PutLE16(p, v & 0xFFFF);
    PutLE16(p + 2, v >> 16);
}

} // namespace

TDIBWriter::TDIBWriter(TBitmap& bitmap, TPaletteHandle palette, int height, int width, TPixelFormat format)
    : TDIB(bitmap, format), palette_(std::move(palette)), width_(width), height_(height), stride_(0),
      unwinding_(std::uncaught_exceptions())
{
    if (format != TPixelFormat::pf8bit && format != TPixelFormat::pf24bit)
        RaiseGIFError(gifmsg::UnsupportedPixelFormat);
    if (width <= 0 || height == 0)
        RaiseGIFError(gifmsg::InvalidDimensions);
    stride_ = DibStride(width, BitsPerPixel(format));
}

TDIBWriter::~TDIBWriter()
{
    // A writer given up by an exception writes nothing; otherwise the rows
    // reach the bitmap even when the caller did not flush.
    if (!file_.empty() && std::uncaught_exceptions() == unwinding_) {
        try {
            FlushToBitmap();
        } catch (...) {
        }
    }
}

void TDIBWriter::MakeBlocks()
{
    made_ = true;
    const bool indexed = format_ == TPixelFormat::pf8bit;
    headerSize_ = kInfoHeaderSize + (indexed ? kColorTableEntries * 4 : 0);
    const int64_t rows = height_ < 0 ? -int64_t(height_) : int64_t(height_);
    pixelSize_ = int64_t(stride_) * rows;
    const int64_t total = kFileHeaderSize + headerSize_ + pixelSize_;
    if (pixelSize_ > MaxBitmapBytes) {
        ReleaseBlocks();
        throw EOutOfMemory(gifmsg::DIBAllocation);
    }
    try {
        file_.assign(static_cast<size_t>(total), 0);
    } catch (const std::bad_alloc&) {
        ReleaseBlocks();
        throw EOutOfMemory(gifmsg::DIBAllocation);
    }

    uint8_t* h = file_.data() + kFileHeaderSize;
    PutLE32(h, kInfoHeaderSize);
    PutLE32(h + 4, static_cast<uint32_t>(width_));
    PutLE32(h + 8, static_cast<uint32_t>(height_));
    PutLE16(h + 12, 1);
    PutLE16(h + 14, static_cast<uint32_t>(BitsPerPixel(format_)));
    // Compression, image size and both resolutions stay 0.
    if (indexed) {
        const int copied = palette_ ? std::min(palette_->Count(), kColorTableEntries) : 0;
        PutLE32(h + 32, kColorTableEntries);
        PutLE32(h + 36, static_cast<uint32_t>(copied));
        uint8_t* quad = h + kInfoHeaderSize;
        for (int i = 0; i < copied; ++i, quad += 4) {
            const TPaletteEntry& e = (*palette_)[i];
            quad[0] = e.Blue;
            quad[1] = e.Green;
            quad[2] = e.Red;
            quad[3] = 0;
        }
    }
}

void TDIBWriter::ReleaseBlocks()
{
    std::vector<uint8_t>().swap(file_);
    headerSize_ = 0;
    pixelSize_ = 0;
}

uint8_t* TDIBWriter::RowPointer(int row)
{
    if (!made_)
        MakeBlocks();
    if (file_.empty())
        RaiseGIFError(gifmsg::NoDIB);
    const int rows = height_ < 0 ? -height_ : height_;
    if (row < 0 || row >= rows)
        throw EInvalidGraphicOperation(gifmsg::ScanLineRange);
    const int64_t line = height_ > 0 ? int64_t(rows - 1 - row) : int64_t(row);
    return file_.data() + kFileHeaderSize + headerSize_ + line * stride_;
}

void TDIBWriter::FlushToBitmap()
{
    if (file_.empty())
        return;
    uint8_t* f = file_.data();
    f[0] = 'B';
    f[1] = 'M';
    PutLE32(f + 2, static_cast<uint32_t>(file_.size()));
    PutLE32(f + 6, 0);
    PutLE32(f + 10, static_cast<uint32_t>(kFileHeaderSize + headerSize_));
    // The blocks go whatever happens next.
    const int headerSize = headerSize_;
    std::vector<uint8_t> file = std::move(file_);
    ReleaseBlocks();
    // The block is a complete BMP file, but our own and well formed: the
    // bitmap takes its colour table and rows as the BMP reader would,
    // without the reader's two further copies of the whole picture.
    const bool indexed = format_ == TPixelFormat::pf8bit;
    std::vector<TPaletteEntry> colors;
    if (indexed) {
        const uint8_t* quad = file.data() + kFileHeaderSize + kInfoHeaderSize;
        for (int i = 0; i < kColorTableEntries; ++i, quad += 4)
            colors.push_back({quad[2], quad[1], quad[0], 0});
    }
    const int rows = height_ < 0 ? -height_ : height_;
    bitmap_.SetSize(0, 0);
    bitmap_.SetPixelFormat(format_);
    bitmap_.SetPalette(indexed ? MakePalette(std::move(colors)) : TPaletteHandle());
    bitmap_.SetSize(width_, rows);
    const uint8_t* pixels = file.data() + kFileHeaderSize + headerSize;
    const size_t bytes = size_t(std::min(stride_, bitmap_.RowBytes()));
    for (int row = 0; row < rows; ++row) {
        const int64_t line = height_ > 0 ? int64_t(rows - 1 - row) : int64_t(row);
        std::memcpy(bitmap_.ScanLine(row), pixels + line * stride_, bytes);
    }
}

TDIBReader::TDIBReader(TBitmap& bitmap, TPixelFormat format) : TDIB(bitmap, format)
{
    bitmap.SetPixelFormat(format);
}

uint8_t* TDIBReader::RowPointer(int row)
{
    if (row < 0 || row >= bitmap_.Height())
        throw EInvalidGraphicOperation(gifmsg::ScanLineRange);
    return bitmap_.ScanLine(row);
}
