#include "LoadersJpeg.h"

#include "Exif.h"
#include "Loaders.h"
#include "platform/Exception.h"
#include "platform/Orientation.h"
#include "platform/Stream.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Below this many pixels any size is fine; above it the file must hold at
// least one byte per 512 pixels, so a lying header costs no memory.
constexpr int64_t kFreePixels = int64_t(1) << 24;
constexpr int64_t kPixelsPerByte = 512;

struct ErrorManager {
    jpeg_error_mgr base;
    jmp_buf jump;
    int code;
};

void OnError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->code = err->base.msg_code;
    std::longjmp(err->jump, 1);
}

// Warnings (corrupt data, a premature end) are tolerated: libjpeg fills
// what is missing, as every viewer shows such files.
void OnMessage(j_common_ptr, int) {}

uint8_t Mul255(int a, int b) { return uint8_t((a * b + 127) / 255); }

int ScaledSide(int side, int eighths) { return int((int64_t(side) * eighths + 7) / 8); }

// The caller's buffers for the picture. A failure (no memory, a size the
// bitmap refuses) must not leave the decompressor alive: it is told as
// libjpeg's own errors are, by the jump that destroys it.
bool Allocate(TBitmap& bitmap, int width, int height, bool isCmyk, std::vector<uint8_t>& cmyk) noexcept
{
    try {
        bitmap.SetSize(width, height);
        if (isCmyk)
            cmyk.resize(size_t(width) * 4);
        return true;
    } catch (...) {
        return false;
    }
}

// Everything between setjmp and a longjmp is plain C data: no object with
// a destructor lives in this frame, so the jump skips nothing. Returns 0 or
// libjpeg's message code. minWidth and minHeight are as stored (not turned);
// width and height get the header's size.
int Decode(const unsigned char* data, unsigned long size, int minWidth, int minHeight, bool headerOnly, int& width, int& height,
           TBitmap& bitmap, JSAMPROW cmykRow[1], std::vector<uint8_t>& cmyk)
{
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = OnError;
    err.base.emit_message = OnMessage;
    err.code = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return err.code;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    width = int(cinfo.image_width);
    height = int(cinfo.image_height);
    if (headerOnly) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    const int64_t pixels = int64_t(cinfo.image_width) * cinfo.image_height;
    if (pixels > kFreePixels && pixels / kPixelsPerByte > int64_t(size))
        ERREXIT1(&cinfo, JERR_IMAGE_TOO_BIG, JPEG_MAX_DIMENSION);
    // Held to the full size even when scaled: what is accepted does not
    // depend on the size it is shown at.
    if (pixels * 3 > MaxBitmapBytes)
        ERREXIT1(&cinfo, JERR_IMAGE_TOO_BIG, JPEG_MAX_DIMENSION);
    const bool isCmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = isCmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.scale_num = unsigned(JpegScaleEighths(width, height, minWidth, minHeight));
    cinfo.scale_denom = 8;
    jpeg_start_decompress(&cinfo);
    // The bitmap's memory belongs to the caller's frame; only its rows are
    // written here.
    if (!Allocate(bitmap, int(cinfo.output_width), int(cinfo.output_height), isCmyk, cmyk))
        ERREXIT(&cinfo, JERR_OUT_OF_MEMORY);
    if (isCmyk)
        cmykRow[0] = cmyk.data();
    // Adobe writes CMYK inverted; plain CMYK files store ink amounts.
    const bool inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* row = bitmap.ScanLine(int(cinfo.output_scanline));
        if (!isCmyk) {
            JSAMPROW rows[1] = {row};
            jpeg_read_scanlines(&cinfo, rows, 1);
            continue;
        }
        jpeg_read_scanlines(&cinfo, cmykRow, 1);
        for (JDIMENSION x = 0; x < cinfo.output_width; ++x) {
            const uint8_t* p = cmykRow[0] + size_t(x) * 4;
            int c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) {
                c = 255 - c; m = 255 - m; y = 255 - y; k = 255 - k;
            }
            row[3 * x] = Mul255(y, k);
            row[3 * x + 1] = Mul255(m, k);
            row[3 * x + 2] = Mul255(c, k);
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return 0;
}

int OrientationOf(std::span<const uint8_t> bytes) { return ReadExif(FindJpegExif(bytes)).orientation; }

} // namespace

int JpegScaleEighths(int w, int h, int minWidth, int minHeight)
{
    if (minWidth <= 0 && minHeight <= 0)
        return 8;
    for (int n = 1; n < 8; ++n)
        if (ScaledSide(w, n) >= minWidth && ScaledSide(h, n) >= minHeight)
            return n;
    return 8;
}

void DecodeJpeg(std::span<const uint8_t> bytes, TBitmap& bitmap, const TJpegScale& scale, TJpegShape* shape)
{
    bitmap.Clear();
    bitmap.SetPixelFormat(TPixelFormat::pf24bit);
    bitmap.SetPalette({});
    const int orientation = scale.orientation != 0 ? scale.orientation : OrientationOf(bytes);
    const bool swaps = OrientationSwapsSides(orientation);
    std::vector<uint8_t> cmyk;
    JSAMPROW cmykRow[1] = {nullptr};
    int width = 0, height = 0;
    // Allocations made by SetSize and resize before a jump stay owned by
    // objects outside the jumping frame and are freed normally.
    const int code = bytes.empty() ? int(JERR_INPUT_EMPTY)
                                   : Decode(bytes.data(), static_cast<unsigned long>(bytes.size()),
                                            swaps ? scale.minHeight : scale.minWidth, swaps ? scale.minWidth : scale.minHeight,
                                            false, width, height, bitmap, cmykRow, cmyk);
    if (code != 0) {
        bitmap.Clear();
        throw Exception(Format("JPEG error #%d", code));
    }
    OrientBitmap(bitmap, orientation);
    if (shape)
        *shape = TJpegShape{swaps ? height : width, swaps ? width : height, orientation};
}

bool ReadJpegShape(std::span<const uint8_t> bytes, TJpegShape& shape)
{
    if (bytes.empty())
        return false;
    TBitmap unused;
    std::vector<uint8_t> cmyk;
    JSAMPROW cmykRow[1] = {nullptr};
    int width = 0, height = 0;
    if (Decode(bytes.data(), static_cast<unsigned long>(bytes.size()), 0, 0, true, width, height, unused, cmykRow, cmyk) != 0)
        return false;
    const int orientation = OrientationOf(bytes);
    const bool swaps = OrientationSwapsSides(orientation);
    shape = TJpegShape{swaps ? height : width, swaps ? width : height, orientation};
    return true;
}

void TJPEGImage::LoadFromStream(TStream& stream)
{
    TBitmap decoded;
    DecodeJpeg(ReadRestOfStream(stream), decoded);
    bitmap_.TakeFrom(decoded); // on failure the old picture stays
    Changed();
}

void LoadJpegFromStream(TStream& stream, TBitmap& bitmap)
{
    DecodeJpeg(ReadRestOfStream(stream), bitmap);
}
