// The 216-colour cube, its lookup and Floyd-Steinberg error diffusion onto
// it, for rendering on paletted displays.
#include "mygifimage.h"

#include <algorithm>

TPaletteHandle CubePalette()
{
    static const TPaletteHandle cube = [] {
        std::vector<TPaletteEntry> entries;
        entries.reserve(216);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j)
                for (int k = 0; k < 6; ++k)
                    entries.push_back({static_cast<uint8_t>(51 * i), static_cast<uint8_t>(51 * j),
                                       static_cast<uint8_t>(51 * k), 0});
        return MakePalette(std::move(entries));
    }();
    return cube;
}

uint8_t TNetscapeColorLookup::MapColor(int red, int green, int blue, uint8_t chosen[3]) const
{
    // Levels change at 48, 99, 150, 201 and 252.
    auto level = [](int v) { return (std::clamp(v, 0, 255) + 3) / 51; };
    const int r = level(red), g = level(green), b = level(blue);
    chosen[0] = static_cast<uint8_t>(51 * r);
    chosen[1] = static_cast<uint8_t>(51 * g);
    chosen[2] = static_cast<uint8_t>(51 * b);
    return static_cast<uint8_t>(36 * r + 6 * g + b);
}

void TDitherEngine::AdvanceRow()
{
    direction_ = -direction_;
    column_ = direction_ > 0 ? 0 : width_ - 1;
}

TFloydSteinbergDitherer::TFloydSteinbergDitherer(int width, const TColorLookup& lookup)
    : TDitherEngine(width, lookup)
{
    for (Channel& c : channels_)
        c.errors.assign(static_cast<size_t>(std::max(width, 0)) + 2, 0);
}

uint8_t TFloydSteinbergDitherer::DitherPixel(int red, int green, int blue, uint8_t chosen[3])
{
    const int input[3] = {red, green, blue};
    int wanted[3];
    for (int i = 0; i < 3; ++i) {
        Channel& c = channels_[static_cast<size_t>(i)];
        const int32_t pending = c.errors[static_cast<size_t>(c.slot)];
        wanted[i] = std::clamp(input[i] + (pending + c.carried + 8) / 16, 0, 255);
    }
    uint8_t got[3];
    const uint8_t index = lookup_.MapColor(wanted[0], wanted[1], wanted[2], got);
    column_ += direction_;
    for (int i = 0; i < 3; ++i) {
        Channel& c = channels_[static_cast<size_t>(i)];
        const int32_t err = wanted[i] - got[i];
        if (err == 0) {
            c.carried = 0;
            continue;
        }
        c.errors[static_cast<size_t>(c.slot)] = c.belowBehind + 3 * err;
        c.belowBehind = c.below + 5 * err;
        c.below = err;
        c.carried = 7 * err;
    }
    // More pixels than the row has keep to its last slot.
    for (Channel& c : channels_)
        c.slot = std::clamp(c.slot + direction_, 0, width_ + 1);
    if (chosen)
        std::copy(got, got + 3, chosen);
    return index;
}

void TFloydSteinbergDitherer::AdvanceRow()
{
    for (Channel& c : channels_) {
        c.errors[static_cast<size_t>(c.slot)] = c.belowBehind;
        c.carried = c.below = c.belowBehind = 0;
    }
    TDitherEngine::AdvanceRow();
    for (Channel& c : channels_)
        c.slot = direction_ > 0 ? 0 : width_ + 1;
}
