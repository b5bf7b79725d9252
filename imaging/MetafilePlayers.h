#pragma once
// The metafile players and the helper process that runs them. The players
// hand hostile bytes to C libraries that may crash, abort or run away, so
// the program plays metafiles in a separate, resource-limited process
// (glimmerbox-metafile) and only reads pixels back. No Qt here: the helper
// links only the players.
#include <cstdint>
#include <string>
#include <vector>

// The players. They return false when the records cannot be played. The EMF
// player fills argb (width * height, 0xAARRGGBB premultiplied, rows
// top-down), the WMF player gives a PNG of width x height.
bool PlayEnhancedMetafile(const std::vector<uint8_t>& bytes, int width, int height, std::vector<uint32_t>& argb);
bool PlayWindowsMetafile(const std::vector<uint8_t>& bytes, int width, int height, std::vector<uint8_t>& png);
// The size at 96 pixels per inch of the box a WMF's drawing covers, for
// files that state neither a placeable box nor a window extent.
bool MeasureWindowsMetafile(const std::vector<uint8_t>& bytes, int& width, int& height);

// Whether a WMF's header agrees with the file it heads: libwmf sizes its
// record buffer from the header's largest-record field, so a short file
// claiming a huge record would make it ask for gigabytes.
bool WmfHeaderFitsFile(const std::vector<uint8_t>& bytes);
// Whether an SVG (as libemf2svg writes it) asks for nothing librsvg's text
// layout cannot take: every font size finite and of a sane magnitude.
bool SvgTextSizesAreSane(const char* svg, size_t length);

// ---- the helper's protocol, over one socket: a request, its bytes, a reply,
// its payload. Both ends are this program's own build.
enum class MetafileOp : uint32_t { PlayEnhanced = 1, PlayWindows = 2, MeasureWindows = 3 };
struct MetafileRequest {
    uint32_t magic = 0x4D424D47; // "GMBM"
    MetafileOp op = MetafileOp::PlayEnhanced;
    int32_t width = 0;
    int32_t height = 0;
    uint64_t size = 0; // bytes of the metafile that follow
};
struct MetafileReply {
    uint32_t magic = 0x4D424D47;
    uint32_t ok = 0;
    int32_t width = 0;  // the measured size for MeasureWindows
    int32_t height = 0;
    uint64_t size = 0; // payload bytes: argb for EMF, PNG for WMF, none for a measure
};
// The largest metafile and payload the protocol carries.
constexpr uint64_t MaxMetafileRequestBytes = uint64_t(256) << 20;
constexpr uint64_t MaxMetafileReplyBytes = uint64_t(96) << 20;

// The helper's limits, set on itself before it reads a byte: address space
// (not under AddressSanitizer, whose shadow needs terabytes of it), CPU
// seconds, wall-clock seconds, no core files, no file writes.
constexpr uint64_t MetafileHelperMemoryBytes = uint64_t(1536) << 20;
constexpr int MetafileHelperCpuSeconds = 20;
constexpr unsigned MetafileHelperWallSeconds = 60;
void ApplyMetafileHelperLimits();
// Serves one request from fd in to fd out; the helper's whole life.
int ServeMetafileRequest(int in, int out);
