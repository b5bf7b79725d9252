// The colour lookups of the reduction and the error-diffusion ditherers
// beyond Floyd-Steinberg.
#include "mygifimage.h"
#include "platform/SystemPalettes.h"

#include <algorithm>

namespace {

constexpr int kCacheBits = 16;

uint32_t CacheSlot(uint32_t color)
{
    return ((color * 0x9E3779B1u) >> (32 - kCacheBits));
}

} // namespace

TSlowColorLookup::TSlowColorLookup(TPaletteHandle palette) : palette_(std::move(palette))
{
    if (palette_) {
        const auto& e = palette_->Entries();
        entries_.assign(e.begin(), e.begin() + std::min<size_t>(e.size(), 256));
    }
    byGreen_.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i)
        byGreen_[i] = uint8_t(i);
    std::stable_sort(byGreen_.begin(), byGreen_.end(),
                     [this](uint8_t a, uint8_t b) { return entries_[a].Green < entries_[b].Green; });
    cacheKeys_.assign(size_t(1) << kCacheBits, 0);
    cacheValues_.assign(size_t(1) << kCacheBits, 0);
}

uint8_t TSlowColorLookup::Nearest(int red, int green, int blue) const
{
    // Outwards from the entries of the same green in both directions; a
    // side stops once its green difference alone exceeds the best distance
    // (equal may still tie with a lower index).
    const auto start = std::lower_bound(byGreen_.begin(), byGreen_.end(), green,
                                        [this](uint8_t i, int g) { return entries_[i].Green < g; });
    int best = -1, bestDistance = 0;
    auto consider = [&](uint8_t i) {
        const TPaletteEntry& e = entries_[i];
        const int dr = e.Red - red, dg = e.Green - green, db = e.Blue - blue;
        const int d = dr * dr + dg * dg + db * db;
        if (best < 0 || d < bestDistance || (d == bestDistance && i < best)) {
            best = i;
            bestDistance = d;
        }
    };
    auto up = start;
    auto down = start;
    bool upOpen = up != byGreen_.end(), downOpen = down != byGreen_.begin();
    while (upOpen || downOpen) {
        if (upOpen) {
            const int dg = entries_[*up].Green - green;
            if (best >= 0 && dg * dg > bestDistance) {
                upOpen = false;
            } else {
                consider(*up);
                upOpen = ++up != byGreen_.end();
            }
        }
        if (downOpen) {
            const int dg = green - entries_[*(down - 1)].Green;
            if (best >= 0 && dg * dg > bestDistance) {
                downOpen = false;
            } else {
                consider(*--down);
                downOpen = down != byGreen_.begin();
            }
        }
    }
    return uint8_t(std::max(best, 0));
}

uint8_t TSlowColorLookup::MapColor(int red, int green, int blue, uint8_t chosen[3]) const
{
    const TColor color = RGBColor(uint8_t(red), uint8_t(green), uint8_t(blue));
    const uint32_t slot = CacheSlot(color);
    uint8_t index;
    if (cacheKeys_[slot] == color + 1) {
        index = cacheValues_[slot];
    } else {
        index = Nearest(red, green, blue);
        cacheKeys_[slot] = color + 1;
        cacheValues_[slot] = index;
    }
    const TPaletteEntry& e = entries_[index];
    chosen[0] = e.Red;
    chosen[1] = e.Green;
    chosen[2] = e.Blue;
    return index;
}

uint8_t TGrayScaleLookup::MapColor(int red, int green, int blue, uint8_t chosen[3]) const
{
    const auto level = static_cast<uint8_t>((77 * red + 150 * green + 29 * blue) >> 8);
    chosen[0] = chosen[1] = chosen[2] = level;
    return level;
}

uint8_t TMonochromeLookup::MapColor(int red, int green, int blue, uint8_t chosen[3]) const
{
    const bool white = 77 * red + 150 * green + 29 * blue >= 32513;
    chosen[0] = chosen[1] = chosen[2] = white ? 255 : 0;
    return white ? 1 : 0;
}

uint8_t TDitherEngine::DitherPixel(int red, int green, int blue, uint8_t chosen[3])
{
    uint8_t got[3];
    const uint8_t index = lookup_.MapColor(std::clamp(red, 0, 255), std::clamp(green, 0, 255),
                                           std::clamp(blue, 0, 255), got);
    column_ += direction_;
    if (chosen)
        std::copy(got, got + 3, chosen);
    return index;
}

TKernelDitherer::TKernelDitherer(int width, const TColorLookup& lookup, int rows, int margin, int divisor,
                                 std::vector<TWeight> weights)
    : TDitherEngine(width, lookup), rows_(rows), margin_(margin), divisor_(divisor), weights_(std::move(weights))
{
    errors_.assign(static_cast<size_t>(rows_),
                   std::vector<int32_t>((static_cast<size_t>(std::max(width, 0)) + 2 * size_t(margin_)) * 3, 0));
}

uint8_t TKernelDitherer::DitherPixel(int red, int green, int blue, uint8_t chosen[3])
{
    // A caller that runs past the row gets the nearest colour only.
    if (column_ < 0 || column_ >= width_)
        return TDitherEngine::DitherPixel(red, green, blue, chosen);
    const int slot = column_ + margin_;
    const int32_t* pending = ErrorRow(0) + slot * 3;
    const int input[3] = {red, green, blue};
    int wanted[3];
    for (int c = 0; c < 3; ++c)
        wanted[c] = std::clamp(input[c] + (pending[c] + divisor_ / 2) / divisor_, 0, 255);
    uint8_t got[3];
    const uint8_t index = lookup_.MapColor(wanted[0], wanted[1], wanted[2], got);
    for (int c = 0; c < 3; ++c) {
        const int32_t diff = wanted[c] - got[c];
        if (diff == 0)
            continue;
        for (const TWeight& w : weights_)
            ErrorRow(w.Row)[(slot + w.Offset * direction_) * 3 + c] += w.Weight * diff;
    }
    column_ += direction_;
    if (chosen)
        std::copy(got, got + 3, chosen);
    return index;
}

void TKernelDitherer::AdvanceRow()
{
    // The finished row is cleared and comes round again as the last one.
    std::fill(errors_[static_cast<size_t>(head_)].begin(), errors_[static_cast<size_t>(head_)].end(), 0);
    head_ = (head_ + 1) % rows_;
    TDitherEngine::AdvanceRow();
}

TStuckiDitherer::TStuckiDitherer(int width, const TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 42,
                    {{0, 1, 8}, {0, 2, 4},
                     {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2},
                     {2, -2, 1}, {2, -1, 2}, {2, 0, 4}, {2, 1, 2}, {2, 2, 1}})
{
}

TSierraDitherer::TSierraDitherer(int width, const TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 32,
                    {{0, 1, 5}, {0, 2, 3},
                     {1, -2, 2}, {1, -1, 4}, {1, 0, 5}, {1, 1, 4}, {1, 2, 2},
                     {2, -1, 2}, {2, 0, 3}, {2, 1, 2}})
{
}

TJaJuNiDitherer::TJaJuNiDitherer(int width, const TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 38,
                    {{0, 1, 7}, {0, 2, 5},
                     {1, -2, 3}, {1, -1, 5}, {1, 0, 7}, {1, 1, 5}, {1, 2, 3},
                     {2, -2, 1}, {2, -1, 3}, {2, 0, 5}, {2, 1, 3}, {2, 2, 1}})
{
}

TSteveArcheDitherer::TSteveArcheDitherer(int width, const TColorLookup& lookup)
    : TKernelDitherer(width, lookup, 4, 3, 200,
                      {{0, 2, 32},
                       {1, -3, 12}, {1, -1, 26}, {1, 1, 30}, {1, 3, 16},
                       {2, -2, 12}, {2, 0, 26}, {2, 2, 12},
                       {3, -3, 5}, {3, -1, 12}, {3, 1, 12}, {3, 3, 5}})
{
}

TBurkesDitherer::TBurkesDitherer(int width, const TColorLookup& lookup)
    : TKernelDitherer(width, lookup, 2, 2, 32,
                      {{0, 1, 8}, {0, 2, 4},
                       {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}})
{
}

std::unique_ptr<TDitherEngine> MakeDitherer(int mode, int width, const TColorLookup& lookup)
{
    switch (mode) {
    case 0: return std::make_unique<TDitherEngine>(width, lookup);
    case 1: return std::make_unique<TFloydSteinbergDitherer>(width, lookup);
    case 2: return std::make_unique<TStuckiDitherer>(width, lookup);
    case 3: return std::make_unique<TSierraDitherer>(width, lookup);
    case 4: return std::make_unique<TJaJuNiDitherer>(width, lookup);
    case 5: return std::make_unique<TSteveArcheDitherer>(width, lookup);
    case 6: return std::make_unique<TBurkesDitherer>(width, lookup);
    default: return nullptr;
    }
}
