#include "SystemPalettes.h"

namespace {

const TPaletteEntry kSystemColors[20] = {
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},   {0, 0, 128, 0},
    {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0}, {192, 220, 192, 0}, {166, 202, 240, 0},
    {255, 251, 240, 0}, {160, 160, 164, 0}, {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},
    {255, 255, 0, 0},   {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
};

} // namespace

TPaletteHandle SystemDefaultPalette()
{
    static const TPaletteHandle palette = MakePalette({std::begin(kSystemColors), std::end(kSystemColors)});
    return palette;
}

TPaletteHandle HalftonePalette()
{
    static const TPaletteHandle palette = [] {
        std::vector<TPaletteEntry> entries(kSystemColors, kSystemColors + 10);
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    entries.push_back({uint8_t(51 * r), uint8_t(51 * g), uint8_t(51 * b), 0});
        // Greys halfway between the cube's grey levels, four per gap.
        for (int gap = 0; gap < 5; ++gap)
            for (int step = 1; step <= 4; ++step) {
                const auto v = uint8_t(51 * gap + (51 * step + 2) / 5);
                entries.push_back({v, v, v, 0});
            }
        entries.insert(entries.end(), kSystemColors + 10, kSystemColors + 20);
        return MakePalette(std::move(entries));
    }();
    return palette;
}

int GetNearestPaletteIndex(const TPalette& palette, TColor color)
{
    return palette.Count() == 0 ? -1 : palette.NearestIndex(color);
}
