// PNG through libpng's reader: every colour type and depth (palette, grey,
// grey with alpha, 16 bits scaled to 8, tRNS) comes out as 8-bit BGR or
// BGRA. libpng reports errors by jumping out of its error callback; the
// frame it jumps to holds plain C data only (the bitmap and the row table
// belong to the caller's frame), so nothing with a destructor is skipped.
// Warnings are dropped: libpng never prints.
#include "LoadersRaster.h"

#include "platform/Exception.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kKind = "PNG";
// Ancillary chunks kept (text, palettes of suggestions, unknown ones).
constexpr png_uint_32 kChunksMax = 1000;
constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]); }

struct Reader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    bool sizeRefused = false;
    uint32_t width = 0, height = 0;
    char message[256] = {};
    std::jmp_buf jump;
};

[[noreturn]] void OnError(png_structp png, png_const_charp message)
{
    auto* r = static_cast<Reader*>(png_get_error_ptr(png));
    if (r->message[0] == 0)
        std::snprintf(r->message, sizeof r->message, "%s", message ? message : "libpng refused it");
    std::longjmp(r->jump, 1);
}

void OnWarning(png_structp, png_const_charp) {}

void OnRead(png_structp png, png_bytep out, size_t n)
{
    auto* r = static_cast<Reader*>(png_get_io_ptr(png));
    if (n > r->size - r->position)
        png_error(png, "the file ends too early");
    std::memcpy(out, r->data + r->position, n);
    r->position += n;
}

struct Chunk {
    const uint8_t* type = nullptr;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
};

// Calls visit for each chunk in order until it answers false or IEND is
// seen. Answers false when a chunk claims more bytes than the file still
// holds (the walk stops there).
template <typename Visit>
bool WalkChunks(const uint8_t* data, size_t size, Visit visit)
{
    size_t at = sizeof kSignature;
    while (size - at >= 12) {
        Chunk chunk{data + at + 4, data + at + 8, Be32(data + at)};
        if (chunk.length > size - at - 12)
            return false;
        if (!visit(chunk) || std::memcmp(chunk.type, "IEND", 4) == 0)
            return true;
        at += 12 + size_t(chunk.length);
    }
    return true;
}

// libpng allocates an ancillary chunk's declared length before it reads
// its bytes (even past its own limit for some chunks): a chunk that claims
// more than the file holds is refused here first.
void CheckChunkLengths(const uint8_t* data, size_t size)
{
    Chunk last;
    if (!WalkChunks(data, size, [&last](const Chunk& c) { last = c; return true; })) {
        // The chunk after the last whole one: its header is whole.
        size_t at = sizeof kSignature;
        if (last.type)
            at = size_t(last.data - data) + last.length + 4;
        const std::string type(reinterpret_cast<const char*>(data + at + 4), 4);
        const bool printable = std::all_of(type.begin(), type.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
        RaisePictureError(kKind, (printable ? "the " + type + " chunk" : std::string("a chunk")) + " runs past the end of the file");
    }
}

// Between setjmp and any jump only plain data lives in this frame. Returns
// false with the reason in the reader.
bool Read(Reader& r, TBitmap& pixels, std::vector<png_bytep>& rows)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r, OnError, OnWarning);
    if (!png) {
        std::snprintf(r.message, sizeof r.message, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::snprintf(r.message, sizeof r.message, "out of memory");
        return false;
    }
    if (setjmp(r.jump)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &r, OnRead);
    png_set_chunk_cache_max(png, kChunksMax);
    png_read_info(png, info);
    r.width = png_get_image_width(png, info);
    r.height = png_get_image_height(png, info);
    if (!PictureSizeAllowed(r.width, r.height, r.size)) {
        r.sizeRefused = true;
        png_error(png, "too large");
    }
    png_set_expand(png);   // palette, grey below 8 bits and tRNS to full channels
    png_set_scale_16(png); // 16 bits to 8, rounded
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int channels = png_get_channels(png, info);
    if (channels != 3 && channels != 4)
        png_error(png, "unexpected channel count");
    pixels.SetPixelFormat(channels == 4 ? TPixelFormat::pf32bit : TPixelFormat::pf24bit);
    pixels.SetSize(int(r.width), int(r.height));
    rows.resize(r.height);
    for (uint32_t y = 0; y < r.height; ++y)
        rows[y] = pixels.ScanLine(int(y));
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

} // namespace

void DecodePng(const uint8_t* data, size_t size, TDecodedPicture& out, bool)
{
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        RaisePictureError(kKind, "the PNG signature is missing");
    CheckChunkLengths(data, size);
    Reader reader;
    reader.data = data;
    reader.size = size;
    TBitmap pixels;
    std::vector<png_bytep> rows;
    if (!Read(reader, pixels, rows)) {
        if (reader.sizeRefused)
            CheckPictureSize(kKind, reader.width, reader.height, size);
        RaisePictureError(kKind, reader.message);
    }
    DropOpaqueAlpha(pixels);
    out.Pixels.TakeFrom(pixels);
    OrientDecoded(out, FindPngExif(data, size));
}

std::vector<uint8_t> FindPngExif(const uint8_t* data, size_t size)
{
    // eXIf may stand before or after the image data.
    if (size < sizeof kSignature || std::memcmp(data, kSignature, sizeof kSignature) != 0)
        return {};
    std::vector<uint8_t> exif;
    WalkChunks(data, size, [&exif](const Chunk& c) {
        if (std::memcmp(c.type, "eXIf", 4) != 0)
            return true;
        exif.assign(c.data, c.data + c.length);
        return false;
    });
    return exif;
}
