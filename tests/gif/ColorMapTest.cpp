// Colour tables: allocation, lookup, appending, removing, sorting by use.
#include "GifTestUtil.h"

#include <gtest/gtest.h>

using namespace giftest;

namespace {

// A frame of the given pixels with a local table of n grey entries.
std::unique_ptr<TGIFSubImage> FrameWithPixels(TMyGIFImage& image, int width, const Bytes& pixels, int colors)
{
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->PlaceFrame(0, 0, width, static_cast<int>(pixels.size()) / width);
    std::copy(pixels.begin(), pixels.end(), frame->Pixels());
    for (int i = 0; i < colors; ++i)
        frame->LocalColors().AppendColor(RGBColor(static_cast<uint8_t>(i * 10), 0, 0));
    return frame;
}

} // namespace

TEST(GifColorMap, ReserveRoundsUpAndKeepsAllocationWhileAppending)
{
    TMyGIFImage image;
    TGIFSubImage frame(&image);
    TGIFLocalColorMap& map = frame.LocalColors();
    map.Reserve(1);
    EXPECT_EQ(map.Allocated(), 16);
    map.Reserve(17);
    EXPECT_EQ(map.Allocated(), 32);
    map.Reserve(200);
    EXPECT_EQ(map.Allocated(), 224);
    map.Reserve(256);
    EXPECT_EQ(map.Allocated(), 256);

    TMemoryStream s(Bytes(12, 7));
    map.LoadColors(s, 4);
    EXPECT_EQ(map.Allocated(), 16);
    for (int i = 0; i < 5; ++i)
        map.AppendColor(RGBColor(1, 2, static_cast<uint8_t>(i)));
    EXPECT_EQ(map.Allocated(), 16);
    EXPECT_EQ(map.EntryCount(), 9);
    EXPECT_EQ(map.ColorAt(8), RGBColor(1, 2, 4));
    EXPECT_EQ(map.ColorBits(), 4);
}

TEST(GifColorMap, LoadColorsShortStreamIsFatal)
{
    TMyGIFImage image;
    TMemoryStream s(Bytes(5, 1));
    try {
        image.GlobalColors().LoadColors(s, 2);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Premature end of data");
    }
}

TEST(GifColorMap, FindColorSearchDirectionDependsOnSorted)
{
    TMyGIFImage image;
    auto frame = FrameWithPixels(image, 1, {7, 7, 2}, 0);
    TGIFLocalColorMap& map = frame->LocalColors();
    for (int i = 0; i < 8; ++i)
        map.AppendColor(i == 2 || i == 7 ? RGBColor(9, 9, 9) : RGBColor(static_cast<uint8_t>(i), 0, 0));
    EXPECT_EQ(map.FindColor(RGBColor(9, 9, 9)), 7);
    EXPECT_EQ(map.FindColor(RGBColor(1, 2, 3)), -1);
    EXPECT_EQ(map.AppendUniqueColor(RGBColor(9, 9, 9)), 7);
    // Sorting makes 7 (two pixels) first and 2 second; the duplicate is now
    // met at 0 when searching forwards.
    ASSERT_TRUE(map.SortByUse());
    EXPECT_TRUE(map.Sorted());
    EXPECT_EQ(map.EntryCount(), 2);
    EXPECT_EQ(map.FindColor(RGBColor(9, 9, 9)), 0);
}

TEST(GifColorMap, ColorAtOutsideWarnsAndUsesEntryZero)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    TGIFSubImage frame(&image);
    TGIFLocalColorMap& map = frame.LocalColors();
    try {
        map.ColorAt(0);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Color table is empty");
    }
    for (int i = 0; i < 4; ++i)
        map.AppendColor(RGBColor(static_cast<uint8_t>(10 + i), 0, 0));
    EXPECT_EQ(map.ColorAt(300), RGBColor(10, 0, 0));
    EXPECT_EQ(map.ColorAt(-1), RGBColor(10, 0, 0));
    EXPECT_EQ(w.Count("Invalid color index"), 3u);
}

TEST(GifColorMap, OverflowAndRemove)
{
    TMyGIFImage image;
    TGIFColorMap& map = image.GlobalColors();
    for (int i = 0; i < 256; ++i)
        map.AppendColor(static_cast<TColor>(i));
    EXPECT_EQ(map.Allocated(), 256);
    EXPECT_THROW(map.AppendColor(1), GIFException);
    map.RemoveColor(0);
    EXPECT_EQ(map.EntryCount(), 255);
    EXPECT_EQ(map.ColorAt(0), 1u);
    try {
        map.RemoveColor(255);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Invalid color index");
    }
}

TEST(GifColorMap, GlobalChangesNotifyTheImage)
{
    TMyGIFImage image;
    int changes = 0;
    image.OnChange = [&](TGraphic&) { ++changes; };
    image.GlobalColors().AppendColor(5);
    image.GlobalColors().RemoveColor(0);
    EXPECT_EQ(changes, 2);
}

TEST(GifColorMap, PaletteAndQuadConversions)
{
    TMyGIFImage image;
    TGIFColorMap& map = image.GlobalColors();
    EXPECT_EQ(map.MakePalette(), nullptr);
    const uint8_t quads[] = {1, 2, 3, 0, 4, 5, 6, 0};
    map.FromColorTable(quads, 2);
    EXPECT_EQ(map.ColorAt(0), RGBColor(3, 2, 1));
    TPaletteHandle pal = map.MakePalette();
    ASSERT_NE(pal, nullptr);
    ASSERT_EQ(pal->Count(), 2);
    EXPECT_EQ((*pal)[1], (TPaletteEntry{6, 5, 4, 4}));

    TMyGIFImage other;
    other.GlobalColors().FromPalette(*pal);
    EXPECT_EQ(other.GlobalColors().ColorAt(1), RGBColor(6, 5, 4));
    other.GlobalColors().Assign(map);
    EXPECT_EQ(other.GlobalColors().EntryCount(), 2);
    EXPECT_EQ(other.GlobalColors().Allocated(), map.Allocated());
}

TEST(GifColorMap, SortByUseDropsUnusedAndRemapsPixels)
{
    TMyGIFImage image;
    // Uses 0, 5, 9, 0 for entries 0..3.
    Bytes pixels(14, 2);
    std::fill(pixels.begin(), pixels.begin() + 5, 1);
    auto frame = FrameWithPixels(image, 7, pixels, 4);
    TGIFLocalColorMap& map = frame->LocalColors();
    ASSERT_TRUE(map.SortByUse());
    EXPECT_EQ(map.EntryCount(), 2);
    EXPECT_EQ(map.ColorAt(0), RGBColor(20, 0, 0));
    EXPECT_EQ(map.ColorAt(1), RGBColor(10, 0, 0));
    EXPECT_EQ(frame->PixelAt(0, 0), 1);
    EXPECT_EQ(frame->PixelAt(5, 0), 0);
    EXPECT_EQ(frame->PixelAt(6, 1), 0);
}

TEST(GifColorMap, SortByUseInOrderKeepsEverything)
{
    TMyGIFImage image;
    auto frame = FrameWithPixels(image, 3, {0, 0, 0, 1, 1, 2}, 4);
    TGIFLocalColorMap& map = frame->LocalColors();
    ASSERT_TRUE(map.SortByUse());
    EXPECT_EQ(map.EntryCount(), 4);
    EXPECT_EQ(FramePixels(*frame), (Bytes{0, 0, 0, 1, 1, 2}));
}

TEST(GifColorMap, GlobalSortNeedsFramesAndRemapsTransparentIndex)
{
    TMyGIFImage image;
    for (int i = 0; i < 3; ++i)
        image.GlobalColors().AppendColor(RGBColor(static_cast<uint8_t>(i), 0, 0));
    EXPECT_FALSE(image.GlobalColors().SortByUse());

    auto frame = FrameWithPixels(image, 2, {2, 2, 1, 0}, 0);
    auto* gce = new TGIFGraphicControlExtension(frame.get());
    frame->FrameExtensions().Add(std::unique_ptr<TGIFItem>(gce));
    gce->SetTransparent(true);
    gce->SetTransparentIndex(2);
    image.Add(std::move(frame));
    ASSERT_TRUE(image.GlobalColors().SortByUse());
    // Equal counts keep their order: 2 -> 0, 0 -> 1, 1 -> 2.
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{0, 0, 2, 1}));
    EXPECT_EQ(gce->TransparentIndex(), 0);
    EXPECT_EQ(image.GlobalColors().ColorAt(0), RGBColor(2, 0, 0));
}

TEST(GifColorMap, BitsForColors)
{
    EXPECT_EQ(BitsForColors(0), 0);
    EXPECT_EQ(BitsForColors(1), 1);
    EXPECT_EQ(BitsForColors(2), 1);
    EXPECT_EQ(BitsForColors(3), 2);
    EXPECT_EQ(BitsForColors(128), 7);
    EXPECT_EQ(BitsForColors(129), 8);
    EXPECT_EQ(BitsForColors(256), 8);
}
