#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/Icon.h"
#include "platform/Orientation.h"
#include "platform/Picture.h"
#include "platform/RasterOps.h"
#include "platform/Stream.h"

#include <QImage>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::string Data(const std::string& rel) { return std::string(GMB_TEST_DATA) + "/" + rel; }

TBitmap LoadBmp(const std::string& rel)
{
    TFileStream s(Data(rel), FileMode::OpenRead);
    TBitmap b;
    b.LoadFromStream(s);
    return b;
}

std::string LoadError(TGraphic& g, const std::vector<uint8_t>& bytes)
{
    TMemoryStream s(bytes);
    try {
        g.LoadFromStream(s);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "loaded";
}

} // namespace

TEST(Bitmap, NewPixelsHaveEveryBitSet)
{
    TBitmap b(3, 2);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(b.Pixel(2, 1), clWhite);
    b.SetPixel(0, 0, RGBColor(1, 2, 3));
    b.SetSize(5, 3); // grows: the old corner stays, the rest is white
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(1, 2, 3));
    EXPECT_EQ(b.Pixel(4, 2), clWhite);

    TBitmap indexed(9, 1, TPixelFormat::pf8bit);
    EXPECT_EQ(indexed.RawPixel(8, 0), 255u);
    EXPECT_EQ(indexed.Pixel(8, 0), clWhite); // the default palette ends in white
    TBitmap mono(17, 2, TPixelFormat::pf1bit);
    EXPECT_EQ(mono.RowBytes(), 4);
    EXPECT_EQ(mono.RawPixel(16, 1), 1u);
}

TEST(Bitmap, RowsPackPixelsLikeDibs)
{
    TBitmap b(3, 1, TPixelFormat::pf4bit);
    b.SetPalette(MakePalette(std::vector<TPaletteEntry>(16)));
    b.SetRawPixel(0, 0, 0x3);
    b.SetRawPixel(1, 0, 0xA);
    EXPECT_EQ(b.ScanLine(0)[0], 0x3A);
    TBitmap m(10, 1, TPixelFormat::pf1bit);
    m.SetRawPixel(0, 0, 0);
    m.SetRawPixel(9, 0, 0);
    EXPECT_EQ(m.ScanLine(0)[0], 0x7F);
    EXPECT_EQ(m.ScanLine(0)[1], 0xBF);
    EXPECT_EQ(DibStride(1001, 8), 1004);
    EXPECT_EQ(DibStride(5, 24), 16);
    EXPECT_THROW(b.ScanLine(1), Exception);
}

TEST(Bitmap, PixelFormatConversionKeepsColours)
{
    TBitmap b(2, 1, TPixelFormat::pf8bit);
    b.SetPalette(MakePalette({{10, 20, 30, 0}, {200, 100, 0, 0}}));
    b.SetRawPixel(0, 0, 1);
    b.SetRawPixel(1, 0, 0);
    b.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(200, 100, 0));
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(10, 20, 30));
    b.SetPixelFormat(TPixelFormat::pf8bit); // the palette still fits: indices by nearest colour
    EXPECT_EQ(b.RawPixel(0, 0), 1u);
    EXPECT_EQ(b.RawPixel(1, 0), 0u);
}

TEST(Bitmap, QImageRoundTripAndBmpSave)
{
    TBitmap b(4, 3, TPixelFormat::pf8bit);
    std::vector<TPaletteEntry> pal(256);
    pal[7] = {255, 0, 0, 0};
    b.SetPalette(MakePalette(pal));
    b.SetRawPixel(1, 2, 7);
    QImage img = b.ToQImage();
    EXPECT_EQ(img.pixel(1, 2), qRgb(255, 0, 0));

    TMemoryStream s;
    b.SaveToStream(s);
    s.SetPosition(0);
    TBitmap back;
    back.LoadFromStream(s);
    EXPECT_EQ(back.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(back.RawPixel(1, 2), 7u);
    EXPECT_EQ(back.Palette()->Count(), 256);
}

TEST(RasterOps, StretchDropsAndRepeatsPixels)
{
    TBitmap src(4, 1);
    const TColor colours[4] = {0x110000, 0x220000, 0x330000, 0x440000};
    for (int x = 0; x < 4; ++x)
        src.SetPixel(x, 0, colours[x]);
    TBitmap half(2, 1);
    ASSERT_TRUE(StretchBlt(half, 0, 0, 2, 1, src, 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(half.Pixel(0, 0), colours[0]);
    EXPECT_EQ(half.Pixel(1, 0), colours[2]);
    TBitmap twice(8, 2);
    ASSERT_TRUE(StretchBlt(twice, 0, 0, 8, 2, src, 0, 0, 4, 1, SRCCOPY));
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(twice.Pixel(x, 0), colours[x / 2]) << x; // never an average
        EXPECT_EQ(twice.Pixel(x, 1), colours[x / 2]) << x;
    }
    // Clipped at the destination's edges.
    TBitmap small(2, 2);
    EXPECT_TRUE(StretchBlt(small, -1, 1, 4, 4, src, 0, 0, 4, 1, SRCCOPY));
    EXPECT_EQ(small.Pixel(0, 0), clWhite);
    EXPECT_EQ(small.Pixel(0, 1), colours[1]);
    EXPECT_FALSE(StretchBlt(small, 0, 0, 1, 1, src, 0, 0, 1, 1, 0x12345678));
}

TEST(RasterOps, UnstretchedCopiesClipLikeEveryOther)
{
    // Every source pixel distinct, so a pixel from the wrong place shows.
    for (TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit}) {
        TBitmap src(5, 3, format);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                src.SetPixel(x, y, RGBColor(uint8_t(10 * x + 1), uint8_t(y + 1), 7));
        struct Case {
            int dx, dy, w, h, sx, sy;
        };
        // Inside; hanging off each edge of the destination; starting left
        // of and running past the source; the source offset.
        for (const Case c : {Case{0, 0, 5, 3, 0, 0}, Case{-2, 1, 5, 3, 0, 0}, Case{2, -1, 5, 3, 0, 0},
                             Case{0, 0, 6, 3, -1, 0}, Case{1, 0, 4, 2, 2, 1}, Case{0, 0, 3, 1, 3, 2}}) {
            TBitmap dst(4, 3, format);
            dst.Fill(RGBColor(200, 200, 200));
            ASSERT_TRUE(BitBlt(dst, c.dx, c.dy, c.w, c.h, src, c.sx, c.sy, SRCCOPY));
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x) {
                    const int i = x - c.dx, j = y - c.dy, sx = c.sx + i, sy = c.sy + j;
                    const bool copied = i >= 0 && i < c.w && j >= 0 && j < c.h && sx >= 0 && sx < 5 && sy >= 0 &&
                                        sy < 3;
                    EXPECT_EQ(dst.Pixel(x, y), copied ? src.Pixel(sx, sy) : RGBColor(200, 200, 200))
                        << x << "," << y << " from " << c.dx << "," << c.dy << " " << c.sx << "," << c.sy;
                }
        }
        // Mirrored, the same size: the columns run backwards.
        TBitmap mirrored(5, 1, format);
        ASSERT_TRUE(StretchBlt(mirrored, 0, 0, 5, 1, src, 5, 0, -5, 1, SRCCOPY));
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(mirrored.Pixel(x, 0), src.Pixel(4 - x, 0)) << x;
    }
}

TEST(Bitmap, FillAndSwapPixels)
{
    for (TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit, TPixelFormat::pf8bit}) {
        TBitmap a(3, 4, format), b(3, 4, format);
        a.Fill(RGBColor(255, 0, 0));
        b.Fill(RGBColor(0, 0, 255));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 3; ++x)
                ASSERT_EQ(a.Pixel(x, y), RGBColor(255, 0, 0)) << x << "," << y;
        const TPaletteHandle paletteA = a.Palette();
        int told = 0;
        a.OnChange = [&](TGraphic&) { ++told; };
        a.SwapPixels(b);
        EXPECT_EQ(a.Pixel(2, 3), RGBColor(0, 0, 255));
        EXPECT_EQ(b.Pixel(0, 0), RGBColor(255, 0, 0));
        EXPECT_EQ(a.Palette(), paletteA);
        EXPECT_EQ(told, 0);
    }
    TBitmap a(3, 4), wider(4, 4), indexed(3, 4, TPixelFormat::pf8bit);
    a.Fill(RGBColor(1, 2, 3));
    for (TBitmap* other : {&wider, &indexed}) {
        try {
            a.SwapPixels(*other);
            ADD_FAILURE() << "exchanged";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Bitmaps of different size or format cannot exchange their pixels");
        }
    }
    EXPECT_EQ(a.Pixel(0, 0), RGBColor(1, 2, 3));
}

TEST(Bitmap, TakeFromMovesEverythingButTheHandler)
{
    TBitmap source(5, 2, TPixelFormat::pf8bit);
    source.SetPalette(DefaultPalette(TPixelFormat::pf8bit));
    source.SetRawPixel(4, 1, 17);
    source.SetTransparent(true);
    source.SetTransparentColor(RGBColor(9, 8, 7));
    const uint8_t* pixels = source.ScanLine(0);
    int sourceTold = 0, told = 0;
    source.OnChange = [&](TGraphic&) { ++sourceTold; };
    TBitmap dest(100, 100);
    dest.OnChange = [&](TGraphic&) { ++told; };
    dest.TakeFrom(source);
    EXPECT_EQ(dest.Width(), 5);
    EXPECT_EQ(dest.Height(), 2);
    EXPECT_EQ(dest.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(dest.RawPixel(4, 1), 17u);
    EXPECT_EQ(dest.ScanLine(0), pixels); // not copied
    EXPECT_EQ(dest.Palette(), DefaultPalette(TPixelFormat::pf8bit));
    EXPECT_TRUE(dest.Transparent());
    EXPECT_EQ(dest.TransparentColor(), RGBColor(9, 8, 7));
    EXPECT_EQ(told, 1);
    EXPECT_EQ(sourceTold, 0);
    EXPECT_TRUE(source.Empty());
    EXPECT_EQ(source.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_FALSE(source.Palette());
    EXPECT_FALSE(source.Transparent());
    source.SetSize(2, 2); // still usable
    EXPECT_EQ(source.Width(), 2);
}

TEST(RasterOps, BooleanOperationsAndMonoSources)
{
    TBitmap d(1, 1), s(1, 1);
    d.SetPixel(0, 0, 0x0F0F0F);
    s.SetPixel(0, 0, 0x00FF33);
    auto run = [&](TRop rop) {
        TBitmap t;
        t.Assign(d);
        BitBlt(t, 0, 0, 1, 1, s, 0, 0, rop);
        return t.Pixel(0, 0);
    };
    EXPECT_EQ(run(SRCAND), 0x000F03u);
    EXPECT_EQ(run(SRCPAINT), 0x0FFF3Fu);
    EXPECT_EQ(run(SRCINVERT), 0x0FF03Cu);
    EXPECT_EQ(run(NOTSRCCOPY), 0xFF00CCu);

    // A mask (1 = white) ANDed onto colour keeps the colour where 1, blacks where 0.
    TBitmap mask(2, 1, TPixelFormat::pf1bit);
    mask.SetRawPixel(0, 0, 0);
    TBitmap colour(2, 1);
    colour.Fill(0x336699);
    BitBlt(colour, 0, 0, 2, 1, mask, 0, 0, SRCAND);
    EXPECT_EQ(colour.Pixel(0, 0), clBlack);
    EXPECT_EQ(colour.Pixel(1, 0), 0x336699u);
    // Mono onto mono: NOTSRCCOPY inverts bits.
    TBitmap inv(2, 1, TPixelFormat::pf1bit);
    BitBlt(inv, 0, 0, 2, 1, mask, 0, 0, NOTSRCCOPY);
    EXPECT_EQ(inv.RawPixel(0, 0), 1u);
    EXPECT_EQ(inv.RawPixel(1, 0), 0u);
}

TEST(RasterOps, IndexedDestinationTakesIndicesOrNearestColour)
{
    auto pal = MakePalette({{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 0, 255, 0}});
    TBitmap a(1, 1, TPixelFormat::pf8bit), b(1, 1, TPixelFormat::pf8bit);
    a.SetPalette(pal);
    b.SetPalette(pal);
    a.SetRawPixel(0, 0, 2);
    BitBlt(b, 0, 0, 1, 1, a, 0, 0, SRCCOPY);
    EXPECT_EQ(b.RawPixel(0, 0), 2u);
    TBitmap rgb(1, 1);
    rgb.SetPixel(0, 0, RGBColor(250, 10, 10));
    BitBlt(b, 0, 0, 1, 1, rgb, 0, 0, SRCCOPY);
    EXPECT_EQ(b.RawPixel(0, 0), 1u);
}

TEST(RasterOps, MaskBitOneKeepsTheDestination)
{
    TBitmap dst(3, 1), src(3, 1), mask(3, 1, TPixelFormat::pf1bit);
    dst.Fill(0x111111);
    src.Fill(0x222222);
    mask.SetRawPixel(1, 0, 0);
    ASSERT_TRUE(MaskBlt(dst, 0, 0, 3, 1, src, 0, 0, mask, 0, 0));
    EXPECT_EQ(dst.Pixel(0, 0), 0x111111u);
    EXPECT_EQ(dst.Pixel(1, 0), 0x222222u);
    EXPECT_EQ(dst.Pixel(2, 0), 0x111111u);
}

TEST(BmpReader, ReadsTheFormatsRealFilesUse)
{
    struct Case { const char* file; TPixelFormat format; int w, h; };
    const Case cases[] = {
        {"bmp/g/pal4rle.bmp", TPixelFormat::pf4bit, 127, 64},
        {"bmp/g/pal8rle.bmp", TPixelFormat::pf8bit, 127, 64},
        {"bmp/g/pal8topdown.bmp", TPixelFormat::pf8bit, 127, 64},
        {"bmp/g/pal8os2.bmp", TPixelFormat::pf8bit, 127, 64},
        {"bmp/g/pal8nonsquare.bmp", TPixelFormat::pf8bit, 127, 32},
        {"bmp/g/rgb16-565.bmp", TPixelFormat::pf24bit, 127, 64},
        {"bmp/g/rgb24.bmp", TPixelFormat::pf24bit, 127, 64},
        {"bmp/g/rgb32bf.bmp", TPixelFormat::pf32bit, 127, 64},
        {"bmp/q/rgb32-111110.bmp", TPixelFormat::pf32bit, 127, 64},
        {"bmp/q/rgba32-1010102.bmp", TPixelFormat::pf32bit, 127, 64},
        {"bmp/q/rgb16-3103.bmp", TPixelFormat::pf24bit, 127, 64},
        {"bmp/q/pal8os2v2-16.bmp", TPixelFormat::pf8bit, 127, 64},
        {"bmp/q/rgb32h52.bmp", TPixelFormat::pf32bit, 127, 64},
        {"bmp/q/rgba32-1.bmp", TPixelFormat::pf32bit, 127, 64},
    };
    // Every good file shows the same picture: red in the top-left corner;
    // top-down and bottom-up files alike.
    for (const auto& c : cases) {
        TBitmap b = LoadBmp(c.file);
        EXPECT_EQ(b.PixelFormat(), c.format) << c.file;
        EXPECT_EQ(b.Width(), c.w) << c.file;
        EXPECT_EQ(b.Height(), c.h) << c.file;
        EXPECT_GE(RedOf(b.Pixel(0, 0)), 0xF8) << c.file;
        EXPECT_EQ(GreenOf(b.Pixel(0, 0)), 0) << c.file;
    }
    const TBitmap twoBit = LoadBmp("bmp/q/pal2.bmp"); // four greys, widened to 4 bits
    EXPECT_EQ(twoBit.PixelFormat(), TPixelFormat::pf4bit);
    EXPECT_EQ(twoBit.Palette()->Count(), 4);
    // Bit fields wider than 8 bits and odd splits are scaled, not cut.
    EXPECT_EQ(LoadBmp("bmp/q/rgba32-1010102.bmp").Pixel(0, 0), RGBColor(255, 0, 0));
    const TBitmap mono = LoadBmp("bmp/g/pal1.bmp");
    EXPECT_EQ(mono.PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_EQ(mono.Pixel(0, 0), clWhite);
    EXPECT_EQ(LoadBmp("bmp/g/pal8topdown.bmp").Pixel(126, 63), LoadBmp("bmp/g/pal8.bmp").Pixel(126, 63));
}

TEST(BmpReader, EveryFileLoadsOrGivesTheMessage)
{
    int loaded = 0, refused = 0;
    for (const char* dir : {"bmp/g", "bmp/q", "bmp/b"})
        for (const auto& entry : std::filesystem::directory_iterator(Data(dir))) {
            std::vector<uint8_t> bytes = ReadWholeFile(entry.path().string());
            TBitmap b;
            const std::string result = LoadError(b, bytes);
            if (result == "loaded")
                ++loaded;
            else {
                EXPECT_EQ(result, "Bitmap image is not valid") << entry.path();
                ++refused;
            }
            // Truncated and byte-flipped copies: the message or a picture, never more.
            for (size_t cut : {size_t(20), size_t(60), bytes.size() / 2}) {
                std::vector<uint8_t> part(bytes.begin(), bytes.begin() + std::min(cut, bytes.size()));
                TBitmap t;
                const std::string r = LoadError(t, part);
                EXPECT_TRUE(r == "loaded" || r == "Bitmap image is not valid") << entry.path() << r;
            }
            for (size_t at = 14; at < std::min<size_t>(bytes.size(), 60); at += 3) {
                std::vector<uint8_t> flip = bytes;
                flip[at] ^= 0xA5;
                TBitmap t;
                const std::string r = LoadError(t, flip);
                EXPECT_TRUE(r == "loaded" || r == "Bitmap image is not valid") << entry.path() << r;
            }
        }
    EXPECT_GT(loaded, 60);
    EXPECT_GT(refused, 5);
    TBitmap b;
    EXPECT_EQ(LoadError(b, ReadWholeFile(Data("bmp/b/reallybig.bmp"))), "Bitmap image is not valid");
    EXPECT_EQ(LoadError(b, ReadWholeFile(Data("bmp/b/shortfile.bmp"))), "Bitmap image is not valid");
    EXPECT_EQ(LoadError(b, {}), "Bitmap image is not valid");
}

TEST(IconReader, TakesTheLargestImageWithItsTransparency)
{
    struct Case { const char* file; int w, h; };
    for (const Case& c : {Case{"ico/idle.ico", 256, 256}, Case{"ico/favicon.ico", 32, 32},
                          Case{"ico/bugcatcher.ico", 16, 16}, Case{"ico/sysinfo.ico", 32, 32}}) {
        TIcon icon;
        icon.LoadFromFile(Data(c.file));
        EXPECT_EQ(icon.Width(), c.w) << c.file;
        EXPECT_EQ(icon.Height(), c.h) << c.file;
    }
    TIcon icon;
    icon.LoadFromFile(Data("ico/idle.ico"));
    TBitmap canvas(256, 256);
    icon.Draw(canvas, Rect(0, 0, 256, 256));
    EXPECT_EQ(qAlpha(icon.Image().pixel(0, 0)), 0);
    EXPECT_EQ(canvas.Pixel(0, 0), clWhite); // transparent corner over white
}

TEST(IconReader, DamagedIconsGiveTheMessage)
{
    std::vector<uint8_t> good = ReadWholeFile(Data("ico/sysinfo.ico"));
    TIcon icon;
    EXPECT_EQ(LoadError(icon, {0, 0, 1, 0, 0, 0}), "Icon image is not valid");
    EXPECT_EQ(LoadError(icon, {good.begin(), good.begin() + 30}), "Icon image is not valid");
    std::vector<uint8_t> huge = good;
    huge[6 + 16 + 4 + 4] = 0x7F; // the image header claims an enormous width
    EXPECT_EQ(LoadError(icon, huge), "Icon image is not valid");
    for (const char* f : {"ico/idle.ico", "ico/favicon.ico", "ico/bugcatcher.ico", "ico/sysinfo.ico"}) {
        std::vector<uint8_t> bytes = ReadWholeFile(Data(f));
        for (size_t at = 0; at < std::min<size_t>(bytes.size(), 80); ++at) {
            std::vector<uint8_t> flip = bytes;
            flip[at] ^= 0x5A;
            TIcon t;
            const std::string r = LoadError(t, flip);
            EXPECT_TRUE(r == "loaded" || r == "Icon image is not valid") << f << " " << at << " " << r;
        }
    }
}

TEST(Picture, PicksTheClassByExtension)
{
    TPicture p;
    p.LoadFromFile(Data("bmp/g/pal8.bmp"));
    EXPECT_NE(dynamic_cast<TBitmap*>(p.Graphic()), nullptr);
    EXPECT_EQ(p.Width(), 127);
    p.LoadFromFile(Data("ico/favicon.ico"));
    EXPECT_NE(dynamic_cast<TIcon*>(p.Graphic()), nullptr);
    try {
        p.LoadFromFile(Data("jpeg/LICENSE.txt"));
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unknown picture file extension (.txt)");
    }
    EXPECT_EQ(p.Width(), 32); // a failed load keeps the old graphic

    RegisterFileFormat(".XYZ", "Test", [] { return std::make_unique<TBitmap>(); });
    EXPECT_NE(CreateGraphicForExtension("xyz"), nullptr);
    UnregisterFileFormat("xyz");
    EXPECT_EQ(CreateGraphicForExtension("xyz"), nullptr);
}

namespace {

// A BMP with a 40-byte header, the given colour table and pixel bytes.
std::vector<uint8_t> MakeBmp(int32_t w, int32_t h, uint16_t bits, uint32_t compression,
                             const std::vector<uint32_t>& colours, const std::vector<uint8_t>& pixels)
{
    std::vector<uint8_t> v;
    auto put16 = [&](uint32_t x) { v.push_back(uint8_t(x)); v.push_back(uint8_t(x >> 8)); };
    auto put32 = [&](uint32_t x) { put16(x & 0xFFFF); put16(x >> 16); };
    const uint32_t offset = 14 + 40 + uint32_t(colours.size()) * 4;
    v.push_back('B');
    v.push_back('M');
    put32(offset + uint32_t(pixels.size()));
    put32(0);
    put32(offset);
    put32(40);
    put32(uint32_t(w));
    put32(uint32_t(h));
    put16(1);
    put16(bits);
    put32(compression);
    put32(uint32_t(pixels.size()));
    put32(0);
    put32(0);
    put32(uint32_t(colours.size()));
    put32(0);
    for (uint32_t c : colours)
        put32(c);
    v.insert(v.end(), pixels.begin(), pixels.end());
    return v;
}

} // namespace

TEST(BmpReader, RunLengthEscapesAndLyingSizes)
{
    const std::vector<uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    // Bottom row: a run of 2 x index 1, an absolute run 2,3,1; then end of
    // line, a delta of (1, 0) and one index 3 in the top row; end of bitmap.
    TBitmap b;
    TMemoryStream s(MakeBmp(6, 2, 8, 1, pal, {2, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 1, 0, 1, 3, 0, 1}));
    b.LoadFromStream(s);
    ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
    const uint32_t bottom[6] = {1, 1, 2, 3, 1, 0}, top[6] = {0, 3, 0, 0, 0, 0};
    for (int x = 0; x < 6; ++x) {
        EXPECT_EQ(b.RawPixel(x, 1), bottom[x]) << x;
        EXPECT_EQ(b.RawPixel(x, 0), top[x]) << x;
    }
    // Runs past the row's end are clipped, not written elsewhere.
    TMemoryStream over(MakeBmp(2, 1, 8, 1, pal, {200, 1, 0, 1}));
    b.LoadFromStream(over);
    EXPECT_EQ(b.Width(), 2);

    std::string message;
    auto refuse = [&](std::vector<uint8_t> bytes) {
        TMemoryStream m(std::move(bytes));
        TBitmap t;
        try {
            t.LoadFromStream(m);
        } catch (const Exception& e) {
            return e.Message();
        }
        return std::string("loaded");
    };
    // 30000 x 30000 run-length pixels from 4 bytes, or uncompressed rows the file does not hold.
    EXPECT_EQ(refuse(MakeBmp(30000, 30000, 8, 1, pal, {0, 0, 0, 1})), "Bitmap image is not valid");
    EXPECT_EQ(refuse(MakeBmp(100, 100, 24, 0, {}, std::vector<uint8_t>(100))), "Bitmap image is not valid");
    EXPECT_EQ(refuse(MakeBmp(-5, 5, 24, 0, {}, std::vector<uint8_t>(200))), "Bitmap image is not valid");
    EXPECT_EQ(refuse(MakeBmp(4, -1, 8, 1, pal, {0, 1})), "Bitmap image is not valid"); // top-down RLE
    EXPECT_EQ(refuse(MakeBmp(4, 1, 24, 4, {}, std::vector<uint8_t>(16))), "Bitmap image is not valid"); // JPEG inside

    // 16 bits without bit fields are 5-5-5.
    TMemoryStream five(MakeBmp(1, 1, 16, 0, {}, {0x1F, 0x7C, 0, 0}));
    b.LoadFromStream(five);
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(255, 0, 255));
}

TEST(Bitmap, GrowingFromNoPixelsGivesWhite)
{
    TBitmap b;
    b.SetSize(0, 5); // rows without pixels
    b.SetSize(3, 5);
    EXPECT_EQ(b.Pixel(2, 4), clWhite);
    b.SetSize(3, 0);
    b.SetSize(3, 2);
    EXPECT_EQ(b.Pixel(0, 1), clWhite);
}

// Where TIFF puts the stored pixel (column c, row r) of a w x h picture
// when it is shown, for each orientation: the 0th row and 0th column's
// visual sides, as the tag's table gives them.
static void ShownAt(int orientation, int c, int r, int w, int h, int& x, int& y)
{
    switch (orientation) {
    case 1: x = c; y = r; break;                  // top, left
    case 2: x = w - 1 - c; y = r; break;          // top, right
    case 3: x = w - 1 - c; y = h - 1 - r; break;  // bottom, right
    case 4: x = c; y = h - 1 - r; break;          // bottom, left
    case 5: x = r; y = c; break;                  // left, top
    case 6: x = h - 1 - r; y = c; break;          // right, top
    case 7: x = h - 1 - r; y = w - 1 - c; break;  // right, bottom
    case 8: x = r; y = w - 1 - c; break;          // left, bottom
    }
}

TEST(OrientBitmapTest, EveryOrientationShowsThePixelsWhereTiffSaysAndKeepsTheFormat)
{
    for (TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit, TPixelFormat::pf8bit, TPixelFormat::pf4bit}) {
        const int w = 5, h = 3;
        TBitmap stored(w, h, format);
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c)
                stored.SetRawPixel(c, r, format == TPixelFormat::pf4bit ? uint32_t(r * w + c) % 16 : uint32_t(r * w + c) * 7);
        for (int o = 1; o <= 8; ++o) {
            SCOPED_TRACE(testing::Message() << "orientation " << o << " format " << int(format));
            TBitmap shown = stored;
            OrientBitmap(shown, o);
            ASSERT_EQ(shown.Width(), o >= 5 ? h : w);
            ASSERT_EQ(shown.Height(), o >= 5 ? w : h);
            EXPECT_EQ(shown.PixelFormat(), format);
            for (int r = 0; r < h; ++r)
                for (int c = 0; c < w; ++c) {
                    int x = 0, y = 0;
                    ShownAt(o, c, r, w, h, x, y);
                    EXPECT_EQ(shown.RawPixel(x, y), stored.RawPixel(c, r)) << c << "," << r;
                }
        }
    }
    TBitmap odd(2, 2);
    odd.SetPixel(1, 0, clBlack);
    OrientBitmap(odd, 0);
    OrientBitmap(odd, 9);
    EXPECT_EQ(odd.Pixel(1, 0), clBlack);
}
