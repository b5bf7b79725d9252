// Turning any picture into a frame: another frame copied, bitmaps of 1, 4
// and 8 bits taken over with their palette, deeper ones reduced first;
// icons and metafiles drawn, with their transparency as a transparent index.
#include "GIFInternal.h"
#include "mygifimage.h"
#include "platform/Exception.h"
#include "platform/Icon.h"
#include "platform/Picture.h"
#include "platform/RasterOps.h"
#include "platform/Stream.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <typeinfo>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#include <cstdlib>
#endif

namespace {

constexpr const char* kConverting = "Converting...";
constexpr const char* kNotSupported = "Object type not supported for operation";
constexpr int kRing = 8;

std::string ClassName(const std::type_info& type)
{
#if __has_include(<cxxabi.h>)
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    if (name) {
        std::string result(name);
        std::free(name);
        return result;
    }
#endif
    return type.name();
}

// A 24-bit bitmap of the graphic's size with the graphic drawn at (0, 0)
// over the given background.
TBitmap DrawnOver(const TGraphic& graphic, TColor background)
{
    TBitmap canvas(graphic.Width(), graphic.Height(), TPixelFormat::pf24bit);
    if (background != clWhite)
        canvas.Fill(background);
    graphic.Draw(canvas, Rect(0, 0, graphic.Width(), graphic.Height()));
    return canvas;
}

} // namespace

void TGIFColorMap::FromDIBColors(const TBitmap& bitmap)
{
    // The colour table as the bitmap stores it: blue, green, red, reserved.
    std::array<uint8_t, 1024> quads{};
    int n = 0;
    if (const TPaletteHandle palette = bitmap.Palette()) {
        n = std::min(palette->Count(), MaxColors);
        for (int i = 0; i < n; ++i) {
            const TPaletteEntry& e = (*palette)[i];
            quads[size_t(i) * 4] = e.Blue;
            quads[size_t(i) * 4 + 1] = e.Green;
            quads[size_t(i) * 4 + 2] = e.Red;
        }
    }
    FromColorTable(quads.data(), n);
    ColorsChanged();
}

void TGIFSubImage::ConvertProgress(TProgressStage stage, int percent)
{
    if (OwnerImage())
        OwnerImage()->Progress(*this, stage, percent, false, TGIFRect{}, kConverting);
}

void TGIFSubImage::Assign(const TGIFSubImage& source)
{
    if (&source == this)
        return;
    Clear();
    if (source.IsEmpty())
        return;
    PlaceFrame(source.Left(), source.Top(), source.Width(), source.Height());
    descriptor_.ImageFlags = source.descriptor_.ImageFlags;
    pixels_ = source.pixels_;
    pixelCount_ = source.pixelCount_;
    allocated_ = source.allocated_;
    // Interlaced frames may still hold their rows pass by pass.
    passOrder_ = source.passOrder_;
    fill_ = source.fill_;
    localColors_.Assign(source.localColors_);
    // The extensions travel as the writer writes them and the reader reads
    // them, so each one comes back owned by this frame.
    TMemoryStream stream;
    source.extensions_.SaveToStream(stream);
    stream.Seek(0, SeekOrigin::Begin);
    extensions_.LoadFromStream(stream, this);
    hasTransparency_ = source.hasTransparency_;
    if (source.rendered_)
        rendered_ = std::make_unique<TBitmap>(*source.rendered_);
}

void TGIFSubImage::Assign(const TPicture& picture) { Assign(picture.Graphic()); }

void TGIFSubImage::Assign(const TGIFObject& other)
{
    if (const auto* frame = dynamic_cast<const TGIFSubImage*>(&other))
        return Assign(*frame);
    if (const auto* graphic = dynamic_cast<const TGraphic*>(&other))
        return Assign(graphic);
    throw EConvertError(Format("Cannot assign a %s to a %s", ClassName(typeid(other)).c_str(), "TGIFSubImage"));
}

void TGIFSubImage::Assign(const TGraphic* graphic)
{
    if (!graphic) {
        Clear();
        return;
    }
    if (const auto* bitmap = dynamic_cast<const TBitmap*>(graphic)) {
        AssignBitmap(*bitmap);
        return;
    }
    Clear();
    if (graphic->Empty())
        return;
    const auto* icon = dynamic_cast<const TIcon*>(graphic);
    const bool drawn = icon || graphic->Transparent();
    TBitmap bitmap;
    if (drawn) {
        try {
            bitmap = DrawnOver(*graphic, clWhite);
        } catch (const Exception&) {
            graphic->AssignTo(bitmap);
        }
    } else {
        try {
            graphic->AssignTo(bitmap);
        } catch (const Exception&) {
            bitmap = DrawnOver(*graphic, clWhite);
        }
    }
    AssignBitmap(bitmap);
    if (IsEmpty())
        return;
    if (icon) {
        AddTransparencyFromMask(icon->MaskBitmap());
    } else if (graphic->Transparent()) {
        // Where the background shows through, drawing over white and over
        // black differ; exclusive or leaves exactly those pixels non-zero.
        TBitmap mask = DrawnOver(*graphic, clWhite);
        const TBitmap black = DrawnOver(*graphic, clBlack);
        BitBlt(mask, 0, 0, mask.Width(), mask.Height(), black, 0, 0, SRCINVERT);
        AddTransparencyFromMask(mask);
    }
}

void TGIFSubImage::AssignBitmap(const TBitmap& source)
{
    Clear();
    if (source.Empty())
        return;
    PlaceFrame(Left(), Top(), source.Width(), source.Height());
    std::unique_ptr<TBitmap> rendered;
    const TPixelFormat format = source.PixelFormat();
    if (format == TPixelFormat::pf1bit || format == TPixelFormat::pf4bit || format == TPixelFormat::pf8bit) {
        rendered = std::make_unique<TBitmap>(source);
    } else {
        // Reduction reads its source as 24 bits; the caller's bitmap keeps its own.
        TBitmap work(source);
        const TMyGIFImage* image = OwnerImage();
        rendered = ReduceBitmapColors(work, image ? image->ColorReduction : 6, image ? image->DitherMode : 0, nullptr,
                                      image ? image->ReductionBits : 8);
    }
    if (rendered->Empty())
        RaiseGIFError(gifmsg::ImageEmpty);
    EnsurePixels();
    ConvertProgress(TProgressStage::Starting, 0);
    try {
        ImportRows(*rendered);
        if (source.Transparent())
            AddTransparencyFromMask(source.MaskBitmap());
    } catch (...) {
        ConvertProgress(TProgressStage::Ending, 0);
        throw;
    }
    ConvertProgress(TProgressStage::Ending, 100);
}

void TGIFSubImage::ImportRows(TBitmap& bitmap)
{
    const int width = Width(), height = Height();
    uint8_t* pixels = Pixels();
    TPixelFormat format = bitmap.PixelFormat();
    if (format != TPixelFormat::pf1bit && format != TPixelFormat::pf4bit && format != TPixelFormat::pf8bit)
        format = TPixelFormat::pf24bit;
    TDIBReader reader(bitmap, format);
    if (format == TPixelFormat::pf8bit)
        localColors_.FromDIBColors(bitmap);
    else if (format != TPixelFormat::pf24bit && bitmap.Palette())
        localColors_.FromPalette(*bitmap.Palette());

    // 24 bits: a ring of the last colours met, searched from the last hit.
    std::array<TColor, kRing> ringColor;
    ringColor.fill(0xFFFFFFFF);
    std::array<int, kRing> ringIndex{};
    int lastHit = 0, lastStored = kRing - 1;
    for (int y = 0; y < height; ++y) {
        if (y % 32 == 0)
            ConvertProgress(TProgressStage::Running, GIFMulDiv(y, 100, height));
        const uint8_t* src = reader.RowPointer(y);
        uint8_t* dst = pixels + int64_t(y) * width;
        switch (format) {
        case TPixelFormat::pf8bit: std::memcpy(dst, src, size_t(width)); break;
        case TPixelFormat::pf4bit:
            for (int x = 0; x < width; ++x)
                dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
            break;
        case TPixelFormat::pf1bit:
            for (int x = 0; x < width; ++x)
                dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
            break;
        default:
            for (int x = 0; x < width; ++x, src += 3) {
                // Gathered with red and blue exchanged; put right at the end.
                const TColor key = (TColor(src[0]) << 16) | (TColor(src[1]) << 8) | src[2];
                int found = -1;
                for (int k = 0; k < kRing; ++k) {
                    const int slot = (lastHit - k + kRing) % kRing;
                    if (ringColor[size_t(slot)] == key) {
                        found = slot;
                        break;
                    }
                }
                if (found >= 0) {
                    lastHit = found;
                    dst[x] = uint8_t(ringIndex[size_t(found)]);
                    continue;
                }
                const int index = localColors_.AppendUniqueColor(key);
                lastStored = (lastStored + 1) % kRing;
                ringColor[size_t(lastStored)] = key;
                ringIndex[size_t(lastStored)] = index;
                lastHit = lastStored;
                dst[x] = uint8_t(index);
            }
            break;
        }
    }
    if (format == TPixelFormat::pf24bit && localColors_.EntryCount() > 0) {
        // A triplet (b, g, r) read as a quad (blue, green, red) is (r, g, b).
        std::vector<uint8_t> quads(size_t(localColors_.EntryCount()) * 4, 0);
        for (int i = 0; i < localColors_.EntryCount(); ++i)
            std::memcpy(&quads[size_t(i) * 4], localColors_.Entries() + size_t(i) * 3, 3);
        localColors_.FromColorTable(quads.data(), localColors_.EntryCount());
    }
}

void TGIFSubImage::AddTransparencyFromMask(const TBitmap& mask)
{
    if (IsEmpty())
        return;
    TBitmap rows(mask);
    TDIBReader reader(rows, TPixelFormat::pf8bit);
    const int maskWidth = std::min(Width(), rows.Width()), maskHeight = std::min(Height(), rows.Height());
    auto marked = [&](int x, int y) { return y < maskHeight && x < maskWidth && reader.RowPointer(y)[x] != 0; };
    bool any = false;
    for (int y = 0; y < maskHeight && !any; ++y)
        for (int x = 0; x < maskWidth && !any; ++x)
            any = marked(x, y);
    // A mask that marks nothing leaves the frame and its table as they are.
    if (!any)
        return;

    if (localColors_.EntryCount() == 0) {
        // The pixels index the global table: the frame takes a copy of it
        // so that its own table can hold the transparent entry.
        TMyGIFImage* image = OwnerImage();
        if (!image || image->GlobalColors().EntryCount() == 0)
            RaiseGIFError(gifmsg::NoColorTable);
        localColors_.Assign(image->GlobalColors());
    }
    localColors_.SortByUse();
    const int count = localColors_.EntryCount();
    uint8_t* pixels = Pixels();
    int index = 0;
    std::vector<uint8_t> remap;
    if (count < TGIFColorMap::MaxColors) {
        index = localColors_.AppendColor(clBlack);
    } else {
        // A full table: the entry least used by the pixels that stay
        // visible becomes the transparent one, and those pixels take the
        // nearest remaining colour, so no transparency is lost and the
        // picture changes as little as it can.
        std::vector<int64_t> visibleUses(TGIFColorMap::MaxColors, 0);
        for (int y = 0; y < Height(); ++y) {
            const uint8_t* row = pixels + int64_t(y) * Width();
            for (int x = 0; x < Width(); ++x)
                if (!marked(x, y))
                    ++visibleUses[row[x]];
        }
        // Ties go to the higher index: after the sort, the less used overall.
        index = TGIFColorMap::MaxColors - 1;
        for (int i = TGIFColorMap::MaxColors - 1; i >= 0; --i)
            if (visibleUses[size_t(i)] < visibleUses[size_t(index)])
                index = i;
        if (visibleUses[size_t(index)] > 0) {
            const uint8_t* entries = localColors_.Entries();
            const uint8_t* victim = entries + size_t(index) * 3;
            int64_t best = INT64_MAX;
            int nearest = 0;
            for (int i = 0; i < count; ++i) {
                if (i == index)
                    continue;
                const uint8_t* e = entries + size_t(i) * 3;
                const int64_t dr = e[0] - victim[0], dg = e[1] - victim[1], db = e[2] - victim[2];
                const int64_t d = dr * dr + dg * dg + db * db;
                if (d < best) {
                    best = d;
                    nearest = i;
                }
            }
            remap.resize(TGIFColorMap::MaxColors);
            for (int i = 0; i < TGIFColorMap::MaxColors; ++i)
                remap[size_t(i)] = uint8_t(i);
            remap[size_t(index)] = uint8_t(nearest);
        }
    }
    for (int y = 0; y < Height(); ++y) {
        uint8_t* dst = pixels + int64_t(y) * Width();
        for (int x = 0; x < Width(); ++x) {
            if (marked(x, y))
                dst[x] = uint8_t(index);
            else if (!remap.empty())
                dst[x] = remap[dst[x]];
        }
    }
    auto control = std::make_unique<TGIFGraphicControlExtension>(this);
    TGIFGraphicControlExtension& ext = *control;
    extensions_.Add(std::move(control));
    ext.SetTransparentIndex(uint8_t(index));
    ext.SetTransparent(true);
    DropRenderedBitmap();
    DropTransparencyMask();
}

int TMyGIFImage::Add(const TGraphic& graphic)
{
    auto frame = std::make_unique<TGIFSubImage>(this);
    frame->Assign(&graphic); // a failure frees the frame
    return Add(std::move(frame));
}

int TMyGIFImage::Add(const TGIFObject& object)
{
    if (const auto* graphic = dynamic_cast<const TGraphic*>(&object))
        return Add(*graphic);
    if (const auto* source = dynamic_cast<const TGIFSubImage*>(&object)) {
        auto frame = std::make_unique<TGIFSubImage>(this);
        frame->Assign(*source);
        return Add(std::move(frame));
    }
    RaiseGIFError(kNotSupported);
}
