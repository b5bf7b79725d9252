// HEIF (HEVC inside: .heic, .heif) and AVIF (AV1 inside) through libheif,
// which brings its own decoders (libde265, dav1d or libaom). The primary
// image, with the rotation, mirroring and cropping the file prescribes
// applied by libheif itself, as those are part of how the picture is meant
// to be seen. libheif reports failures as error structs with a message.
#include "LoadersRaster.h"

#include "platform/Exception.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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

uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]); }

constexpr uint32_t FourCC(const char (&s)[5]) { return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) | uint8_t(s[3]); }

// A bounded cursor over a run of bytes: every read past its end sets Failed
// and gives 0, so a damaged box ends the walk instead of running off.
struct TSpan {
    const uint8_t* p = nullptr;
    size_t n = 0;
    bool Failed = false;

    uint64_t Take(size_t bytes)
    {
        if (Failed || bytes > n) {
            Failed = true;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i)
            v = (v << 8) | p[i];
        p += bytes;
        n -= bytes;
        return v;
    }
    TSpan Sub(uint64_t offset, uint64_t length) const
    {
        TSpan s;
        if (offset > n || length > n - offset)
            s.Failed = true;
        else
            s = {p + offset, size_t(length)};
        return s;
    }
};

// The next box of a run: its type and body, or false at the end or on a
// size that does not fit.
bool NextBox(TSpan& in, uint32_t& type, TSpan& body)
{
    if (in.Failed || in.n < 8)
        return false;
    uint64_t size = Be32(in.p);
    type = Be32(in.p + 4);
    size_t header = 8;
    if (size == 1) {
        if (in.n < 16)
            return false;
        size = (uint64_t(Be32(in.p + 8)) << 32) | Be32(in.p + 12);
        header = 16;
    } else if (size == 0) {
        size = in.n;
    }
    if (size < header || size > in.n)
        return false;
    body = in.Sub(header, size - header);
    in.p += size;
    in.n -= size_t(size);
    return true;
}

bool FindBox(TSpan in, uint32_t wanted, TSpan& body)
{
    uint32_t type = 0;
    while (NextBox(in, type, body))
        if (type == wanted)
            return true;
    return false;
}

// The item's bytes as iloc places them, in the file or in the idat box; at
// most `limit` of them, which is all a derived image's header needs. Empty
// when iloc does not place the item. withIndex: read the extent index
// field that versions 1 and 2 declare (libheif has been seen to decode a
// file by reading it without).
std::vector<uint8_t> ItemBytes(TSpan iloc, TSpan idat, TSpan file, uint32_t item, size_t limit, bool withIndex)
{
    const uint64_t version = iloc.Take(1);
    iloc.Take(3);
    const uint64_t sizes = iloc.Take(2);
    const size_t offsetSize = size_t(sizes >> 12), lengthSize = size_t((sizes >> 8) & 15), baseSize = size_t((sizes >> 4) & 15);
    const size_t indexSize = withIndex && (version == 1 || version == 2) ? size_t(sizes & 15) : 0;
    const uint64_t count = iloc.Take(version < 2 ? 2 : 4);
    for (uint64_t i = 0; i < count && !iloc.Failed; ++i) {
        const uint64_t id = iloc.Take(version < 2 ? 2 : 4);
        const uint64_t method = version == 1 || version == 2 ? iloc.Take(2) & 15 : 0;
        iloc.Take(2); // data reference index
        const uint64_t base = iloc.Take(baseSize);
        const uint64_t extents = iloc.Take(2);
        std::vector<uint8_t> bytes;
        for (uint64_t e = 0; e < extents && !iloc.Failed; ++e) {
            iloc.Take(indexSize);
            const uint64_t offset = iloc.Take(offsetSize);
            const uint64_t length = iloc.Take(lengthSize);
            if (id != item || bytes.size() >= limit)
                continue;
            const TSpan& source = method == 1 ? idat : file;
            if (method > 1 || base > UINT64_MAX - offset || base + offset > source.n)
                return {};
            const TSpan extent = source.Sub(base + offset, length == 0 ? source.n - (base + offset) : length);
            if (extent.Failed)
                return {};
            bytes.insert(bytes.end(), extent.p, extent.p + std::min(extent.n, limit - bytes.size()));
        }
        if (id == item)
            return bytes;
    }
    return {};
}

// The canvas a primary grid of tiles or overlay declares in its own bytes.
// libheif allocates that canvas whole before it decodes a single tile,
// whatever the item's ispe says, so it must be judged first: each reading
// of the item's place that finds a header gives one canvas to judge.
struct TDerivedCanvas {
    bool Derived = false;
    std::vector<std::pair<uint64_t, uint64_t>> Sizes;
};

TDerivedCanvas DerivedCanvas(const uint8_t* data, size_t size)
{
    const TSpan file{data, size};
    TSpan meta, pitm, iinf, iloc, idat;
    if (!FindBox(file, FourCC("meta"), meta))
        return {};
    meta.Take(4);
    if (!FindBox(meta, FourCC("pitm"), pitm) || !FindBox(meta, FourCC("iinf"), iinf))
        return {};
    const uint64_t pitmVersion = pitm.Take(1);
    pitm.Take(3);
    const uint32_t primary = uint32_t(pitm.Take(pitmVersion == 0 ? 2 : 4));

    const uint64_t iinfVersion = iinf.Take(1);
    iinf.Take(3);
    iinf.Take(iinfVersion == 0 ? 2 : 4);
    uint32_t type = 0, primaryType = 0;
    TSpan infe;
    while (primaryType == 0 && NextBox(iinf, type, infe)) {
        const uint64_t version = infe.Take(1);
        infe.Take(3);
        if (type != FourCC("infe") || version < 2)
            continue;
        const uint64_t id = infe.Take(version == 2 ? 2 : 4);
        infe.Take(2); // protection index
        const uint32_t itemType = uint32_t(infe.Take(4));
        if (!infe.Failed && id == primary)
            primaryType = itemType;
    }
    TDerivedCanvas canvas;
    canvas.Derived = primaryType == FourCC("grid") || primaryType == FourCC("iovl");
    if (!canvas.Derived || !FindBox(meta, FourCC("iloc"), iloc))
        return canvas;
    FindBox(meta, FourCC("idat"), idat);
    for (const bool withIndex : {true, false}) {
        const std::vector<uint8_t> header = ItemBytes(iloc, idat, file, primary, 16, withIndex);
        TSpan body{header.data(), header.size()};
        body.Take(1); // version
        const uint64_t flags = body.Take(1);
        body.Take(primaryType == FourCC("grid") ? 2 : 8); // rows and columns, or the fill colour
        const size_t field = flags & 1 ? 4 : 2;
        const uint64_t width = body.Take(field), height = body.Take(field);
        if (!body.Failed)
            canvas.Sizes.push_back({width, height});
    }
    return canvas;
}

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
    const TDerivedCanvas canvas = DerivedCanvas(data, size);
    if (canvas.Derived && canvas.Sizes.empty())
        RaisePictureError(kind, "the canvas of its tiles cannot be read");
    for (const auto& [width, height] : canvas.Sizes)
        if (width == 0 || height == 0)
            RaisePictureError(kind, "its tiles declare an empty canvas");
        else if (!PictureSizeAllowed(int64_t(std::min<uint64_t>(width, INT32_MAX)), int64_t(std::min<uint64_t>(height, INT32_MAX)), size))
            RaisePictureError(kind, Format("its tiles declare a canvas of %llux%llu pixels, more than a file of %llu bytes can hold",
                                           static_cast<unsigned long long>(width), static_cast<unsigned long long>(height),
                                           static_cast<unsigned long long>(size)));
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
