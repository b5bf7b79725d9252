#include "ImageKinds.h"

#include "Loaders.h"
#include "LoadersRaster.h"
#include "platform/Paths.h"
#include "platform/Exception.h"
#include "platform/Text.h"
#include "store/VaultTable.h"

static std::string ExtensionOf(const std::string& path) { return LowerCase(ExtractFileExt(path)); }

const std::vector<TImageKind>& ImageKinds()
{
    static const std::vector<TImageKind> kinds = [] {
        RegisterCatalogueGraphics();
        return std::vector<TImageKind>{
            {'B', {".bmp"}, ".bmp", LoadBitmapFromStream, " ImageType='B' ", "Bitmaps:"},
            {'I', {".ico"}, ".ico", LoadIconFromStream, " ImageType='I' ", "Icons:"},
            {'E', {".emf"}, ".emf", LoadMetafileFromStream, " ImageType='E' ", "Enhanced metafiles:"},
            {'W', {".wmf"}, ".wmf", LoadMetafileFromStream, " ImageType='W' ", "Metafiles:"},
            {'J', {".jpg", ".jpeg"}, ".jpg", LoadJpegFromStream, " ImageType='J' ", "JPEGs:"},
            {'G', {".gif"}, ".gif", LoadGifFromStream, " ImageType='G' ", "GIFs:"},
            // WebP cannot take its extension's first letter: W is the
            // Windows metafile's.
            {'P', {".png"}, ".png", LoadPngFromStream, " ImageType='P' ", "PNGs:", FindPngExif},
            {'V', {".webp"}, ".webp", LoadWebpFromStream, " ImageType='V' ", "WebPs:", FindWebpExif},
            {'T', {".tif", ".tiff"}, ".tif", LoadTiffFromStream, " ImageType='T' ", "TIFFs:", FindTiffExif},
            {'H', {".heic", ".heif"}, ".heic", LoadHeifFromStream, " ImageType='H' ", "HEIFs:", FindHeifExif},
            {'A', {".avif"}, ".avif", LoadAvifFromStream, " ImageType='A' ", "AVIFs:", FindHeifExif},
        };
    }();
    return kinds;
}

const TImageKind& KindOf(ImageKind letter)
{
    for (const TImageKind& k : ImageKinds())
        if (k.Letter == letter)
            return k;
    return ImageKinds().front();
}

static ImageKind FirstLetterOf(const std::string& ext)
{
    if (ext.size() < 2)
        return 0;
    const char c = ext[1];
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

ImageKind KindLetterOfFile(const std::string& path)
{
    const std::string ext = ExtensionOf(path);
    for (const TImageKind& k : ImageKinds())
        for (const std::string& e : k.Extensions)
            if (e == ext)
                return k.Letter;
    return FirstLetterOf(ext);
}

ImageKind KindOfShownExtension(const std::string& extension)
{
    const std::string ext = LowerCase(extension);
    for (const TImageKind& k : ImageKinds())
        if (k.ShownExtension == ext)
            return k.Letter;
    return FirstLetterOf(ext);
}

std::vector<uint8_t> FindExifBlock(ImageKind kind, const uint8_t* data, size_t size)
{
    const TImageKind& k = KindOf(kind);
    if (k.Letter != kind || !k.FindExif || !data)
        return {};
    return k.FindExif(data, size);
}

bool IsAcceptedImageFile(const std::string& path)
{
    const std::string ext = ExtensionOf(path);
    for (const TImageKind& k : ImageKinds())
        for (const std::string& e : k.Extensions)
            if (e == ext)
                return true;
    return false;
}

std::string NameWithoutExt(const std::string& path)
{
    const std::string name = ExtractFileName(path);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string RecordFileName(const std::string& name, const std::string& imageType)
{
    // A file name holds at most 255 bytes: a name that long loses its end,
    // never its extension.
    constexpr size_t kFileNameBytes = 255;
    const std::string ext = ShownExtensionOf(imageType);
    return Utf8LeftBytes(SafeFileName(name), kFileNameBytes - ext.size()) + ext;
}

std::string StatisticFilter(char kind) { return Format(" ImageType = '%c' ", kind); }

std::vector<int64_t> CountImagesPerKind(TVaultTable& table, TVaultTable& copy)
{
    table.CopyDataTo(copy);
    struct CloseCopy {
        TVaultTable& table;
        ~CloseCopy()
        {
            try {
                table.Close();
            } catch (...) {
                // No file name: nothing is written, so nothing can fail that matters.
            }
        }
    } closeCopy{copy};
    std::vector<int64_t> counts;
    for (const TImageKind& kind : ImageKinds()) {
        copy.SetFilter(StatisticFilter(kind.Letter));
        copy.SetFiltered(true);
        counts.push_back(copy.RecordCount());
        copy.SetFiltered(false);
    }
    return counts;
}

bool IsKnownKind(ImageKind letter)
{
    for (const TImageKind& k : ImageKinds())
        if (k.Letter == letter)
            return true;
    return false;
}

std::string ShownExtensionOf(const std::string& imageType)
{
    if (IsKnownKind(imageType))
        return KindOf(imageType).ShownExtension;
    const unsigned char c = imageType.size() == 1 ? static_cast<unsigned char>(imageType[0]) : 0;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return std::string(".") + static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return ".dat";
}
