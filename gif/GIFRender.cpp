// Frames to bitmaps: plain and dithered rendering with transparency masks,
// the palettes of frames and image, the image bitmap the catalogue copies,
// and painting frames into rectangles of a canvas.
#include "GIFInternal.h"
#include "mygifimage.h"
#include "platform/GdiExtras.h"
#include "platform/RasterOps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Larger frames start out in the 1-bit format, so that no true-colour
// bitmap of their size is made before the 8-bit pixels replace it.
constexpr int64_t kDeviceIndependentPixels = 500000;
constexpr int kProgressRows = 32;

// A GIF may claim 65535 x 65535 pixels in a few bytes. Beyond 8192 x 8192
// a picture is only made when the stream supplied at least a sixteenth of
// its pixels, so memory follows the data, not the header.
constexpr int64_t kFreePixels = int64_t(8192) * 8192;
constexpr int64_t kEarnedShare = 16;

void CheckAffordable(int width, int height, int bits, int64_t earnedPixels)
{
    const int64_t pixels = int64_t(width) * height;
    const int64_t bytes = int64_t(DibStride(width, bits)) * height;
    if ((pixels > kFreePixels && pixels > earnedPixels * kEarnedShare) || bytes > MaxBitmapBytes)
        throw EOutOfMemory(gifmsg::DIBAllocation);
#ifdef GMB_FUZZ_CANVAS_LIMIT
    // Fuzzing builds: a run spends its time in the codec, not in filling
    // pictures of the largest size a header may claim.
    if (pixels > GMB_FUZZ_CANVAS_LIMIT)
        throw EOutOfMemory(gifmsg::DIBAllocation);
#endif
}

} // namespace

int GIFMulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const int64_t p = int64_t(a) * b;
    int64_t q = p / c;
    const int64_t r = p % c;
    // Half away from zero: compare twice the remainder with the divisor.
    if (2 * std::llabs(r) >= std::llabs(int64_t(c)))
        q += ((p < 0) != (c < 0)) ? -1 : 1;
    return static_cast<int>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
}

bool PalettedDisplay()
{
    static const bool paletted = [] {
        const int bits = ScreenBitsPerPixel();
        return bits > 0 && bits < 9;
    }();
    return paletted;
}

// ---- frame ------------------------------------------------------------------

// Mask rows padded to 16 bits, 1 = transparent, while a frame renders.
struct TGIFSubImage::TMaskRows {
    bool wanted = false;
    bool any = false;
    uint8_t transparent = 0;
    int stride = 0;
    std::vector<uint8_t> bits;

    void Set(int x, int y)
    {
        bits[size_t(y) * size_t(stride) + size_t(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        any = true;
    }
};

std::recursive_mutex& TGIFSubImage::RenderLock()
{
    return OwnerImage() ? OwnerImage()->RenderLock() : ownLock_;
}

void TGIFSubImage::RenderProgress(TProgressStage stage, int percent, bool redraw)
{
    if (OwnerImage())
        OwnerImage()->Progress(*this, stage, percent, redraw, TGIFRect{}, gifmsg::Rendering);
}

void TGIFSubImage::DropRenderedBitmap()
{
    std::lock_guard guard(RenderLock());
    rendered_.reset();
}

void TGIFSubImage::DropTransparencyMask()
{
    std::lock_guard guard(RenderLock());
    mask_.reset();
    maskPending_ = true;
}

TBitmap* TGIFSubImage::RenderedBitmap()
{
    TMyGIFImage* image = OwnerImage();
    bool replaced = false;
    TBitmap* result = nullptr;
    {
        std::lock_guard guard(RenderLock());
        if (rendered_)
            return rendered_.get();
        if (IsEmpty())
            return nullptr;
        try {
            RenderProgress(TProgressStage::Starting, 0, false);
            rendered_ = (image && image->ShouldDither()) ? RenderDithered() : RenderPlain();
            replaced = image && image->PaletteReplaced;
            RenderProgress(TProgressStage::Ending, 100, replaced);
        } catch (const EAbort&) {
            // Cancelled by a progress handler: no picture, and the next
            // request renders again.
        }
        result = rendered_.get();
    }
    // Told after the render lock is released (see SetPalette).
    if (replaced)
        image->NotifyChanged();
    return result;
}

bool TGIFSubImage::HasTransparencyMask()
{
    std::lock_guard guard(RenderLock());
    if (maskPending_ && HasTransparency()) {
        rendered_.reset();
        RenderedBitmap();
    }
    return mask_ != nullptr;
}

std::unique_ptr<TBitmap> TGIFSubImage::NewRenderBitmap()
{
    auto bitmap = std::make_unique<TBitmap>();
    if (int64_t(Width()) * Height() > kDeviceIndependentPixels)
        bitmap->SetPixelFormat(TPixelFormat::pf1bit);
    return bitmap;
}

// Copies row y of the indices into out (Width bytes): what the stream
// supplied, the fill index beyond it. Reading never materialises storage.
static void CopySourceRow(TGIFSubImage& frame, int y, uint8_t* out)
{
    const int64_t width = frame.Width();
    const int64_t start = frame.StoredRowStart(y);
    const int64_t have = std::clamp<int64_t>(frame.StoredPixelCount() - start, 0, width);
    if (have > 0)
        std::memcpy(out, frame.StoredPixels() + start, size_t(have));
    std::memset(out + have, frame.FillIndex(), size_t(width - have));
}

void TGIFSubImage::FinishMask(TMaskRows& rows)
{
    if (!rows.wanted || !rows.any)
        return;
    auto mask = std::make_unique<TBitmap>(Width(), Height(), TPixelFormat::pf1bit);
    const size_t bytes = size_t(std::min(rows.stride, mask->RowBytes()));
    for (int y = 0; y < Height(); ++y) {
        uint8_t* row = mask->ScanLine(y);
        std::memset(row, 0, size_t(mask->RowBytes()));
        std::memcpy(row, rows.bits.data() + size_t(y) * size_t(rows.stride), bytes);
    }
    mask_ = std::move(mask);
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderPlain()
{
    return Render(false);
}

std::unique_ptr<TBitmap> TGIFSubImage::RenderDithered()
{
    return Render(true);
}

std::unique_ptr<TBitmap> TGIFSubImage::Render(bool dithered)
{
    std::lock_guard guard(RenderLock());
    CheckAffordable(Width(), Height(), 8, StoredPixelCount());
    std::unique_ptr<TBitmap> bitmap = NewRenderBitmap();
    if (IsEmpty()) {
        bitmap->SetWidth(Width());
        bitmap->SetHeight(Height());
        bitmap->SetPalette(PaletteHandle());
        return bitmap;
    }
    const bool pendingBefore = maskPending_;
    try {
        // Dithering asks for the palette first: it is the cube then.
        const TPaletteHandle palette = PaletteHandle();
        TNetscapeColorLookup lookup;
        TFloydSteinbergDitherer ditherer(dithered ? Width() : 0, lookup);
        TDIBWriter writer(*bitmap, palette, Height(), Width(), TPixelFormat::pf8bit);

        // Indices past the colour table are black, as in the palette.
        uint8_t rgb[256][3] = {};
        if (const TGIFColorMap& colors = EffectiveColorMap(); dithered && colors.EntryCount() > 0)
            std::memcpy(rgb, colors.Entries(), size_t(std::min(colors.EntryCount(), 256)) * 3);

        TMaskRows mask;
        mask.wanted = maskPending_ && HasTransparency();
        maskPending_ = false;
        uint8_t fill = 0;
        if (mask.wanted) {
            mask.transparent = ControlExtension() ? ControlExtension()->TransparentIndex() : 0;
            mask.stride = (Width() + 15) / 16 * 2;
            mask.bits.assign(size_t(mask.stride) * size_t(Height()), 0);
            // Transparent pixels of a dithered frame get the cube index of
            // their colour (216 for white, past the cube).
            const uint8_t* t = rgb[mask.transparent];
            fill = static_cast<uint8_t>(GIFMulDiv(36, t[0], 51) + GIFMulDiv(6, t[1], 51) + t[2] / 51 + 1);
        }
        std::vector<uint8_t> source(dithered ? static_cast<size_t>(Width()) : 0);
        for (int y = 0; y < Height(); ++y) {
            uint8_t* row = writer.RowPointer(y);
            if (y % kProgressRows == 0)
                RenderProgress(TProgressStage::Running, GIFMulDiv(y, 100, Height()), false);
            if (!dithered) {
                CopySourceRow(*this, y, row);
                if (mask.wanted)
                    for (int x = 0; x < Width(); ++x)
                        if (row[x] == mask.transparent)
                            mask.Set(x, y);
                continue;
            }
            if (mask.wanted)
                std::memset(row, fill, size_t(Width()));
            CopySourceRow(*this, y, source.data());
            // Serpentine: the ditherer says which way this row runs.
            const int step = ditherer.Direction();
            int x = step > 0 ? 0 : Width() - 1;
            for (int n = 0; n < Width(); ++n, x += step) {
                const uint8_t index = source[size_t(x)];
                if (mask.wanted && index == mask.transparent) {
                    mask.Set(x, y);
                    ditherer.AdvanceColumn();
                } else {
                    row[x] = ditherer.DitherPixel(rgb[index][0], rgb[index][1], rgb[index][2], nullptr);
                }
            }
            ditherer.AdvanceRow();
        }
        writer.FlushToBitmap();
        FinishMask(mask);
    } catch (...) {
        // A rendering that did not finish leaves the mask to the next one.
        if (!mask_)
            maskPending_ = pendingBefore;
        throw;
    }
    return bitmap;
}

TPaletteHandle TGIFSubImage::PaletteHandle()
{
    std::lock_guard guard(RenderLock());
    if (rendered_ && rendered_->Palette())
        return rendered_->Palette();
    if (cachedPalette_)
        return cachedPalette_;
    TMyGIFImage* image = OwnerImage();
    if (image && image->ShouldDither())
        return cachedPalette_ = CubePalette();
    if (localColors_.EntryCount() > 0)
        return cachedPalette_ = localColors_.MakePalette();
    return image ? image->PaletteHandle() : nullptr;
}

void TGIFSubImage::SetPalette(TPaletteHandle palette)
{
    bool replaced = false;
    {
        std::lock_guard guard(RenderLock());
        cachedPalette_ = std::move(palette);
        replaced = rendered_ && !SamePalette(rendered_->Palette(), cachedPalette_);
        if (replaced)
            rendered_.reset();
    }
    // Change handlers run outside the render lock, which the painter thread
    // takes while it renders ahead.
    if (replaced) {
        if (TMyGIFImage* image = OwnerImage()) {
            image->PaletteReplaced = true;
            image->NotifyChanged();
        }
    }
}

TRect TGIFSubImage::FrameRectIn(const TRect& r) const
{
    const TMyGIFImage* image = OwnerImage();
    const int sw = image ? image->Width() : Left() + Width();
    const int sh = image ? image->Height() : Top() + Height();
    const int w = r.Right - r.Left, h = r.Bottom - r.Top;
    return Rect(r.Left + GIFMulDiv(Left(), w, sw), r.Top + GIFMulDiv(Top(), h, sh),
                r.Left + GIFMulDiv(Left() + Width(), w, sw), r.Top + GIFMulDiv(Top() + Height(), h, sh));
}

void TGIFSubImage::PaintTo(TBitmap& canvas, const TRect& rect, bool transparent, bool tiled)
{
    std::lock_guard guard(RenderLock());
    const TRect r = tiled ? rect : FrameRectIn(rect);
    const TMyGIFImage* image = OwnerImage();
    // Tiles step by the logical screen; never by nothing.
    const int stepX = std::max(1, image ? image->Width() : Left() + Width());
    const int stepY = std::max(1, image ? image->Height() : Top() + Height());
    auto eachTile = [&](auto paint) {
        for (int64_t x = int64_t(r.Left) + Left(); x < r.Right; x += stepX)
            for (int64_t y = int64_t(r.Top) + Top(); y < r.Bottom; y += stepY)
                paint(static_cast<int>(x), static_cast<int>(y));
    };

    if (transparent && HasTransparency() && HasTransparencyMask()) {
        const TBitmap* bitmap = RenderedBitmap();
        if (!bitmap)
            return;
        const TBitmap& mask = *mask_;
        if (tiled)
            eachTile([&](int x, int y) { MaskedBlit(canvas, x, y, Width(), Height(), *bitmap, Width(), Height(), mask); });
        else
            MaskedBlit(canvas, r.Left, r.Top, r.Width(), r.Height(), *bitmap, Width(), Height(), mask);
        // Lets the canvas's owner know (the raster operations do not).
        canvas.SetPalette(canvas.Palette());
        return;
    }
    const TBitmap* bitmap = RenderedBitmap();
    if (!bitmap)
        return;
    if (tiled)
        eachTile([&](int x, int y) { bitmap->Draw(canvas, Rect(x, y, x + Width(), y + Height())); });
    else
        bitmap->Draw(canvas, r);
}

void MaskedBlit(TBitmap& dest, int x, int y, int w, int h, const TBitmap& source, int sw, int sh,
                const TBitmap& mask)
{
    if (w == sw && h == sh) {
        MaskBlt(dest, x, y, w, h, source, 0, 0, mask, 0, 0);
        return;
    }
    if (w == 0 || h == 0 || sw == 0 || sh == 0)
        return;
    // Source and mask are stretched alike and then copied through the
    // mask in one go. (Painting with AND and OR, the other way, combines
    // palette indices on an indexed destination.)
    const int aw = std::abs(w), ah = std::abs(h);
    TBitmap work(aw, ah, dest.PixelFormat());
    if (IsIndexed(dest.PixelFormat()) && dest.Palette())
        work.SetPalette(dest.Palette());
    StretchBlt(work, w < 0 ? aw : 0, h < 0 ? ah : 0, w, h, source, 0, 0, sw, sh, SRCCOPY);
    TBitmap stretchedMask(aw, ah, TPixelFormat::pf1bit);
    StretchBlt(stretchedMask, w < 0 ? aw : 0, h < 0 ? ah : 0, w, h, mask, 0, 0, sw, sh, SRCCOPY);
    MaskBlt(dest, x + std::min(w, 0), y + std::min(h, 0), aw, ah, work, 0, 0, stretchedMask, 0, 0);
}

// ---- image ------------------------------------------------------------------

bool TMyGIFImage::ShouldDither() const
{
    return (DrawOptions & dfDither) != 0 && ((DrawOptions & dfDitherIfPaletted) == 0 || PalettedDisplay());
}

TPaletteHandle TMyGIFImage::PaletteHandle()
{
    std::lock_guard guard(renderLock_);
    // The first frame without a table asks the image again: that is the
    // image without any colour table.
    if (paletteBusy_)
        RaiseGIFError(gifmsg::NoColorTable);
    paletteBusy_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{paletteBusy_};

    if (imageBitmap_ && imageBitmap_->Palette())
        return imageBitmap_->Palette();
    if (cachedPalette_)
        return cachedPalette_;
    if (ShouldDither())
        return cachedPalette_ = CubePalette();
    if (GlobalColors().EntryCount() > 0)
        return cachedPalette_ = GlobalColors().MakePalette();
    if (FrameCount() == 0)
        return nullptr;
    return Frame(0)->PaletteHandle();
}

void TMyGIFImage::SetPalette(TPaletteHandle palette)
{
    bool replaced = false;
    {
        std::lock_guard guard(renderLock_);
        if (palette == cachedPalette_)
            return;
        cachedPalette_ = std::move(palette);
        replaced = imageBitmap_ && !SamePalette(imageBitmap_->Palette(), cachedPalette_);
    }
    // Outside the render lock: dropping waits for the painter, which may be
    // rendering under that lock, and change handlers may draw.
    if (replaced) {
        DropImageBitmap();
        PaletteReplaced = true;
        Changed();
    }
}

static int64_t StoredPixelsOf(const TMyGIFImage& image)
{
    int64_t n = 0;
    for (int i = 0; i < image.FrameCount(); ++i)
        n += image.Frame(i)->StoredPixelCount();
    return n;
}

TBitmap* TMyGIFImage::ImageBitmap()
{
    std::lock_guard guard(renderLock_);
    if (FrameCount() == 0)
        return nullptr;
    if (imageBitmap_)
        return imageBitmap_.get();

    auto bitmap = std::make_unique<TBitmap>();
    TGIFSubImage& first = *Frame(0);
    if (first.Width() == Width() && first.Height() == Height()) {
        if (const TBitmap* rendered = first.RenderedBitmap())
            bitmap->Assign(*rendered);
    } else {
        CheckAffordable(Width(), Height(), 24, StoredPixelsOf(*this));
        bitmap->SetPalette(PaletteHandle());
        bitmap->SetSize(Width(), Height());
        // Opaque, at the frame's own place; the rest keeps the white of a
        // new bitmap.
        first.PaintTo(*bitmap, Rect(0, 0, Width(), Height()), false, false);
    }
    // Wired once the picture is complete, so that nobody is told about (and
    // repaints from) a half-made one.
    bitmap->OnChange = [this](TGraphic&) { Changed(); };
    imageBitmap_ = std::move(bitmap);
    return imageBitmap_.get();
}

TBitmap& TMyGIFImage::BlankImageBitmap()
{
    std::lock_guard guard(renderLock_);
    if (imageBitmap_)
        return *imageBitmap_;
    CheckAffordable(Width(), Height(), 24, StoredPixelsOf(*this));
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPalette(PaletteHandle());
    // Both at once: a bitmap of height only trips the platform's resize.
    bitmap->SetSize(Width(), Height());
    bitmap->OnChange = [this](TGraphic&) { Changed(); };
    imageBitmap_ = std::move(bitmap);
    return *imageBitmap_;
}

void TMyGIFImage::DropImageBitmap()
{
    // The current painter paints into the image bitmap: it goes first.
    HaltCurrentPainter();
    FreeImageBitmap();
}

void TMyGIFImage::FreeImageBitmap()
{
    std::lock_guard painters(drawState_->lock);
    std::lock_guard guard(renderLock_);
    if (!imageBitmap_)
        return;
    // A painter halted up the stack (synchronous, or in a step or event of
    // its own) may still be inside a call on the bitmap: it keeps it until
    // it is released.
    for (TGIFPainter* painter : painters_) {
        if (&painter->canvas_ == imageBitmap_.get()) {
            painter->retiredCanvas_ = std::move(imageBitmap_);
            return;
        }
    }
    imageBitmap_.reset();
}

void TMyGIFImage::AssignTo(TBitmap& dest) const
{
    if (const TBitmap* bitmap = const_cast<TMyGIFImage*>(this)->ImageBitmap())
        dest.Assign(*bitmap);
    else
        dest.Assign(TBitmap());
}
