// Colour reduction: the lookups, each ditherer against values worked out by
// hand from its weights, the octree and every reduction mode.
#include "GifTestUtil.h"
#include "platform/SystemPalettes.h"

#include <gtest/gtest.h>

#include <set>

using giftest::ManyColours;

namespace {

// Runs a ditherer over a grey picture given row by row, serpentine as the
// reduction does, and gives back the indices at their columns.
std::vector<std::vector<int>> DitherGrey(TDitherEngine& d, const std::vector<std::vector<int>>& grey)
{
    std::vector<std::vector<int>> out;
    for (const auto& row : grey) {
        std::vector<int> indices(row.size(), -1);
        for (size_t i = 0; i < row.size(); ++i) {
            const int x = d.Column();
            const int v = row[static_cast<size_t>(x)];
            indices[static_cast<size_t>(x)] = d.DitherPixel(v, v, v, nullptr);
        }
        d.AdvanceRow();
        out.push_back(indices);
    }
    return out;
}

std::vector<std::vector<int>> Column(int value, int rows) { return std::vector<std::vector<int>>(size_t(rows), {value}); }

TBitmap GreyBitmap(const std::vector<std::vector<int>>& grey)
{
    TBitmap b(static_cast<int>(grey[0].size()), static_cast<int>(grey.size()), TPixelFormat::pf24bit);
    for (size_t y = 0; y < grey.size(); ++y)
        for (size_t x = 0; x < grey[y].size(); ++x) {
            const auto v = uint8_t(grey[y][x]);
            b.SetPixel(int(x), int(y), RGBColor(v, v, v));
        }
    return b;
}

std::set<uint32_t> DistinctRaw(const TBitmap& b)
{
    std::set<uint32_t> s;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            s.insert(b.RawPixel(x, y));
    return s;
}

} // namespace

TEST(ColorLookups, MonochromeAndGreyThresholds)
{
    uint8_t c[3];
    TMonochromeLookup mono;
    EXPECT_EQ(mono.Colors(), 2);
    EXPECT_EQ(mono.MapColor(127, 127, 127, c), 0); // luminance sum 32,512
    EXPECT_EQ(c[0], 0);
    EXPECT_EQ(mono.MapColor(128, 128, 128, c), 1);
    EXPECT_EQ(c[1], 255);

    TGrayScaleLookup grey;
    EXPECT_EQ(grey.Colors(), 256);
    EXPECT_EQ(grey.MapColor(255, 0, 0, c), 76);
    EXPECT_EQ(c[0], 76);
    EXPECT_EQ(c[2], 76);
    EXPECT_EQ(grey.MapColor(255, 255, 255, c), 255);
}

TEST(ColorLookups, SlowLookupTakesNearestEntryAndRemembersIt)
{
    const TPaletteHandle pal = MakePalette({{0, 0, 0, 0}, {200, 10, 10, 0}, {10, 200, 10, 0}, {200, 10, 10, 0}});
    TSlowColorLookup lookup(pal);
    EXPECT_EQ(lookup.Colors(), 4);
    uint8_t c[3];
    EXPECT_EQ(lookup.MapColor(180, 0, 0, c), 1); // of equal entries the first
    EXPECT_EQ(c[0], 200);
    EXPECT_EQ(lookup.MapColor(0, 150, 40, c), 2);
    EXPECT_EQ(lookup.MapColor(180, 0, 0, c), 1); // from the cache, same answer
    EXPECT_EQ(lookup.MapColor(20, 20, 20, c), 0);
    EXPECT_EQ(TSlowColorLookup(MakePalette({})).Colors(), 0);
}

TEST(ColorLookups, SlowLookupAgreesWithThePlatformSearchTiesIncluded)
{
    // Palettes with repeated entries and coarse levels, so that many colours
    // lie at equal distances from several entries.
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return uint8_t(seed >> 16);
    };
    for (int round = 0; round < 6; ++round) {
        std::vector<TPaletteEntry> entries;
        const int n = round == 0 ? 1 : 40 * round;
        for (int i = 0; i < n; ++i)
            entries.push_back({uint8_t(next() & 0xF0), uint8_t(next() & 0xE0), uint8_t(next() & 0xF0), 0});
        entries.push_back(entries.front());
        const TPaletteHandle pal = MakePalette(entries);
        TSlowColorLookup lookup(pal);
        for (int k = 0; k < 5000; ++k) {
            const uint8_t r = next(), g = next(), b = next();
            uint8_t chosen[3];
            const int expected = GetNearestPaletteIndex(*pal, RGBColor(r, g, b));
            ASSERT_EQ(lookup.MapColor(r, g, b, chosen), expected) << round << ": " << int(r) << "," << int(g) << "," << int(b);
            ASSERT_EQ(chosen[1], entries[size_t(expected)].Green);
        }
    }
}

TEST(SystemPalettes, SizesAndEnds)
{
    const TPalette& system = *SystemDefaultPalette();
    ASSERT_EQ(system.Count(), 20);
    EXPECT_EQ(system[0], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(system[19], (TPaletteEntry{255, 255, 255, 0}));
    const TPalette& halftone = *HalftonePalette();
    ASSERT_EQ(halftone.Count(), 256);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(halftone[i], system[i]);
        EXPECT_EQ(halftone[246 + i], system[10 + i]);
    }
    EXPECT_EQ(GetNearestPaletteIndex(system, RGBColor(250, 5, 5)), 13);
    EXPECT_EQ(GetNearestPaletteIndex(TPalette(), RGBColor(1, 2, 3)), -1);
}

// The expected values below come from the weights by hand: uniform grey,
// black/white by the monochrome lookup (127 black, 128 white).
TEST(Ditherers, NearestOnlySpreadsNothing)
{
    TMonochromeLookup mono;
    TDitherEngine d(3, mono);
    const auto out = DitherGrey(d, {{100, 100, 100}, {130, 130, 130}});
    EXPECT_EQ(out, (std::vector<std::vector<int>>{{0, 0, 0}, {1, 1, 1}}));
}

TEST(Ditherers, BurkesSameRowAheadAndSerpentineBack)
{
    // Row 0 left to right: 100 -> 0 (error 100); 100 + (800+16)/32 = 125 -> 0;
    // 100 + (1400+16)/32 = 144 -> 1. Row 1 right to left starts at x 2 with
    // (200+500-888+16)/32 = -5: 95 -> 0; x 1: 956 + 760 = 1716 -> 154 -> 1;
    // x 0: 1078 + 380 - 808 = 650 -> 120 -> 0.
    TMonochromeLookup mono;
    TBurkesDitherer d(3, mono);
    EXPECT_EQ(d.Divisor(), 32);
    EXPECT_EQ(d.ErrorRows(), 2);
    const auto out = DitherGrey(d, {{100, 100, 100}, {100, 100, 100}});
    EXPECT_EQ(out, (std::vector<std::vector<int>>{{0, 0, 1}, {0, 1, 0}}));
}

TEST(Ditherers, ThreeRowKernelsDownOneColumn)
{
    // One pixel wide: everything but the 0 column falls into the margins.
    TMonochromeLookup mono;
    {
        // Stucki: 800 -> (800+21)/42 = 19: 119 -> 0; 400 + 952 = 1352 -> 32:
        // 132 -> 1; 476 - 984 = -508 -> (-508+21)/42 = -11: 89 -> 0.
        TStuckiDitherer d(1, mono);
        EXPECT_EQ(DitherGrey(d, Column(100, 4)), (std::vector<std::vector<int>>{{0}, {0}, {1}, {0}}));
    }
    {
        // Sierra: 500 -> 16: 116 -> 0; 300 + 580 = 880 -> 28: 128 -> 1.
        TSierraDitherer d(1, mono);
        EXPECT_EQ(DitherGrey(d, Column(100, 3)), (std::vector<std::vector<int>>{{0}, {0}, {1}}));
    }
    {
        // JaJuNi divides by 38: 700 -> 18: 118 -> 0; 500 + 826 = 1326 -> 35:
        // 135 -> 1. (Divided by 48 the third pixel would stay black.)
        TJaJuNiDitherer d(1, mono);
        EXPECT_EQ(d.Divisor(), 38);
        EXPECT_EQ(DitherGrey(d, Column(100, 3)), (std::vector<std::vector<int>>{{0}, {0}, {1}}));
    }
}

TEST(Ditherers, SteveArcheTwoAheadAndTwoDown)
{
    TMonochromeLookup mono;
    {
        // 120, 120 -> 0 each, giving 3840 two ahead: (3840+100)/200 = 19:
        // 139 -> 1 twice; the last gets -3712: -18: 102 -> 0.
        TSteveArcheDitherer d(5, mono);
        EXPECT_EQ(d.Margin(), 3);
        EXPECT_EQ(DitherGrey(d, {{120, 120, 120, 120, 120}}), (std::vector<std::vector<int>>{{0, 0, 1, 1, 0}}));
    }
    {
        // Down a column only row + 2 receives (26): 3120 -> 16: 136 -> 1.
        TSteveArcheDitherer d(1, mono);
        EXPECT_EQ(DitherGrey(d, Column(120, 3)), (std::vector<std::vector<int>>{{0}, {0}, {1}}));
    }
}

TEST(Ditherers, FactoryByMode)
{
    TMonochromeLookup mono;
    EXPECT_NE(dynamic_cast<TFloydSteinbergDitherer*>(MakeDitherer(1, 4, mono).get()), nullptr);
    EXPECT_NE(dynamic_cast<TStuckiDitherer*>(MakeDitherer(2, 4, mono).get()), nullptr);
    EXPECT_NE(dynamic_cast<TSierraDitherer*>(MakeDitherer(3, 4, mono).get()), nullptr);
    EXPECT_NE(dynamic_cast<TJaJuNiDitherer*>(MakeDitherer(4, 4, mono).get()), nullptr);
    EXPECT_NE(dynamic_cast<TSteveArcheDitherer*>(MakeDitherer(5, 4, mono).get()), nullptr);
    EXPECT_NE(dynamic_cast<TBurkesDitherer*>(MakeDitherer(6, 4, mono).get()), nullptr);
    EXPECT_EQ(MakeDitherer(7, 4, mono), nullptr);
}

TEST(Quantizer, FewColoursComeBackExactInTreeOrder)
{
    TColorQuantizer q(8, 8);
    q.AddColor(255, 0, 0);
    q.AddColor(0, 0, 255);
    q.AddColor(255, 0, 0);
    q.AddColor(0, 255, 0);
    EXPECT_EQ(q.LeafCount(), 3);
    // Child index R*4 + G*2 + B at the top bit: blue 1, green 2, red 4.
    EXPECT_EQ(q.Colors(), (std::vector<TPaletteEntry>{{0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}}));
}

TEST(Quantizer, ReducesTheNodeAddedLastFirst)
{
    // Four colours for three slots: the two near-whites share the parent
    // made last, so they merge and the two near-blacks stay apart.
    TColorQuantizer q(3, 8);
    q.AddColor(0, 0, 0);
    q.AddColor(1, 0, 0);
    q.AddColor(255, 255, 255);
    q.AddColor(254, 255, 255);
    EXPECT_EQ(q.LeafCount(), 3);
    EXPECT_EQ(q.Colors(), (std::vector<TPaletteEntry>{{0, 0, 0, 0}, {1, 0, 0, 0}, {254, 255, 255, 0}}));
}

TEST(ReduceBitmapColors, EachModeGivesItsPalette)
{
    const TPaletteHandle given = MakePalette({{1, 2, 3, 0}, {40, 50, 60, 0}, {200, 100, 0, 0}, {9, 9, 9, 0}, {250, 250, 250, 0}});
    const std::pair<int, int> expected[] = {{1, 20}, {2, 256}, {3, 4}, {4, 2}, {5, 256}, {6, 216}, {7, 16}, {8, 256}, {9, 5}};
    for (const auto& [mode, count] : expected) {
        TBitmap source = ManyColours();
        const auto result = ReduceBitmapColors(source, mode, 0, given, 4);
        SCOPED_TRACE(mode);
        EXPECT_EQ(result->PixelFormat(), TPixelFormat::pf8bit);
        EXPECT_EQ(result->Width(), 20);
        EXPECT_EQ(result->Height(), 15);
        ASSERT_TRUE(result->Palette());
        EXPECT_EQ(result->Palette()->Count(), count);
        for (uint32_t v : DistinctRaw(*result))
            EXPECT_LT(int(v), count);
    }
}

TEST(ReduceBitmapColors, PaletteFlagsAndSystemFrame)
{
    TBitmap source = ManyColours();
    const auto greys = ReduceBitmapColors(source, 3, 0, nullptr, 8);
    EXPECT_EQ((*greys->Palette())[1], (TPaletteEntry{128, 128, 128, PC_NOCOLLAPSE}));
    const auto framed = ReduceBitmapColors(source, 8, 0, nullptr, 8);
    const TPalette& pal = *framed->Palette();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(pal[i], (*SystemDefaultPalette())[i]);
        EXPECT_EQ(pal[246 + i], (*SystemDefaultPalette())[10 + i]);
    }
    EXPECT_EQ(pal[10].Flags, 0); // a found colour
    // 300 colours into 16: the octree may merge below 16; what it did not
    // find stays black and marked.
    const auto sixteen = ReduceBitmapColors(source, 7, 0, nullptr, 4);
    int found = 0;
    for (const TPaletteEntry& e : sixteen->Palette()->Entries()) {
        if (e.Flags == 0)
            ++found;
        else
            EXPECT_EQ(e, (TPaletteEntry{0, 0, 0, PC_NOCOLLAPSE}));
    }
    EXPECT_GE(found, 2);
    EXPECT_EQ(sixteen->Palette()->Entries().front().Flags, 0);
}

TEST(ReduceBitmapColors, FewColoursSurviveOptimisedExactly)
{
    TBitmap source(4, 2, TPixelFormat::pf32bit);
    const TColor colours[] = {RGBColor(12, 34, 56), RGBColor(200, 10, 90), RGBColor(7, 7, 7)};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            source.SetPixel(x, y, colours[(x + y) % 3]);
    const auto result = ReduceBitmapColors(source, 7, 1, nullptr, 8);
    EXPECT_EQ(source.PixelFormat(), TPixelFormat::pf24bit); // the source was read as 24 bits
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(result->Pixel(x, y), colours[(x + y) % 3]);
}

TEST(ReduceBitmapColors, CubeModeUsesAtMost216Colours)
{
    TBitmap source = ManyColours();
    for (int dither = 0; dither <= 6; ++dither) {
        TBitmap copy = source;
        const auto result = ReduceBitmapColors(copy, 6, dither, nullptr, 8);
        SCOPED_TRACE(dither);
        EXPECT_LE(DistinctRaw(*result).size(), 216u);
        EXPECT_LE(*DistinctRaw(*result).rbegin(), 215u);
    }
}

TEST(ReduceBitmapColors, WholePipelineDithersSerpentine)
{
    // Mode 4 with Burkes: the same hand-worked grid as above.
    TBitmap source = GreyBitmap({{100, 100, 100}, {100, 100, 100}});
    const auto result = ReduceBitmapColors(source, 4, 6, nullptr, 8);
    const int expected[2][3] = {{0, 0, 1}, {0, 1, 0}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(result->RawPixel(x, y), uint32_t(expected[y][x])) << x << "," << y;
}

TEST(ReduceBitmapColors, ModeZeroCopiesAt24BitsAndBadModesGiveNothing)
{
    TBitmap source = ManyColours();
    source.SetPixelFormat(TPixelFormat::pf32bit);
    const auto copy = ReduceBitmapColors(source, 0, 0, nullptr, 8);
    EXPECT_EQ(copy->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(source.PixelFormat(), TPixelFormat::pf32bit);
    EXPECT_EQ(copy->Pixel(3, 4), source.Pixel(3, 4));
    EXPECT_TRUE(ReduceBitmapColors(source, 10, 0, nullptr, 8)->Empty());
    EXPECT_TRUE(ReduceBitmapColors(source, 6, 7, nullptr, 8)->Empty());
    EXPECT_TRUE(ReduceBitmapColors(source, 9, 0, nullptr, 8)->Empty()); // no palette given
    EXPECT_TRUE(ReduceBitmapColors(source, 9, 0, MakePalette({}), 8)->Empty());
}

TEST(ReduceBitmapColors, LargePicturesComeOutEightBitToo)
{
    TBitmap source(1001, 500, TPixelFormat::pf24bit);
    source.Fill(RGBColor(10, 200, 30));
    const auto result = ReduceBitmapColors(source, 6, 0, nullptr, 8);
    EXPECT_EQ(result->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(result->Pixel(1000, 499), RGBColor(0, 153, 0)); // 200 + 3 lies in level 3
}
