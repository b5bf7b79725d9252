// Rendering frames to bitmaps: the DIB writer and reader, the cube and its
// ditherer, masks, palettes, the image bitmap and painting.
#include "GifTestUtil.h"
#include "platform/GdiExtras.h"
#include "platform/RasterOps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

using namespace giftest;

namespace {

TColor TestColor(int i)
{
    return RGBColor(static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7));
}

// A logical screen with a global table of n colours TestColor(i).
void Screen(TMyGIFImage& image, int width, int height, int colors)
{
    image.Header().ScreenWidth = static_cast<uint16_t>(width);
    image.Header().ScreenHeight = static_cast<uint16_t>(height);
    for (int i = 0; i < colors; ++i)
        image.GlobalColors().AppendColor(TestColor(i));
}

TGIFSubImage& AddFrame(TMyGIFImage& image, int left, int top, int width, int height,
                       const std::function<int(int, int)>& pixel, int transparent = -1)
{
    auto owned = std::make_unique<TGIFSubImage>(&image);
    TGIFSubImage& f = *owned;
    image.Add(std::move(owned));
    f.PlaceFrame(left, top, width, height);
    uint8_t* p = f.Pixels();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p[y * width + x] = static_cast<uint8_t>(pixel(x, y));
    if (transparent >= 0) {
        auto ext = std::make_unique<TGIFGraphicControlExtension>(&f);
        ext->SetTransparentIndex(static_cast<uint8_t>(transparent));
        ext->SetTransparent(true);
        f.FrameExtensions().Add(std::move(ext));
    }
    return f;
}

bool MaskBit(const TBitmap& mask, int x, int y) { return (mask.ScanLine(y)[x / 8] >> (7 - x % 8)) & 1; }

std::string MessageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

} // namespace

// ---- DIB writer and reader ------------------------------------------------

TEST(GifDIB, WriterRefusesFormatsAndSizes)
{
    TBitmap b;
    EXPECT_EQ(MessageOf([&] { TDIBWriter w(b, nullptr, 4, 4, TPixelFormat::pf32bit); }), "Unsupported PixelFormat");
    EXPECT_EQ(MessageOf([&] { TDIBWriter w(b, nullptr, 4, 4, TPixelFormat::pf1bit); }), "Unsupported PixelFormat");
    EXPECT_EQ(MessageOf([&] { TDIBWriter w(b, nullptr, 0, 4, TPixelFormat::pf8bit); }), "Invalid image dimensions");
    EXPECT_EQ(MessageOf([&] { TDIBWriter w(b, nullptr, 4, 0, TPixelFormat::pf8bit); }), "Invalid image dimensions");
    EXPECT_THROW(TDIBWriter(b, nullptr, 4, 0, TPixelFormat::pf24bit), GIFException);

    // A block beyond what one bitmap may hold is refused before it is taken.
    TDIBWriter huge(b, nullptr, 65535, 65535, TPixelFormat::pf24bit);
    try {
        huge.RowPointer(0);
        FAIL();
    } catch (const EOutOfMemory& e) {
        EXPECT_EQ(e.Message(), "Failed to allocate memory for GIF DIB");
    }
    EXPECT_EQ(huge.Header(), nullptr);
    EXPECT_EQ(huge.PixelSize(), 0);
    EXPECT_EQ(MessageOf([&] { huge.RowPointer(0); }), "Image has no DIB");
}

TEST(GifDIB, WriterBuildsTheBitmapBottomUpWithThePalette)
{
    TBitmap b;
    const TPaletteHandle pal = MakePalette({{10, 20, 30, 4}, {40, 50, 60, 4}, {70, 80, 90, 4}});
    {
        TDIBWriter w(b, pal, 3, 5, TPixelFormat::pf8bit);
        EXPECT_EQ(w.Stride(), 8);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                w.RowPointer(y)[x] = static_cast<uint8_t>((x + y) % 3);
        EXPECT_EQ(w.HeaderSize(), 1064);
        EXPECT_EQ(w.PixelSize(), 24);
        const uint8_t* h = w.Header();
        EXPECT_EQ(h[32], 0);   // colours used 256 ...
        EXPECT_EQ(h[33], 1);
        EXPECT_EQ(h[36], 3);   // ... of which 3 important
        EXPECT_EQ(h[40 + 4], 60); // entry 1 as blue, green, red, 0
        EXPECT_EQ(h[40 + 5], 50);
        EXPECT_EQ(h[40 + 6], 40);
        EXPECT_EQ(h[40 + 7], 0);
        // Row 0 is the last row of the block.
        EXPECT_EQ(w.RowPointer(0), w.RowPointer(2) + 2 * w.Stride());
        EXPECT_THROW(w.RowPointer(3), EInvalidGraphicOperation);
        EXPECT_EQ(MessageOf([&] { w.RowPointer(-1); }), "Scan line index out of range");
    } // the destructor flushes
    ASSERT_EQ(b.Width(), 5);
    ASSERT_EQ(b.Height(), 3);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(b.RawPixel(x, y), static_cast<uint32_t>((x + y) % 3));
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(40, 50, 60));

    // A negative height runs top-down; 24 bits carry blue, green, red.
    TBitmap t;
    TDIBWriter w(t, nullptr, -2, 1, TPixelFormat::pf24bit);
    EXPECT_EQ(w.HeaderSize(), 0);
    uint8_t* r0 = w.RowPointer(0);
    EXPECT_EQ(w.RowPointer(1), r0 + 4);
    r0[0] = 1, r0[1] = 2, r0[2] = 3;
    w.FlushToBitmap();
    EXPECT_EQ(t.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(t.Pixel(0, 0), RGBColor(3, 2, 1));
    EXPECT_EQ(MessageOf([&] { w.RowPointer(0); }), "Image has no DIB");
}

TEST(GifDIB, ReaderSwitchesTheFormatAndServesTheBitmapRows)
{
    TBitmap b(3, 2, TPixelFormat::pf8bit);
    b.SetPalette(MakePalette({{0, 0, 0, 0}, {200, 100, 50, 0}}));
    b.SetRawPixel(2, 1, 1);
    TDIBReader r(b, TPixelFormat::pf24bit);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(r.RowPointer(1), b.ScanLine(1));
    EXPECT_EQ(r.RowPointer(1)[6], 50);
    EXPECT_EQ(r.RowPointer(1)[8], 200);
    EXPECT_THROW(r.RowPointer(2), EInvalidGraphicOperation);
}

// ---- cube and ditherer ----------------------------------------------------

TEST(GifCube, PaletteAndLookup)
{
    const TPaletteHandle cube = CubePalette();
    ASSERT_EQ(cube->Count(), 216);
    EXPECT_EQ((*cube)[36 * 2 + 6 * 3 + 4], (TPaletteEntry{102, 153, 204, 0}));
    EXPECT_EQ((*cube)[215], (TPaletteEntry{255, 255, 255, 0}));

    TNetscapeColorLookup lookup;
    EXPECT_EQ(lookup.Colors(), 216);
    uint8_t c[3];
    EXPECT_EQ(lookup.MapColor(255, 0, 0, c), 180);
    EXPECT_EQ(c[0], 255);
    EXPECT_EQ(lookup.MapColor(47, 47, 47, c), 0);
    EXPECT_EQ(lookup.MapColor(48, 0, 0, c), 36);
    EXPECT_EQ(c[0], 51);
    // Boundaries at 48, 99, 150, 201, 252.
    const int edges[] = {48, 99, 150, 201, 252};
    for (int level = 1; level <= 5; ++level) {
        EXPECT_EQ(lookup.MapColor(0, 0, edges[level - 1] - 1, c), level - 1);
        EXPECT_EQ(lookup.MapColor(0, 0, edges[level - 1], c), level);
        EXPECT_EQ(c[2], 51 * level);
    }
}

TEST(GifCube, DitheringKeepsTheAverageColourAndRunsSerpentine)
{
    TNetscapeColorLookup lookup;
    const int w = 64, h = 64;
    for (TColor colour : {RGBColor(128, 128, 128), RGBColor(30, 200, 77), RGBColor(100, 60, 180)}) {
        TFloydSteinbergDitherer d(w, lookup);
        double sum[3] = {0, 0, 0};
        for (int y = 0; y < h; ++y) {
            EXPECT_EQ(d.Direction(), y % 2 ? -1 : 1);
            EXPECT_EQ(d.Column(), y % 2 ? w - 1 : 0);
            for (int x = 0; x < w; ++x) {
                uint8_t c[3];
                const uint8_t index = d.DitherPixel(RedOf(colour), GreenOf(colour), BlueOf(colour), c);
                EXPECT_EQ(CubePalette()->Color(index), RGBColor(c[0], c[1], c[2]));
                for (int i = 0; i < 3; ++i)
                    sum[i] += c[i];
            }
            d.AdvanceRow();
        }
        const uint8_t want[3] = {RedOf(colour), GreenOf(colour), BlueOf(colour)};
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(sum[i] / (w * h), want[i], 2.5) << std::hex << colour << " channel " << i;
    }
    // Near the top the levels change 3 below the cube's colours (250 is
    // level 4, 204) and clamping at 255 eats the error back: the average
    // drifts up, as the lookup has it.
    TFloydSteinbergDitherer high(w, lookup);
    double top = 0;
    for (int y = 0; y < h; ++y, high.AdvanceRow())
        for (int x = 0; x < w; ++x) {
            uint8_t c[3];
            high.DitherPixel(250, 250, 250, c);
            top += c[0];
        }
    EXPECT_GT(top / (w * h), 250.0);
    EXPECT_LT(top / (w * h), 255.0);
    // A colour of the cube itself has no error to spread.
    TFloydSteinbergDitherer exact(5, lookup);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(exact.DitherPixel(51, 102, 153, nullptr), 36 * 1 + 6 * 2 + 3);
    // The first pixel of grey 128 takes level 2; its error reaches the next.
    TFloydSteinbergDitherer grey(4, lookup);
    uint8_t c[3];
    grey.DitherPixel(128, 128, 128, c);
    EXPECT_EQ(c[0], 102);
    grey.DitherPixel(128, 128, 128, c); // 128 + (7 * 26 + 8) / 16 = 139: still level 2
    EXPECT_EQ(c[0], 102);
    grey.DitherPixel(140, 140, 140, c); // 140 + (7 * 37 + 8) / 16 = 156: level 3
    EXPECT_EQ(c[0], 153);
    EXPECT_EQ(grey.Column(), 3);
    grey.AdvanceColumn();
    EXPECT_EQ(grey.Column(), 4);
}

// ---- frames -----------------------------------------------------------------

TEST(GifRender, FullScreenFrameIsTheImageBitmapWithIndexColours)
{
    TMyGIFImage image;
    Screen(image, 6, 4, 8);
    TGIFSubImage& f = AddFrame(image, 0, 0, 6, 4, [](int x, int y) { return (x + 2 * y) % 8; }, 3);
    EXPECT_TRUE(f.MaskPending());
    TBitmap* b = image.ImageBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Width(), 6);
    EXPECT_EQ(b->Height(), 4);
    EXPECT_EQ(b->PixelFormat(), TPixelFormat::pf8bit);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(b->Palette()->Color(i), TestColor(i));
    // Transparent pixels keep the colour of their index.
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(b->Pixel(x, y), TestColor((x + 2 * y) % 8));
    EXPECT_EQ(image.ImageBitmap(), b); // cached
    EXPECT_FALSE(f.MaskPending());
    ASSERT_NE(f.TransparencyMask(), nullptr);
    EXPECT_TRUE(MaskBit(*f.TransparencyMask(), 3, 0));
    EXPECT_TRUE(MaskBit(*f.TransparencyMask(), 1, 1));
    EXPECT_FALSE(MaskBit(*f.TransparencyMask(), 0, 0));

    // The catalogue's copy.
    TBitmap copy;
    image.AssignTo(copy);
    EXPECT_EQ(copy.Pixel(5, 3), TestColor((5 + 6) % 8));
    // The frame's palette is now the rendered bitmap's.
    EXPECT_EQ(f.PaletteHandle(), f.RenderedBitmap()->Palette());
}

TEST(GifRender, SmallerFrameLandsAtItsOffsetOnWhite)
{
    TMyGIFImage image;
    Screen(image, 40, 30, 4);
    AddFrame(image, 10, 20, 3, 2, [](int x, int) { return x; }, 0);
    TBitmap* b = image.ImageBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Width(), 40);
    EXPECT_EQ(b->Height(), 30);
    EXPECT_EQ(b->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(b->Pixel(10, 20), TestColor(0)); // transparent, painted opaque
    EXPECT_EQ(b->Pixel(12, 21), TestColor(2));
    EXPECT_EQ(b->Pixel(9, 20), clWhite);
    EXPECT_EQ(b->Pixel(13, 21), clWhite);
    EXPECT_EQ(b->Pixel(10, 22), clWhite);
    EXPECT_EQ(b->Pixel(0, 0), clWhite);
}

TEST(GifRender, AnimationShowsTheFirstFrameOnly)
{
    TMyGIFImage image;
    Screen(image, 4, 4, 4);
    AddFrame(image, 0, 0, 4, 4, [](int, int) { return 1; });
    AddFrame(image, 1, 1, 2, 2, [](int, int) { return 2; });
    TBitmap* b = image.ImageBitmap();
    ASSERT_NE(b, nullptr);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(b->Pixel(x, y), TestColor(1));
}

TEST(GifRender, NoFramesNoBitmap)
{
    TMyGIFImage image;
    Screen(image, 5, 5, 2);
    EXPECT_EQ(image.ImageBitmap(), nullptr);
    TBitmap dest(3, 3);
    image.AssignTo(dest);
    EXPECT_TRUE(dest.Empty());
}

TEST(GifRender, MaskRowsPaddedAndUnusedTransparentIndexGivesNoMask)
{
    TMyGIFImage image;
    Screen(image, 17, 2, 4);
    TGIFSubImage& f = AddFrame(image, 0, 0, 17, 2, [](int x, int y) { return x == 16 || (y == 1 && x == 0) ? 2 : 1; }, 2);
    EXPECT_TRUE(f.HasTransparencyMask());
    const TBitmap& mask = *f.TransparencyMask();
    EXPECT_EQ(mask.PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_EQ(mask.Width(), 17);
    EXPECT_EQ(mask.ScanLine(0)[2], 0x80); // pixel 16: bit 7 of byte 2
    EXPECT_EQ(mask.ScanLine(0)[0], 0x00);
    EXPECT_EQ(mask.ScanLine(1)[0], 0x80);

    TMyGIFImage unused;
    Screen(unused, 3, 1, 4);
    TGIFSubImage& u = AddFrame(unused, 0, 0, 3, 1, [](int, int) { return 1; }, 2);
    EXPECT_FALSE(u.HasTransparencyMask());
    EXPECT_FALSE(u.MaskPending());
    // Drawn opaque even with transparency asked for.
    TBitmap canvas(3, 1);
    u.PaintTo(canvas, Rect(0, 0, 3, 1), true, false);
    EXPECT_EQ(canvas.Pixel(1, 0), TestColor(1));
}

TEST(GifRender, LargeFrameRendersAsEightBits)
{
    TMyGIFImage image;
    Screen(image, 1001, 500, 4);
    TGIFSubImage& f = AddFrame(image, 0, 0, 1001, 500, [](int x, int y) { return (x ^ y) & 3; });
    TBitmap* b = f.RenderedBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(b->Width(), 1001);
    EXPECT_EQ(b->RawPixel(1000, 499), static_cast<uint32_t>((1000 ^ 499) & 3));
}

TEST(GifRender, MissingPixelsReadAsTheFillIndexWithoutMaterialising)
{
    // Three pixels of a 300 x 200 frame came; the rest is index 0.
    TMyGIFImage image;
    const Bytes gif = OneFrame(300, 200, ImageData(2, LiteralCodes({1, 2, 3}, 2, false)));
    ASSERT_EQ(LoadBytes(image, gif), "");
    TGIFSubImage& f = *image.Frame(0);
    const int64_t stored = f.StoredPixelCount();
    TBitmap* b = f.RenderedBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->RawPixel(2, 0), 3u);
    EXPECT_EQ(b->RawPixel(299, 199), f.FillIndex());
    EXPECT_EQ(f.StoredPixelCount(), stored);
}

TEST(GifRender, HugeClaimsInSmallFilesAreRefused)
{
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, OneFrame(65535, 65535, ImageData(2, LiteralCodes({1, 2, 3}, 2)))), "");
    EXPECT_EQ(MessageOf([&] { image.ImageBitmap(); }), "Failed to allocate memory for GIF DIB");
    EXPECT_EQ(MessageOf([&] { image.Frame(0)->RenderedBitmap(); }), "Failed to allocate memory for GIF DIB");
    EXPECT_LT(image.Frame(0)->StoredPixelCount(), 100);
}

TEST(GifRender, NoColourTableAnywhere)
{
    TMyGIFImage image;
    Screen(image, 2, 2, 0);
    TGIFSubImage& f = AddFrame(image, 0, 0, 2, 2, [](int x, int) { return x; });
    image.DrawOptions = GIFDefaultDrawFlags & ~dfDither;
    EXPECT_EQ(MessageOf([&] { image.ImageBitmap(); }), "No global or local color table defined");
    EXPECT_FALSE(image.PaletteBusy());
    EXPECT_EQ(MessageOf([&] { f.RenderedBitmap(); }), "No global or local color table defined");

    // Dithering on (whatever the display): against the cube.
    image.DrawOptions = dfDither;
    ASSERT_TRUE(image.ShouldDither());
    TBitmap* b = image.ImageBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->Palette()->Count(), 256);
    EXPECT_EQ(b->Palette()->Color(215), clWhite);
    EXPECT_EQ(b->RawPixel(0, 0), 0u); // index 0 without a table is black
    EXPECT_EQ(b->RawPixel(1, 0), 0u);
}

TEST(GifRender, DitheredTransparentFrameFillsWithTheTransparentColoursCubeIndex)
{
    TMyGIFImage image;
    image.Header().ScreenWidth = 4;
    image.Header().ScreenHeight = 2;
    image.GlobalColors().AppendColor(RGBColor(255, 255, 255));
    image.GlobalColors().AppendColor(RGBColor(255, 0, 0));
    image.DrawOptions = dfDither;
    TGIFSubImage& f = AddFrame(image, 0, 0, 4, 2, [](int x, int) { return x % 2; }, 0);
    TBitmap* b = f.RenderedBitmap();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->RawPixel(0, 0), 216u);
    EXPECT_EQ(b->RawPixel(2, 1), 216u);
    EXPECT_EQ(b->RawPixel(1, 0), 180u);
    EXPECT_EQ(b->RawPixel(3, 1), 180u);
    ASSERT_NE(f.TransparencyMask(), nullptr);
    EXPECT_TRUE(MaskBit(*f.TransparencyMask(), 2, 1));
    EXPECT_FALSE(MaskBit(*f.TransparencyMask(), 3, 1));
    EXPECT_EQ(f.PaletteHandle(), b->Palette());
}

TEST(GifRender, ProgressAndSilentAbort)
{
    TMyGIFImage image;
    Screen(image, 8, 70, 4);
    TGIFSubImage& f = AddFrame(image, 0, 0, 8, 70, [](int x, int) { return x % 4; }, 3);
    std::vector<std::pair<TProgressStage, int>> seen;
    bool abort = true;
    image.OnProgress = [&](TGIFObject& sender, TProgressStage stage, int percent, bool, const TGIFRect&,
                           const std::string& message) {
        EXPECT_EQ(&sender, static_cast<TGIFObject*>(&f));
        EXPECT_EQ(message, "Rendering...");
        seen.emplace_back(stage, percent);
        if (abort && stage == TProgressStage::Running && percent > 0)
            throw EAbort();
    };
    EXPECT_EQ(f.RenderedBitmap(), nullptr);
    EXPECT_EQ(f.TransparencyMask(), nullptr);
    // The next request renders again, mask included.
    abort = false;
    seen.clear();
    ASSERT_NE(f.RenderedBitmap(), nullptr);
    EXPECT_NE(f.TransparencyMask(), nullptr);
    const std::vector<std::pair<TProgressStage, int>> want = {{TProgressStage::Starting, 0},
                                                             {TProgressStage::Running, 0},
                                                             {TProgressStage::Running, 46},
                                                             {TProgressStage::Running, 91},
                                                             {TProgressStage::Ending, 100}};
    EXPECT_EQ(seen, want);
    // Other failures pass on.
    f.DropRenderedBitmap();
    image.OnProgress = [](TGIFObject&, TProgressStage, int, bool, const TGIFRect&, const std::string&) {
        throw GIFException("stop");
    };
    EXPECT_EQ(MessageOf([&] { f.RenderedBitmap(); }), "stop");
}

TEST(GifRender, PalettesOfFramesAndImage)
{
    TMyGIFImage image;
    Screen(image, 4, 4, 4);
    TGIFSubImage& plain = AddFrame(image, 0, 0, 4, 4, [](int, int) { return 1; });
    // No local table: the image's palette, made from the global table.
    const TPaletteHandle global = plain.PaletteHandle();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(global, image.PaletteHandle());
    EXPECT_EQ(global->Count(), 4);
    EXPECT_EQ(plain.CachedPalette(), nullptr);
    // A local table is the frame's own, cached.
    TGIFSubImage& local = AddFrame(image, 0, 0, 2, 2, [](int, int) { return 0; });
    local.LocalColors().AppendColor(RGBColor(1, 2, 3));
    const TPaletteHandle own = local.PaletteHandle();
    EXPECT_EQ(own->Color(0), RGBColor(1, 2, 3));
    EXPECT_EQ(local.CachedPalette(), own);
    // Changing the local colours drops the rendered bitmap and tells the image.
    ASSERT_NE(local.RenderedBitmap(), nullptr);
    int changes = 0;
    image.OnChange = [&](TGraphic&) { ++changes; };
    local.LocalColors().AppendColor(RGBColor(9, 9, 9));
    EXPECT_EQ(local.CachedPalette(), nullptr);
    EXPECT_TRUE(image.PaletteReplaced);
    EXPECT_GE(changes, 1);
    ASSERT_NE(local.RenderedBitmap(), nullptr);
    EXPECT_EQ(local.RenderedBitmap()->Palette()->Color(1), RGBColor(9, 9, 9));
    // A new global table is not painted with the old palette.
    image.GlobalColors().Clear();
    image.GlobalColors().AppendColor(RGBColor(7, 7, 7));
    EXPECT_EQ(image.PaletteHandle()->Color(0), RGBColor(7, 7, 7));
}

TEST(GifRender, FrameRectScalesWithTheTarget)
{
    TMyGIFImage image;
    Screen(image, 100, 50, 2);
    TGIFSubImage& f = AddFrame(image, 10, 20, 30, 10, [](int, int) { return 0; });
    EXPECT_EQ(f.FrameRectIn(Rect(0, 0, 100, 50)), Rect(10, 20, 40, 30));
    EXPECT_EQ(f.FrameRectIn(Rect(5, 5, 205, 105)), Rect(25, 45, 85, 65));
    // MulDiv rounds halves away from zero.
    EXPECT_EQ(f.FrameRectIn(Rect(0, 0, 15, 5)), Rect(2, 2, 6, 3));
    EXPECT_EQ(GIFMulDiv(-3, 1, 2), -2);
    EXPECT_EQ(GIFMulDiv(3, 1, 2), 2);
    EXPECT_EQ(GIFMulDiv(1, 1, 0), -1);
}

TEST(GifRender, PaintToThroughTheMaskPlainStretchedAndTiled)
{
    TMyGIFImage image;
    Screen(image, 4, 2, 4);
    // Index 0 is transparent.
    TGIFSubImage& f = AddFrame(image, 0, 0, 2, 2, [](int x, int y) { return x == y ? 0 : 2; }, 0);
    const TColor red = RGBColor(255, 0, 0);

    TBitmap same(4, 2);
    same.Fill(red);
    f.PaintTo(same, Rect(0, 0, 4, 2), true, false);
    EXPECT_EQ(same.Pixel(0, 0), red);
    EXPECT_EQ(same.Pixel(1, 0), TestColor(2));
    EXPECT_EQ(same.Pixel(1, 1), red);
    EXPECT_EQ(same.Pixel(2, 0), red); // outside the frame

    // Twice the size: each frame pixel covers 2 x 2.
    TBitmap big(8, 4);
    big.Fill(red);
    f.PaintTo(big, Rect(0, 0, 8, 4), true, false);
    EXPECT_EQ(big.Pixel(1, 1), red);
    EXPECT_EQ(big.Pixel(3, 1), TestColor(2));
    EXPECT_EQ(big.Pixel(2, 0), TestColor(2));
    EXPECT_EQ(big.Pixel(3, 3), red);

    // An indexed canvas keeps its own colours where the mask says so.
    TBitmap indexed(8, 4, TPixelFormat::pf8bit);
    indexed.SetPalette(MakePalette({{0, 0, 0, 0}, {255, 0, 0, 0}, {RedOf(TestColor(2)), GreenOf(TestColor(2)), BlueOf(TestColor(2)), 0}}));
    indexed.Fill(red);
    f.PaintTo(indexed, Rect(0, 0, 8, 4), true, false);
    EXPECT_EQ(indexed.Pixel(0, 0), red);
    EXPECT_EQ(indexed.Pixel(3, 0), TestColor(2));

    // Tiled: the frame repeats at its own size, in steps of the screen.
    TBitmap tiled(10, 5);
    tiled.Fill(red);
    f.PaintTo(tiled, Rect(0, 0, 10, 5), false, true);
    EXPECT_EQ(tiled.Pixel(0, 0), TestColor(0)); // opaque
    EXPECT_EQ(tiled.Pixel(4, 2), TestColor(0));
    EXPECT_EQ(tiled.Pixel(9, 2), TestColor(2));
    EXPECT_EQ(tiled.Pixel(9, 3), TestColor(0));
    EXPECT_EQ(tiled.Pixel(2, 0), red);
    EXPECT_EQ(tiled.Pixel(7, 4), red);
}

TEST(GifRender, ClearingAndResizingDropTheCaches)
{
    TMyGIFImage image;
    Screen(image, 4, 4, 4);
    TGIFSubImage& f = AddFrame(image, 0, 0, 4, 4, [](int, int) { return 2; }, 2);
    ASSERT_NE(image.ImageBitmap(), nullptr);
    ASSERT_NE(f.TransparencyMask(), nullptr);
    f.PlaceFrame(0, 0, 3, 3);
    EXPECT_EQ(f.TransparencyMask(), nullptr);
    EXPECT_TRUE(f.MaskPending());
    // A wider screen: the cached image bitmap goes and the next one is made
    // at the new width.
    ASSERT_EQ(image.ImageBitmap()->Width(), 4);
    image.SetWidth(5);
    ASSERT_NE(image.ImageBitmap(), nullptr);
    EXPECT_EQ(image.ImageBitmap()->Width(), 5);
    EXPECT_EQ(image.ImageBitmap()->Height(), 4);
    image.Clear();
    EXPECT_EQ(image.ImageBitmap(), nullptr);
    EXPECT_EQ(image.CachedPalette(), nullptr);
}

TEST(GifRender, DrawStretchesTheImageBitmap)
{
    TMyGIFImage image;
    Screen(image, 2, 1, 2);
    AddFrame(image, 0, 0, 2, 1, [](int x, int) { return x; });
    TBitmap canvas(4, 2);
    image.Draw(canvas, Rect(0, 0, 4, 2));
    EXPECT_EQ(canvas.Pixel(1, 1), TestColor(0));
    EXPECT_EQ(canvas.Pixel(2, 0), TestColor(1));
}

TEST(GifRender, TwoThreadsRenderAFrameOnce)
{
    TMyGIFImage image;
    Screen(image, 300, 300, 16);
    TGIFSubImage& f = AddFrame(image, 0, 0, 300, 300, [](int x, int y) { return (x * y) % 16; }, 5);
    std::atomic<int> starts{0};
    image.OnProgress = [&](TGIFObject&, TProgressStage stage, int, bool, const TGIFRect&, const std::string&) {
        starts += stage == TProgressStage::Starting;
    };
    TBitmap* a = nullptr;
    TBitmap* b = nullptr;
    std::thread painter([&] { a = f.RenderedBitmap(); });
    b = image.ImageBitmap() ? f.RenderedBitmap() : nullptr;
    painter.join();
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(starts.load(), 1);
}

TEST(GifRender, PalettedDisplayWithoutAScreen)
{
    // The tests run without a GUI application: no screen, no palette.
    EXPECT_EQ(ScreenBitsPerPixel(), 0);
    EXPECT_FALSE(PalettedDisplay());
    TMyGIFImage image;
    EXPECT_FALSE(image.ShouldDither()); // the default flags dither only on paletted displays
}
