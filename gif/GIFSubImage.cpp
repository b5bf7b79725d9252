// One frame: its descriptor, pixels, local colour table and extensions.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>

namespace {

// The passes of an interlaced frame: every 8th row from row 0, every 8th
// from 4, every 4th from 2, every 2nd from 1.
constexpr int kPassStart[] = {0, 4, 2, 1};
constexpr int kPassStep[] = {8, 8, 4, 2};

// Position of a row in the order an interlaced frame sends its rows.
int64_t PassOrderRow(int row, int height)
{
    int64_t before = 0;
    for (int p = 0; p < 4; ++p) {
        if (row >= kPassStart[p] && (row - kPassStart[p]) % kPassStep[p] == 0)
            return before + (row - kPassStart[p]) / kPassStep[p];
        if (height > kPassStart[p])
            before += (height - kPassStart[p] + kPassStep[p] - 1) / kPassStep[p];
    }
    return row; // not reached: every row is in one pass
}

} // namespace

TGIFSubImage::TGIFSubImage(TMyGIFImage* image)
    : TGIFItem(image), localColors_(this), extensions_(image)
{
}

TGIFSubImage::~TGIFSubImage()
{
    // The extensions reset this frame's transparency state as they go.
    extensions_.Clear();
}

int TGIFSubImage::Version() const
{
    return (localColors_.Sorted() || extensions_.Count() > 0) ? 2 : 1;
}

bool TGIFSubImage::IsEmpty() const
{
    return !allocated_ || pixelCount_ == 0 || descriptor_.Width == 0 || descriptor_.Height == 0;
}

void TGIFSubImage::Clear()
{
    extensions_.Clear();
    localColors_.Clear();
    DropRenderedBitmap();
    DropTransparencyMask();
    FreePixels();
    PlaceFrame(descriptor_.Left, descriptor_.Top, descriptor_.Width, 0);
    PlaceFrame(descriptor_.Left, descriptor_.Top, 0, 0);
    hasTransparency_ = false;
    controlExtension_ = nullptr;
}

void TGIFSubImage::PlaceFrame(int left, int top, int width, int height)
{
    const bool resized = width != descriptor_.Width || height != descriptor_.Height;
    descriptor_.Left = static_cast<uint16_t>(std::clamp(left, 0, 0xFFFF));
    descriptor_.Top = static_cast<uint16_t>(std::clamp(top, 0, 0xFFFF));
    descriptor_.Width = static_cast<uint16_t>(std::clamp(width, 0, 0xFFFF));
    descriptor_.Height = static_cast<uint16_t>(std::clamp(height, 0, 0xFFFF));
    if (resized) {
        DropRenderedBitmap();
        DropTransparencyMask();
        AllocatePixels();
    }

    TMyGIFImage* image = OwnerImage();
    if (!image)
        return;
    bool warned = false;
    // The logical screen holds 16-bit sizes: a frame reaching further is
    // kept, and the screen stops at the largest size it can say.
    const int right = std::min(Left() + Width(), 0xFFFF);
    const int bottom = std::min(Top() + Height(), 0xFFFF);
    if (image->Width() < right) {
        if (image->Width() > 0) {
            Warn(GIFWarningSeverity, gifmsg::WidthTooSmall);
            warned = true;
        }
        image->Header().ScreenWidth = static_cast<uint16_t>(right);
    }
    if (image->Height() < bottom) {
        if (image->Height() > 0) {
            Warn(GIFWarningSeverity, gifmsg::HeightTooSmall);
            warned = true;
        }
        image->Header().ScreenHeight = static_cast<uint16_t>(bottom);
    }
    if (warned)
        Warn(GIFWarningSeverity, gifmsg::ExceedsScreen);
}

// ---- pixels -----------------------------------------------------------------

void TGIFSubImage::AllocatePixels()
{
    FreePixels();
    pixelCount_ = static_cast<int64_t>(descriptor_.Width) * descriptor_.Height;
    allocated_ = pixelCount_ > 0;
    if (!allocated_)
        pixelCount_ = 0;
    fill_ = 0;
}

void TGIFSubImage::FreePixels()
{
    std::vector<uint8_t>().swap(pixels_);
    allocated_ = false;
    passOrder_ = false;
    pixelCount_ = 0;
    fill_ = 0;
}

int64_t TGIFSubImage::StoredRowStart(int row) const
{
    const int64_t at = passOrder_ ? PassOrderRow(row, descriptor_.Height) : row;
    return at * descriptor_.Width;
}

void TGIFSubImage::StoreInRowOrder()
{
    if (!passOrder_)
        return;
    passOrder_ = false;
    const int64_t width = descriptor_.Width;
    const int64_t stored = StoredPixelCount();
    if (stored == 0 || width == 0)
        return;
    // Up to the lowest row that holds anything; the rest is fill as ever.
    int64_t extent = 0;
    for (int y = 0; y < descriptor_.Height; ++y)
        if (PassOrderRow(y, descriptor_.Height) * width < stored)
            extent = std::max(extent, (y + 1) * width);
    std::vector<uint8_t> rows(static_cast<size_t>(extent), fill_);
    for (int y = 0; y < descriptor_.Height; ++y) {
        const int64_t from = PassOrderRow(y, descriptor_.Height) * width;
        if (from < stored)
            std::copy_n(pixels_.begin() + from, std::min(width, stored - from), rows.begin() + y * width);
    }
    pixels_.swap(rows);
}

void TGIFSubImage::EnsurePixels()
{
    if (!allocated_)
        AllocatePixels();
    if (pixelCount_ == 0)
        RaiseGIFError(gifmsg::ImageEmpty);
}

void TGIFSubImage::MaterialiseTo(int64_t extent)
{
    extent = std::min(extent, pixelCount_);
    if (extent > StoredPixelCount())
        pixels_.resize(static_cast<size_t>(extent), fill_);
}

void TGIFSubImage::CheckRow(int row) const
{
    if (row < 0 || row >= descriptor_.Height)
        RaiseGIFError(gifmsg::InvalidPixelCoordinates);
}

uint8_t* TGIFSubImage::PixelRow(int row)
{
    CheckRow(row);
    EnsurePixels();
    StoreInRowOrder();
    const int64_t start = static_cast<int64_t>(row) * descriptor_.Width;
    MaterialiseTo(start + descriptor_.Width);
    return pixels_.data() + start;
}

uint8_t TGIFSubImage::PixelAt(int x, int y)
{
    if (x < 0 || x >= descriptor_.Width)
        RaiseGIFError(gifmsg::InvalidPixelCoordinates);
    CheckRow(y);
    EnsurePixels();
    const int64_t at = StoredRowStart(y) + x;
    return at < StoredPixelCount() ? pixels_[static_cast<size_t>(at)] : fill_;
}

uint8_t* TGIFSubImage::Pixels()
{
    if (!allocated_)
        return nullptr;
    StoreInRowOrder();
    MaterialiseTo(pixelCount_);
    return pixels_.data();
}

TGIFColorMap& TGIFSubImage::EffectiveColorMap()
{
    if (localColors_.EntryCount() > 0)
        return localColors_;
    if (OwnerImage() && OwnerImage()->GlobalColors().EntryCount() > 0)
        return OwnerImage()->GlobalColors();
    return localColors_;
}

void TGIFSubImage::LocalColorsChanged()
{
    SetPalette(nullptr);
}

// ---- reading ------------------------------------------------------------------

void TGIFSubImage::LoadFromStream(TStream& stream)
{
    Clear();
    extensions_.LoadFromStream(stream, this);

    uint8_t b = 0;
    if (!TryReadByte(stream, b))
        return;
    StepBack(stream);
    // Extensions followed by the trailer or a zero byte make a frame of
    // their own without an image.
    if (b == 0x3B || b == 0)
        return;

    uint8_t raw[10];
    ReadExact(stream, raw, 10);
    descriptor_.Separator = raw[0];
    descriptor_.Left = GetLE16(raw + 1);
    descriptor_.Top = GetLE16(raw + 3);
    descriptor_.Width = GetLE16(raw + 5);
    descriptor_.Height = GetLE16(raw + 7);
    descriptor_.ImageFlags = raw[9];

    if (descriptor_.Width == 0 || descriptor_.Height == 0) {
        if (OwnerImage()) {
            descriptor_.Height = static_cast<uint16_t>(OwnerImage()->Height());
            descriptor_.Width = static_cast<uint16_t>(OwnerImage()->Width());
        }
        Warn(GIFWarningSeverity, gifmsg::ExceedsScreen);
    }
    if (descriptor_.ImageFlags & 0x80)
        localColors_.LoadColors(stream, 2 << (descriptor_.ImageFlags & 7));
    DecodePixels(*this, stream);
}
