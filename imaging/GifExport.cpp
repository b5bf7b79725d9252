#include "GifExport.h"

#include "Loaders.h"
#include "LoadersRaster.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"
#include "platform/Icon.h"
#include "platform/Picture.h"
#include "platform/Stream.h"
#include "platform/Text.h"

#include <QString>

#include <algorithm>

namespace {

// A frame copied out of another image keeps its colours even when they
// lived in that image's global table.
int AddFirstFrameOf(TMyGIFImage& image, const TMyGIFImage& source)
{
    const int index = image.Add(*static_cast<const TGIFObject*>(source.Frame(0)));
    TGIFSubImage& frame = *image.Frame(index);
    if (frame.LocalColors().EntryCount() == 0) {
        frame.LocalColors().Assign(source.Header().GlobalColors());
        frame.LocalColorsChanged();
    }
    // A loop count belongs to the whole image, not to one of its frames.
    TGIFExtensionList& extensions = frame.FrameExtensions();
    for (int i = extensions.Count() - 1; i >= 0; --i)
        if (dynamic_cast<TGIFAppExtNSLoop*>(extensions.Items(i)))
            extensions.Delete(i);
    return index;
}

constexpr uint8_t kOptimisedPalette = 7;
constexpr uint8_t kFloydSteinberg = 1;
constexpr int kDisposeToBackground = 2;

// Pixels with alpha become transparent where an icon's would: where the
// alpha is below half.
int AddFrameOf(TMyGIFImage& image, const TBitmap& pixels)
{
    if (pixels.PixelFormat() != TPixelFormat::pf32bit)
        return image.Add(pixels);
    TIcon icon;
    icon.SetImage(RasterToImage(pixels));
    return image.Add(icon);
}

int AddGraphic(TMyGIFImage& image, const TGraphic& graphic)
{
    if (const auto* raster = dynamic_cast<const TRasterImage*>(&graphic))
        return AddFrameOf(image, raster->Pixels());
    return image.Add(graphic);
}

void LoadPicture(TPicture& picture, TStream& stream, const std::string& extension)
{
    RegisterCatalogueGraphics();
    picture.LoadFromStream(stream, extension);
    if (!picture.Graphic() || picture.Graphic()->Empty())
        RaiseGIFError("Image is empty");
}

} // namespace

int AddPictureAsFrame(TMyGIFImage& image, TStream& stream, const std::string& extension)
{
    TPicture picture;
    LoadPicture(picture, stream, extension);
    if (const auto* gif = dynamic_cast<const TMyGIFImage*>(picture.Graphic()))
        return AddFirstFrameOf(image, *gif);
    return AddGraphic(image, *picture.Graphic());
}

void MakeGifOfPicture(TStream& stream, const std::string& extension, TMemoryStream& out)
{
    const int64_t start = stream.Position();
    TPicture picture;
    LoadPicture(picture, stream, extension);
    out.Clear();
    if (dynamic_cast<const TMyGIFImage*>(picture.Graphic())) {
        stream.SetPosition(start);
        out.CopyFrom(stream, stream.Size() - start);
        return;
    }
    TMyGIFImage image;
    AddGraphic(image, *picture.Graphic());
    image.SaveToStream(out);
}

std::unique_ptr<TMyGIFImage> LoadAnimationAsGif(const std::string& path, char kind)
{
    if (kind != 'V')
        return nullptr;
    return LoadAnimationAsGif(ReadWholeFile(path), kind);
}

bool HoldsAnimation(const std::vector<uint8_t>& bytes, char kind)
{
    return kind == 'V' && IsAnimatedWebp(bytes.data(), bytes.size());
}

std::unique_ptr<TMyGIFImage> LoadAnimationAsGif(const std::vector<uint8_t>& bytes, char kind, const std::atomic<bool>* cancelled)
{
    if (!HoldsAnimation(bytes, kind))
        return nullptr;
    const auto stopped = [cancelled] { return cancelled && cancelled->load(std::memory_order_relaxed); };
    TDecodedPicture picture;
    DecodeWebp(bytes.data(), bytes.size(), picture, true);
    if (picture.Frames.size() < 2 || stopped())
        return nullptr;
    auto image = std::make_unique<TMyGIFImage>();
    // An optimised palette with error diffusion for each frame: the cube
    // of the start settings bands the gradients animations are made of.
    image->ColorReduction = kOptimisedPalette;
    image->DitherMode = kFloydSteinberg;
    for (const TRasterFrame& frame : picture.Frames) {
        // Each frame's colour reduction is the slow part: asked between them.
        if (stopped())
            return nullptr;
        TGIFSubImage& added = *image->Frame(AddFrameOf(*image, frame.Pixels));
        TGIFGraphicControlExtension& control = FrameControl(added);
        control.SetDelayTime(uint16_t(std::clamp((frame.DelayMs + 5) / 10, 1, 0xFFFF)));
        control.SetDisposalMethod(kDisposeToBackground);
    }
    SetLoopCount(*image, uint16_t(std::clamp(picture.LoopCount, 0, 0xFFFF)));
    return image;
}

TGIFGraphicControlExtension& FrameControl(TGIFSubImage& frame)
{
    if (!frame.ControlExtension())
        frame.FrameExtensions().Add(std::make_unique<TGIFGraphicControlExtension>(&frame));
    return *frame.ControlExtension();
}

void SetLoopCount(TMyGIFImage& image, uint16_t count)
{
    TGIFSubImage& first = *image.Frame(0);
    TGIFExtensionList& extensions = first.FrameExtensions();
    // Readers look for the loop before the first image: it goes in front.
    std::vector<std::unique_ptr<TGIFItem>> kept;
    while (extensions.Count() > 0) {
        std::unique_ptr<TGIFItem> item = extensions.Remove(extensions.Items(0));
        if (!dynamic_cast<TGIFAppExtNSLoop*>(item.get()))
            kept.push_back(std::move(item));
    }
    auto loop = std::make_unique<TGIFAppExtNSLoop>(&first);
    loop->LoopCount = count;
    extensions.Add(std::move(loop));
    for (auto& item : kept)
        extensions.Add(std::move(item));
}
