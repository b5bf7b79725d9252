#include "Loaders.h"

#include "LoadersJpeg.h"
#include "LoadersRaster.h"
#include "LoadersMetafile.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"
#include "platform/GdiExtras.h"
#include "platform/Icon.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <mutex>

void LoadBitmapFromStream(TStream& stream, TBitmap& bitmap)
{
    bitmap.LoadFromStream(stream);
}

void LoadIconFromStream(TStream& stream, TBitmap& bitmap)
{
    TIcon icon;
    icon.LoadFromStream(stream);
    icon.AssignTo(bitmap); // white bitmap of the icon's size, icon drawn on it
}

void LoadIconFromFile(const std::string& fileName, TBitmap& bitmap)
{
    TFileStream stream(fileName, FileMode::OpenRead);
    LoadIconFromStream(stream, bitmap);
}

void LoadGifFromStream(TStream& stream, TBitmap& bitmap)
{
    std::unique_ptr<TGraphic> gif = CreateGraphicForExtension("gif");
    if (!gif)
        throw Exception("Unknown picture file extension (.gif)");
    gif->LoadFromStream(stream);
    gif->AssignTo(bitmap);
}

void LoadGifFirstFrameFromStream(TStream& stream, TBitmap& bitmap)
{
    const int64_t start = stream.Position();
    TMyGIFImage gif;
    gif.LoadFromStream(stream, 1);
    try {
        gif.AssignTo(bitmap);
    } catch (const EOutOfMemory&) {
        // A very large screen is only made when the frames' pixels pay for
        // it, and that counts every frame: read them all, as the full load does.
        stream.SetPosition(start);
        LoadGifFromStream(stream, bitmap);
    }
}

void LoadPngFromStream(TStream& stream, TBitmap& bitmap) { LoadRasterFromStream(DecodePng, stream, bitmap); }
void LoadWebpFromStream(TStream& stream, TBitmap& bitmap) { LoadRasterFromStream(DecodeWebp, stream, bitmap); }
void LoadTiffFromStream(TStream& stream, TBitmap& bitmap) { LoadRasterFromStream(DecodeTiff, stream, bitmap); }
void LoadHeifFromStream(TStream& stream, TBitmap& bitmap) { LoadRasterFromStream(DecodeHeif, stream, bitmap); }
void LoadAvifFromStream(TStream& stream, TBitmap& bitmap) { LoadRasterFromStream(DecodeAvif, stream, bitmap); }

static void RegisterRaster(const char* extension, const char* description, TRasterDecoder decoder)
{
    RegisterFileFormat(extension, description, [decoder] { return std::make_unique<TRasterImage>(decoder); });
}

void RegisterCatalogueGraphics()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterGIFImage(); // also links the codec, whose "gif" the G kind loads through
        RegisterFileFormat("emf", "Enhanced Metafiles", [] { return std::make_unique<TMetafile>(); });
        RegisterFileFormat("wmf", "Metafiles", [] { return std::make_unique<TMetafile>(); });
        RegisterFileFormat("jpg", "JPEG Image File", [] { return std::make_unique<TJPEGImage>(); });
        RegisterFileFormat("jpeg", "JPEG Image File", [] { return std::make_unique<TJPEGImage>(); });
        RegisterRaster("png", "PNG Image", DecodePng);
        RegisterRaster("webp", "WebP Image", DecodeWebp);
        RegisterRaster("tif", "TIFF Image", DecodeTiff);
        RegisterRaster("tiff", "TIFF Image", DecodeTiff);
        RegisterRaster("heic", "HEIF Image", DecodeHeif);
        RegisterRaster("heif", "HEIF Image", DecodeHeif);
        RegisterRaster("avif", "AVIF Image", DecodeAvif);
    });
}
