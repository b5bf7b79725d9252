// WMF player: libwmf with its built-in raster device. It drew every sample
// of the libwmf corpus faithfully (text included, with the URW base fonts
// installed) and survived truncated and byte-flipped copies; it refuses
// libUEMF's reference file, which then gets the metafile message.
#include "MetafilePlayers.h"

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libwmf/api.h>
#include <libwmf/gd.h>
}

namespace {

// An API set up for the raster device, or null.
wmfAPI* CreateApi()
{
    wmfAPI* api = nullptr;
    wmfAPI_Options options{};
    options.function = wmf_gd_function;
    const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    if (wmf_api_create(&api, flags, &options) != wmf_E_None) {
        if (api)
            wmf_api_destroy(api);
        return nullptr;
    }
    return api;
}

// The API with the metafile opened and scanned, or null. libwmf reads the
// bytes in place, so contents must outlive the API.
wmfAPI* OpenScanned(const std::vector<uint8_t>& bytes, std::vector<unsigned char>& contents, wmfD_Rect& bbox)
{
    if (!WmfHeaderFitsFile(bytes))
        return nullptr;
    wmfAPI* api = CreateApi();
    if (!api)
        return nullptr;
    // libwmf only reads the buffer, but its signature wants it writable.
    contents.assign(bytes.begin(), bytes.end());
    if (wmf_mem_open(api, contents.data(), long(contents.size())) != wmf_E_None ||
        wmf_scan(api, 0, &bbox) != wmf_E_None) {
        wmf_api_destroy(api);
        return nullptr;
    }
    return api;
}

} // namespace

bool WmfHeaderFitsFile(const std::vector<uint8_t>& bytes)
{
    constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
    constexpr size_t kPlaceableSize = 22, kHeaderSize = 18, kMinRecordWords = 3;
    const auto le16 = [&](size_t at) { return uint32_t(bytes[at] | (bytes[at + 1] << 8)); };
    const auto le32 = [&](size_t at) { return le16(at) | (le16(at + 2) << 16); };
    size_t at = 0;
    if (bytes.size() >= 4 && le32(0) == kPlaceableKey)
        at = kPlaceableSize;
    if (bytes.size() < at + kHeaderSize || le16(at + 2) != kHeaderSize / 2)
        return false;
    // The largest record, in 16-bit words: no record can be longer than
    // what follows the header.
    const uint64_t maxRecordBytes = uint64_t(le32(at + 12)) * 2;
    return maxRecordBytes >= kMinRecordWords * 2 && maxRecordBytes <= bytes.size() - at - kHeaderSize;
}

bool MeasureWindowsMetafile(const std::vector<uint8_t>& bytes, int& width, int& height)
{
    std::vector<unsigned char> contents;
    wmfD_Rect bbox{};
    wmfAPI* api = OpenScanned(bytes, contents, bbox);
    if (!api)
        return false;
    unsigned int w = 0, h = 0;
    const bool ok = wmf_display_size(api, &w, &h, 96, 96) == wmf_E_None && w > 0 && h > 0 && w <= 32767 && h <= 32767;
    wmf_api_destroy(api);
    if (ok) {
        width = int(w);
        height = int(h);
    }
    return ok;
}

bool PlayWindowsMetafile(const std::vector<uint8_t>& bytes, int width, int height, std::vector<uint8_t>& png)
{
    std::vector<unsigned char> contents;
    wmfD_Rect bbox{};
    wmfAPI* api = OpenScanned(bytes, contents, bbox);
    if (!api)
        return false;
    bool ok = false;
    char* encoded = nullptr;
    size_t encodedSize = 0;
    FILE* out = open_memstream(&encoded, &encodedSize);
    if (out) {
        // A PNG written to a memory file: the raster device frees its image
        // only when it encodes it (libwmf exports no way to free the raw
        // image it can hand out instead).
        wmf_gd_t* gd = WMF_GD_GetData(api);
        gd->type = wmf_gd_png;
        gd->flags |= WMF_GD_OUTPUT_FILE;
        gd->file = out;
        gd->width = unsigned(width);
        gd->height = unsigned(height);
        gd->bbox = bbox;
        ok = wmf_play(api, 0, &bbox) == wmf_E_None;
        std::fclose(out);
        if (ok && encoded)
            png.assign(encoded, encoded + encodedSize);
        std::free(encoded);
    }
    wmf_api_destroy(api);
    return ok && !png.empty();
}
