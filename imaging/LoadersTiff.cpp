// TIFF through libtiff, read from memory: the first page, whatever its
// photometric, depth, compression or layout, through libtiff's RGBA
// reader. Errors and warnings go to handlers of this one open file (never
// to stderr, never to the process-wide handlers); libtiff reports failure
// by return values, so nothing jumps.
#include "LoadersRaster.h"

#include "platform/Exception.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kKind = "TIFF";

struct Source {
    const uint8_t* data = nullptr;
    toff_t size = 0;
    toff_t position = 0;
    char error[512] = {};
};

tmsize_t ReadProc(thandle_t handle, void* buffer, tmsize_t n)
{
    auto* s = static_cast<Source*>(handle);
    if (n <= 0 || s->position >= s->size)
        return 0;
    const toff_t count = std::min<toff_t>(toff_t(n), s->size - s->position);
    std::memcpy(buffer, s->data + s->position, size_t(count));
    s->position += count;
    return tmsize_t(count);
}

tmsize_t WriteProc(thandle_t, void*, tmsize_t) { return 0; }

toff_t SeekProc(thandle_t handle, toff_t offset, int whence)
{
    auto* s = static_cast<Source*>(handle);
    toff_t base = 0;
    if (whence == SEEK_CUR)
        base = s->position;
    else if (whence == SEEK_END)
        base = s->size;
    // Offsets come from the file; past the end is allowed (a read there
    // gives nothing), wrapping round is not.
    if (offset > ~toff_t(0) - base)
        return toff_t(-1);
    s->position = base + offset;
    return s->position;
}

int CloseProc(thandle_t) { return 0; }
toff_t SizeProc(thandle_t handle) { return static_cast<Source*>(handle)->size; }
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    auto* s = static_cast<Source*>(user);
    if (s->error[0] == 0) {
        char text[400];
        std::vsnprintf(text, sizeof text, format, args);
        std::snprintf(s->error, sizeof s->error, "%s%s%s", module ? module : "", module ? ": " : "", text);
    }
    return 1; // handled: the process-wide handler stays silent
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffFile {
    TIFF* tif = nullptr;
    ~TiffFile()
    {
        if (tif)
            TIFFClose(tif);
    }
};

struct RgbaImage {
    TIFFRGBAImage img{};
    bool begun = false;
    ~RgbaImage()
    {
        if (begun)
            TIFFRGBAImageEnd(&img);
    }
};

[[noreturn]] void Fail(const Source& source, const char* fallback)
{
    RaisePictureError(kKind, source.error[0] ? source.error : fallback);
}

// libtiff's raster holds R, G, B, A bytes with the colours multiplied by
// alpha; the bitmap wants B, G, R and the colours as they were.
void ToBgra(TBitmap& pixels)
{
    for (int y = 0; y < pixels.Height(); ++y) {
        uint8_t* p = pixels.ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x, p += 4) {
            const int a = p[3];
            std::swap(p[0], p[2]);
            if (a != 255 && a != 0)
                for (int c = 0; c < 3; ++c)
                    p[c] = uint8_t(std::min(255, (p[c] * 255 + a / 2) / a));
        }
    }
}

} // namespace

void DecodeTiff(const uint8_t* data, size_t size, TDecodedPicture& out, bool)
{
    if (size < 8 || !(std::memcmp(data, "II", 2) == 0 || std::memcmp(data, "MM", 2) == 0))
        RaisePictureError(kKind, "the TIFF header is missing");
    Source source;
    source.data = data;
    source.size = size;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        RaisePictureError(kKind, "out of memory");
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &source);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(MaxBitmapBytes));
    // "m": read through ReadProc, never through a mapping of the bytes.
    TiffFile file{TIFFClientOpenExt("memory", "rm", &source, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc, MapProc,
                                    UnmapProc, options)};
    TIFFOpenOptionsFree(options);
    if (!file.tif)
        Fail(source, "it cannot be opened");
    char message[1024] = {};
    if (!TIFFRGBAImageOK(file.tif, message))
        Fail(source, message[0] ? message : "its pixel layout is not supported");
    RgbaImage rgba;
    if (!TIFFRGBAImageBegin(&rgba.img, file.tif, 1, message))
        Fail(source, message[0] ? message : "its pixel layout is not supported");
    rgba.begun = true;
    CheckPictureSize(kKind, rgba.img.width, rgba.img.height, size);
    // The rows as the file stores them: its Orientation tag is applied
    // below, as every kind's EXIF orientation is.
    rgba.img.req_orientation = rgba.img.orientation;
    const bool alpha = rgba.img.alpha != 0;
    TBitmap pixels(int(rgba.img.width), int(rgba.img.height), TPixelFormat::pf32bit);
    // 32-bit rows have no padding: the bitmap's memory is the raster.
    if (!TIFFRGBAImageGet(&rgba.img, reinterpret_cast<uint32_t*>(pixels.ScanLine(0)), rgba.img.width, rgba.img.height))
        Fail(source, "its pixels cannot be read");
    ToBgra(pixels);
    if (!alpha) {
        for (int y = 0; y < pixels.Height(); ++y) {
            uint8_t* p = pixels.ScanLine(y);
            for (int x = 0; x < pixels.Width(); ++x)
                p[size_t(x) * 4 + 3] = 255;
        }
    }
    DropOpaqueAlpha(pixels);
    out.Pixels.TakeFrom(pixels);
    OrientDecoded(out, FindTiffExif(data, size));
}

std::vector<uint8_t> FindTiffExif(const uint8_t* data, size_t size)
{
    // A TIFF file is itself what an EXIF block holds: a TIFF header and its
    // directories, the orientation among the first one's tags.
    if (size < 8)
        return {};
    const bool little = data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0;
    const bool big = data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42;
    if (!little && !big)
        return {};
    return std::vector<uint8_t>(data, data + size);
}
