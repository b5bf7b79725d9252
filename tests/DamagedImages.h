#pragma once
// Image files that pass a look at their header but cannot be shown, as
// real files from other projects' suites do.
#include <cstdint>
#include <vector>

namespace damaged {

// A one-pixel GIF on a logical screen of w x h: without any colour table,
// or with one on a screen too big to render.
inline std::vector<uint8_t> OnePixelGif(int w, int h, bool palette)
{
    std::vector<uint8_t> g = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8),
                              uint8_t(palette ? 0x80 : 0x00), 0, 0};
    if (palette)
        g.insert(g.end(), {0, 0, 0, 255, 255, 255});
    // One 1 x 1 image: clear, pixel 0, end, in 3-bit codes.
    g.insert(g.end(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B});
    return g;
}
// Like no_palette.gif: "No global or local color table defined".
inline std::vector<uint8_t> NoPaletteGif() { return OnePixelGif(1, 1, false); }
// Like decompression_bomb.gif: "Failed to allocate memory for GIF DIB".
inline std::vector<uint8_t> BombGif() { return OnePixelGif(32767, 32767, true); }

} // namespace damaged
