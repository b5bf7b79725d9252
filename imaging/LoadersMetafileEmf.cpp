// EMF player: libemf2svg turns the records into SVG, librsvg draws that.
// Of the candidates tried on the sample corpus (libemf2svg with QtSvg or
// with librsvg), librsvg drew text at the right size and in the right font
// family; QtSvg rendered several pictures enlarged and cropped.
#include "MetafilePlayers.h"

#include <emf2svg.h>
#include <librsvg/rsvg.h>

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <cstring>

// libemf2svg shuts fontconfig down (FcFini) after some of its font look-ups,
// while Qt and librsvg's text layout in this same process still hold
// fontconfig's caches: fontconfig then aborts ("FcCacheFini: Assertion")
// or its users read freed memory. Fontconfig needs no shutdown before the
// process ends, so the program's own FcFini does nothing; defined in the
// executable, it takes the place of the library's for every caller.
extern "C" void FcFini(void) {}

bool SvgTextSizesAreSane(const char* svg, size_t length)
{
    // Far beyond any drawing's text, far below what breaks the layout.
    constexpr double kMaxFontSize = 1e5;
    const std::string_view text(svg, length);
    constexpr std::string_view kKey = "font-size";
    for (size_t at = text.find(kKey); at != std::string_view::npos; at = text.find(kKey, at + 1)) {
        size_t p = at + kKey.size();
        while (p < text.size() && (text[p] == '=' || text[p] == ':' || text[p] == '"' || text[p] == '\'' || text[p] == ' '))
            ++p;
        const std::string number(text.substr(p, std::min<size_t>(64, text.size() - p)));
        char* end = nullptr;
        const double size = std::strtod(number.c_str(), &end);
        if (end != number.c_str() && (!std::isfinite(size) || std::fabs(size) > kMaxFontSize))
            return false; // (text that merely reads "font-size" has no number)
    }
    return true;
}

bool PlayEnhancedMetafile(const std::vector<uint8_t>& bytes, int width, int height, std::vector<uint32_t>& argb)
{
    // libemf2svg takes a writable buffer; give it a copy of its own.
    std::vector<char> contents(bytes.begin(), bytes.end());
    generatorOptions options{};
    options.nameSpace = nullptr; // a prefix makes its closing tags malformed
    options.verbose = false;
    options.emfplus = true;
    options.svgDelimiter = true;
    options.imgWidth = width;
    options.imgHeight = height;
    char* svg = nullptr;
    size_t svgLength = 0;
    const int converted = emf2svg(contents.data(), contents.size(), &svg, &svgLength, &options);
    if (!converted || !svg || svgLength == 0) {
        std::free(svg);
        return false;
    }
    if (!SvgTextSizesAreSane(svg, svgLength)) {
        std::free(svg);
        return false;
    }
    GError* error = nullptr;
    RsvgHandle* handle = rsvg_handle_new_from_data(reinterpret_cast<const guint8*>(svg), svgLength, &error);
    std::free(svg);
    if (!handle) {
        if (error)
            g_error_free(error);
        return false;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    bool ok = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    if (ok) {
        cairo_t* cr = cairo_create(surface);
        const RsvgRectangle viewport{0, 0, double(width), double(height)};
        ok = rsvg_handle_render_document(handle, cr, &viewport, &error);
        cairo_destroy(cr);
        if (error)
            g_error_free(error);
    }
    if (ok) {
        cairo_surface_flush(surface);
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        argb.resize(size_t(width) * size_t(height));
        for (int y = 0; y < height; ++y)
            std::memcpy(&argb[size_t(y) * size_t(width)], data + size_t(y) * size_t(stride), size_t(width) * 4);
    }
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return ok;
}
