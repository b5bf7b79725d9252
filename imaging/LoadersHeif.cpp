// HEIF (HEVC inside: .heic, .heif) and AVIF (AV1 inside) through libheif,
// which brings its own decoders (libde265, dav1d or libaom). The primary
// image, with the rotation, mirroring and cropping the file prescribes
// applied by libheif itself, as those are part of how the picture is meant
// to be seen. libheif reports failures as error structs with a message.
#include "LoadersRaster.h"

#include "platform/Exception.h"

#include <libheif/heif.h>

#include <cstring>
#include <mutex>
#include <string>

namespace {

struct Context {
    heif_context* ctx = heif_context_alloc();
    ~Context() { heif_context_free(ctx); }
};
struct Handle {
    heif_image_handle* handle = nullptr;
    ~Handle() { heif_image_handle_release(handle); }
};
struct Image {
    heif_image* image = nullptr;
    ~Image() { heif_image_release(image); }
};
struct Options {
    heif_decoding_options* options = heif_decoding_options_alloc();
    ~Options() { heif_decoding_options_free(options); }
};

void Check(const char* kind, const heif_error& error)
{
    if (error.code == heif_error_Ok)
        return;
    std::string message = error.message ? error.message : "";
    while (!message.empty() && message.back() == ' ')
        message.pop_back();
    RaisePictureError(kind, message.empty() ? "libheif refused it" : message);
}

void Initialise()
{
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

bool IsIsoBmff(const uint8_t* data, size_t size) { return size >= 12 && std::memcmp(data + 4, "ftyp", 4) == 0; }

void Decode(const char* kind, const uint8_t* data, size_t size, TDecodedPicture& out)
{
    if (!IsIsoBmff(data, size))
        RaisePictureError(kind, "the ftyp box is missing");
    Initialise();
    Context context;
    if (!context.ctx)
        RaisePictureError(kind, "out of memory");
    Check(kind, heif_context_read_from_memory_without_copy(context.ctx, data, size, nullptr));
    Handle handle;
    Check(kind, heif_context_get_primary_image_handle(context.ctx, &handle.handle));
    CheckPictureSize(kind, heif_image_handle_get_width(handle.handle), heif_image_handle_get_height(handle.handle), size);
    const bool alpha = heif_image_handle_has_alpha_channel(handle.handle) != 0;
    Options options;
    if (!options.options)
        RaisePictureError(kind, "out of memory");
    options.options->convert_hdr_to_8bit = 1;
    Image image;
    Check(kind, heif_decode_image(handle.handle, &image.image, heif_colorspace_RGB,
                                  alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.options));
    const int w = heif_image_get_width(image.image, heif_channel_interleaved);
    const int h = heif_image_get_height(image.image, heif_channel_interleaved);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.image, heif_channel_interleaved, &stride);
    if (!plane || w <= 0 || h <= 0)
        RaisePictureError(kind, "the decoder gave no pixels");
    CheckPictureSize(kind, w, h, size);
    const int step = alpha ? 4 : 3;
    TBitmap pixels(w, h, alpha ? TPixelFormat::pf32bit : TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = plane + size_t(y) * size_t(stride);
        uint8_t* d = pixels.ScanLine(y);
        for (int x = 0; x < w; ++x, s += step, d += step) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            if (alpha)
                d[3] = s[3];
        }
    }
    DropOpaqueAlpha(pixels);
    out.Pixels.TakeFrom(pixels);
}

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]); }

} // namespace

void DecodeHeif(const uint8_t* data, size_t size, TDecodedPicture& out, bool) { Decode("HEIF", data, size, out); }

void DecodeAvif(const uint8_t* data, size_t size, TDecodedPicture& out, bool) { Decode("AVIF", data, size, out); }

std::vector<uint8_t> FindHeifExif(const uint8_t* data, size_t size)
{
    if (!IsIsoBmff(data, size))
        return {};
    Initialise();
    Context context;
    Handle handle;
    if (!context.ctx || heif_context_read_from_memory_without_copy(context.ctx, data, size, nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(context.ctx, &handle.handle).code != heif_error_Ok)
        return {};
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.handle, "Exif", &id, 1) < 1)
        return {};
    const size_t length = heif_image_handle_get_metadata_size(handle.handle, id);
    if (length < 4 || length > size)
        return {};
    std::vector<uint8_t> block(length);
    if (heif_image_handle_get_metadata(handle.handle, id, block.data()).code != heif_error_Ok)
        return {};
    // The item starts with the offset of the TIFF header after these four bytes.
    const uint32_t offset = Be32(block.data());
    if (offset > length - 4)
        return {};
    return std::vector<uint8_t>(block.begin() + 4 + offset, block.end());
}
