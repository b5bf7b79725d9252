// One frame: its descriptor, pixels, local colour table and extensions.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>

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
    pixelCount_ = 0;
    fill_ = 0;
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
    const int64_t at = static_cast<int64_t>(y) * descriptor_.Width + x;
    return at < StoredPixelCount() ? pixels_[static_cast<size_t>(at)] : fill_;
}

uint8_t* TGIFSubImage::Pixels()
{
    if (!allocated_)
        return nullptr;
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
