// WMF player: libwmf with its built-in raster device. It drew every sample
// of the libwmf corpus faithfully (text included, with the URW base fonts
// installed) and survived truncated and byte-flipped copies; it refuses
// libUEMF's reference file, which then gets the metafile message.
#include "LoadersMetafile.h"

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

} // namespace

bool MeasureWindowsMetafile(const std::vector<uint8_t>& bytes, int& width, int& height)
{
    wmfAPI* api = CreateApi();
    if (!api)
        return false;
    std::vector<unsigned char> contents(bytes.begin(), bytes.end());
    wmfD_Rect bbox{};
    unsigned int w = 0, h = 0;
    const bool ok = wmf_mem_open(api, contents.data(), long(contents.size())) == wmf_E_None &&
                    wmf_scan(api, 0, &bbox) == wmf_E_None &&
                    wmf_display_size(api, &w, &h, 96, 96) == wmf_E_None && w > 0 && h > 0 && w <= 32767 && h <= 32767;
    wmf_api_destroy(api);
    if (ok) {
        width = int(w);
        height = int(h);
    }
    return ok;
}

bool PlayWindowsMetafile(const std::vector<uint8_t>& bytes, int width, int height, std::vector<uint8_t>& png)
{
    wmfAPI* api = CreateApi();
    if (!api)
        return false;
    // libwmf only reads the buffer, but its signature wants it writable.
    std::vector<unsigned char> contents(bytes.begin(), bytes.end());
    bool ok = wmf_mem_open(api, contents.data(), long(contents.size())) == wmf_E_None;
    wmfD_Rect bbox{};
    ok = ok && wmf_scan(api, 0, &bbox) == wmf_E_None;
    char* encoded = nullptr;
    size_t encodedSize = 0;
    FILE* out = ok ? open_memstream(&encoded, &encodedSize) : nullptr;
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
