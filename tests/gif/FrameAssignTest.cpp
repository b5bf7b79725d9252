// Frames from other pictures: bitmaps of every depth, the colour ring and
// its overflow, transparency from masks, frame copies, the image's add and
// the clipboard.
#include "GifTestUtil.h"
#include "platform/Clipboard.h"
#include "platform/Icon.h"
#include "platform/Picture.h"

#include <gtest/gtest.h>

#include <functional>

using namespace giftest;

namespace {

std::string AddError(TMyGIFImage& image, const TGraphic& graphic)
{
    try {
        image.Add(graphic);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

std::unique_ptr<TMyGIFImage> ReadBack(TMyGIFImage& image)
{
    TMemoryStream s;
    image.SaveToStream(s);
    auto back = std::make_unique<TMyGIFImage>();
    s.Seek(0, SeekOrigin::Begin);
    back->LoadFromStream(s);
    return back;
}

} // namespace

TEST(FrameImport, ThreeHundredColoursOverflowUnreducedAndFitTheCube)
{
    TMyGIFImage image;
    image.ColorReduction = 0;
    EXPECT_EQ(AddError(image, ManyColours()), "Color table overflow");
    EXPECT_EQ(image.FrameCount(), 0); // the failed frame is freed

    image.ColorReduction = 6; // the start value
    EXPECT_EQ(AddError(image, ManyColours()), "");
    ASSERT_EQ(image.FrameCount(), 1);
    TGIFSubImage& f = *image.Frame(0);
    EXPECT_EQ(f.Width(), 20);
    EXPECT_EQ(f.Height(), 15);
    EXPECT_GT(f.LocalColors().EntryCount(), 1);
    EXPECT_LE(f.LocalColors().EntryCount(), 216);
    EXPECT_EQ(image.Width(), 20);
}

TEST(FrameImport, TwentyFourBitsKeepOrderAndColourAfterTheExchange)
{
    TBitmap b(5, 1, TPixelFormat::pf24bit);
    const TColor c[] = {RGBColor(250, 10, 1), RGBColor(2, 200, 30), RGBColor(250, 10, 1), RGBColor(7, 8, 240),
                        RGBColor(2, 200, 30)};
    for (int x = 0; x < 5; ++x)
        b.SetPixel(x, 0, c[x]);
    TMyGIFImage image;
    image.ColorReduction = 0;
    image.Add(b);
    TGIFSubImage& f = *image.Frame(0);
    ASSERT_EQ(f.LocalColors().EntryCount(), 3);
    EXPECT_EQ(f.LocalColors().ColorAt(0), c[0]);
    EXPECT_EQ(f.LocalColors().ColorAt(1), c[1]);
    EXPECT_EQ(f.LocalColors().ColorAt(2), c[3]);
    EXPECT_EQ(FramePixels(f), (Bytes{0, 1, 0, 2, 1}));
    // Exactly 256 colours still fit.
    TBitmap full(16, 16, TPixelFormat::pf24bit);
    for (int i = 0; i < 256; ++i)
        full.SetPixel(i % 16, i / 16, RGBColor(uint8_t(i), uint8_t(255 - i), 7));
    EXPECT_EQ(AddError(image, full), "");
    EXPECT_EQ(image.Frame(1)->LocalColors().EntryCount(), 256);
}

TEST(FrameImport, IndexedBitmapsKeepPaletteAndIndices)
{
    TBitmap four(3, 1, TPixelFormat::pf4bit);
    four.ScanLine(0)[0] = 0xAB;
    four.ScanLine(0)[1] = 0xC0;
    TMyGIFImage image;
    image.Add(four);
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{10, 11, 12}));
    EXPECT_EQ(image.Frame(0)->LocalColors().EntryCount(), 16);
    EXPECT_EQ(image.Frame(0)->LocalColors().ColorAt(12), four.Palette()->Color(12));

    TBitmap one(10, 1, TPixelFormat::pf1bit);
    one.ScanLine(0)[0] = 0xA0;
    one.ScanLine(0)[1] = 0x40;
    image.Add(one);
    EXPECT_EQ(FramePixels(*image.Frame(1)), (Bytes{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(image.Frame(1)->LocalColors().EntryCount(), 2);

    TBitmap eight(2, 2, TPixelFormat::pf8bit);
    eight.SetPalette(MakePalette({{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}}));
    eight.SetRawPixel(0, 0, 2);
    eight.SetRawPixel(1, 0, 0);
    eight.SetRawPixel(0, 1, 1);
    eight.SetRawPixel(1, 1, 2);
    image.Add(eight);
    EXPECT_EQ(FramePixels(*image.Frame(2)), (Bytes{2, 0, 1, 2}));
    EXPECT_EQ(image.Frame(2)->LocalColors().ColorAt(1), RGBColor(4, 5, 6));
}

TEST(FrameImport, TransparentBitmapGetsAMaskedIndexOnlyWhenTheMaskMarksPixels)
{
    TBitmap b(4, 2, TPixelFormat::pf24bit);
    b.Fill(RGBColor(10, 20, 30));
    b.SetPixel(0, 0, RGBColor(200, 0, 0));
    b.SetTransparent(true);
    b.SetTransparentColor(RGBColor(1, 1, 1)); // not in the picture
    TMyGIFImage image;
    image.ColorReduction = 0;
    image.Add(b);
    EXPECT_EQ(image.Frame(0)->ControlExtension(), nullptr);
    EXPECT_FALSE(image.Frame(0)->HasTransparency());
    EXPECT_EQ(image.Frame(0)->LocalColors().EntryCount(), 2);

    b.SetTransparentColor(RGBColor(200, 0, 0));
    image.Add(b);
    TGIFSubImage& f = *image.Frame(1);
    ASSERT_NE(f.ControlExtension(), nullptr);
    EXPECT_TRUE(f.HasTransparency());
    // Sorted by use (the common colour first), then the new black entry.
    EXPECT_EQ(f.LocalColors().EntryCount(), 3);
    EXPECT_EQ(f.ControlExtension()->TransparentIndex(), 2);
    EXPECT_EQ(f.LocalColors().ColorAt(2), clBlack);
    EXPECT_EQ(FramePixels(f), (Bytes{2, 0, 0, 0, 0, 0, 0, 0}));

    const auto held = ReadBack(image);
    TMyGIFImage& back = *held;
    ASSERT_EQ(back.FrameCount(), 2);
    EXPECT_TRUE(back.Frame(1)->HasTransparency());
    EXPECT_EQ(back.Frame(1)->ControlExtension()->TransparentIndex(), 2);
}

TEST(FrameImport, IconKeepsItsTransparencyThroughSaveAndReadBack)
{
    TIcon icon;
    icon.LoadFromFile(std::string(GMB_TEST_DATA) + "/ico/idle.ico");
    TMyGIFImage image;
    image.Add(icon);
    const auto held = ReadBack(image);
    TMyGIFImage& back = *held;
    ASSERT_EQ(back.FrameCount(), 1);
    TGIFSubImage& f = *back.Frame(0);
    ASSERT_TRUE(f.HasTransparency());
    const int transparent = f.ControlExtension()->TransparentIndex();
    const QImage& src = icon.Image();
    ASSERT_EQ(f.Width(), src.width());
    int clear = 0, solid = 0;
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < src.width(); ++x) {
            const int alpha = qAlpha(src.pixel(x, y));
            if (alpha == 0) {
                ++clear;
                ASSERT_EQ(f.PixelAt(x, y), transparent) << x << "," << y;
            } else if (alpha == 255) {
                ++solid;
                ASSERT_NE(f.PixelAt(x, y), transparent) << x << "," << y;
            }
        }
    EXPECT_GT(clear, 0);
    EXPECT_GT(solid, 0);
    // Drawn with its mask, the frame leaves the canvas where the icon is clear.
    ASSERT_TRUE(f.HasTransparencyMask());
}

TEST(FrameAssign, FrameCopyTakesPixelsColoursAndExtensions)
{
    TBitmap b(3, 2, TPixelFormat::pf24bit);
    b.Fill(RGBColor(9, 9, 9));
    b.SetPixel(2, 1, RGBColor(90, 0, 0));
    b.SetTransparent(true);
    b.SetTransparentColor(RGBColor(90, 0, 0));
    TMyGIFImage image;
    image.ColorReduction = 0;
    image.Add(b);
    TGIFSubImage copy(&image);
    copy.Assign(*image.Frame(0));
    EXPECT_EQ(FramePixels(copy), FramePixels(*image.Frame(0)));
    EXPECT_EQ(copy.LocalColors().EntryCount(), image.Frame(0)->LocalColors().EntryCount());
    ASSERT_EQ(copy.FrameExtensions().Count(), 1);
    ASSERT_NE(copy.ControlExtension(), nullptr);
    EXPECT_EQ(copy.ControlExtension()->OwnerFrame(), &copy);
    EXPECT_TRUE(copy.HasTransparency());

    copy.Assign(static_cast<const TGraphic*>(nullptr));
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(copy.FrameExtensions().Count(), 0);
}

TEST(FrameAssign, CopiesOfAnInterlacedFrameKeepItsRowsThroughSaving)
{
    // Copied straight after reading, while the rows are still pass by pass.
    TMyGIFImage source;
    source.LoadFromFile(std::string(GMB_TEST_DATA) + "/gif-suite/interlace.gif");
    ASSERT_TRUE(source.Frame(0)->IsInterlaced());
    TMyGIFImage image;
    image.Add(static_cast<const TGIFObject&>(*source.Frame(0)));
    TGIFSubImage& copy = *image.Frame(0);
    if (copy.LocalColors().EntryCount() == 0)
        copy.LocalColors().Assign(source.GlobalColors());
    const auto back = ReadBack(image);
    const auto expected = FramePixels(*source.Frame(0));
    EXPECT_EQ(FramePixels(copy), expected);
    EXPECT_EQ(FramePixels(*back->Frame(0)), expected);
}

TEST(FrameAssign, PictureContainerAndRefusedObjects)
{
    TPicture picture;
    auto bitmap = std::make_unique<TBitmap>(6, 4, TPixelFormat::pf8bit);
    picture.SetGraphic(std::move(bitmap));
    TMyGIFImage image;
    TGIFSubImage frame(&image);
    frame.Assign(picture);
    EXPECT_EQ(frame.Width(), 6);
    EXPECT_EQ(frame.Height(), 4);

    try {
        frame.Assign(static_cast<const TGIFObject&>(image.GlobalColors()));
        ADD_FAILURE() << "assigned a colour table";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TGIFGlobalColorMap to a TGIFSubImage");
    }
    try {
        image.Add(static_cast<const TGIFObject&>(image.GlobalColors()));
        ADD_FAILURE() << "added a colour table";
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Object type not supported for operation");
    }
    EXPECT_EQ(image.FrameCount(), 0);
}

TEST(FrameAssign, ProgressReportsConverting)
{
    TMyGIFImage image;
    std::vector<std::pair<TProgressStage, int>> seen;
    image.OnProgress = [&](TGIFObject&, TProgressStage stage, int percent, bool, const TGIFRect&, const std::string& m) {
        if (m == "Converting...")
            seen.emplace_back(stage, percent);
    };
    image.Add(ManyColours());
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen.front().first, TProgressStage::Starting);
    EXPECT_EQ(seen.back(), std::make_pair(TProgressStage::Ending, 100));

    seen.clear();
    image.ColorReduction = 0;
    EXPECT_EQ(AddError(image, ManyColours()), "Color table overflow");
    EXPECT_EQ(seen.back(), std::make_pair(TProgressStage::Ending, 0));
}

TEST(FrameAssign, ClipboardBitmapBecomesAFrame)
{
    TMemoryClipboard clipboard;
    ScopedClipboard scope(clipboard);
    TBitmap b(7, 5, TPixelFormat::pf24bit);
    b.Fill(RGBColor(0, 102, 255));
    ASSERT_TRUE(clipboard.SetContent(&b, {}));
    TMyGIFImage image;
    image.LoadFromClipboard();
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.Width(), 7);
    EXPECT_EQ(image.ImageBitmap()->Pixel(6, 4), RGBColor(0, 102, 255));
}

namespace {

// A frame of width x height whose local table is full: 256 greys (entry i
// is (i, i, i)); pixel n has index pixelOf(n).
Bytes FullTableFrame(int width, int height, const std::function<int(int)>& pixelOf)
{
    Bytes b = Header(width, height, 0x00);
    Append(b, Descriptor(0, 0, width, height, 0x87));
    for (int i = 0; i < 256; ++i)
        Append(b, {i, i, i});
    std::vector<int> pixels;
    for (int n = 0; n < width * height; ++n)
        pixels.push_back(pixelOf(n));
    Append(b, ImageData(8, LiteralCodes(pixels, 8)));
    b.push_back(0x3B);
    return b;
}

TBitmap MaskOf(int width, int height, const std::vector<int>& marked)
{
    TBitmap mask(width, height, TPixelFormat::pf8bit);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            mask.SetRawPixel(x, y, 0);
    for (int n : marked)
        mask.SetRawPixel(n % width, n / width, 1);
    return mask;
}

// The colour each pixel shows, or none where it is transparent.
std::vector<TColor> Shown(TGIFSubImage& f)
{
    const TGIFGraphicControlExtension* c = f.ControlExtension();
    std::vector<TColor> out;
    for (int y = 0; y < f.Height(); ++y)
        for (int x = 0; x < f.Width(); ++x) {
            const int i = f.PixelAt(x, y);
            out.push_back(c && c->Transparent() && i == c->TransparentIndex() ? clNone : f.LocalColors().ColorAt(i));
        }
    return out;
}

} // namespace

TEST(FrameTransparency, AFullTableGivesUpAColourOnlyTheMaskUsed)
{
    // 256 pixels, one of each grey; the mask covers grey 7 alone.
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, FullTableFrame(16, 16, [](int n) { return n; })), "");
    TGIFSubImage& f = *image.Frame(0);
    std::vector<TColor> expected = Shown(f);
    expected[7] = clNone;
    f.AddTransparencyFromMask(MaskOf(16, 16, {7}));
    ASSERT_TRUE(f.HasTransparency());
    EXPECT_EQ(f.LocalColors().EntryCount(), 256);
    EXPECT_EQ(Shown(f), expected);
    // And so it reads back.
    const auto back = ReadBack(image);
    EXPECT_EQ(Shown(*back->Frame(0)), expected);
}

TEST(FrameTransparency, AFullTableMergesTheLeastVisibleColourIntoItsNearest)
{
    // Two pixels of each grey; the mask covers one pixel of grey 200 and
    // both of grey 3, so grey 200 keeps one visible pixel and every other
    // grey two: grey 3's entry becomes the transparent one without loss.
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, FullTableFrame(32, 16, [](int n) { return n % 256; })), "");
    TGIFSubImage& f = *image.Frame(0);
    std::vector<TColor> expected = Shown(f);
    for (int n : {3, 259, 200})
        expected[size_t(n)] = clNone;
    f.AddTransparencyFromMask(MaskOf(32, 16, {3, 259, 200}));
    EXPECT_EQ(Shown(f), expected);

    // Now no colour is hidden whole: the mask covers one pixel of grey 9,
    // whose other pixel takes the nearest grey, 8 or 10.
    TMyGIFImage again;
    ASSERT_EQ(LoadBytes(again, FullTableFrame(32, 16, [](int n) { return n % 256; })), "");
    TGIFSubImage& g = *again.Frame(0);
    std::vector<TColor> before = Shown(g);
    g.AddTransparencyFromMask(MaskOf(32, 16, {9}));
    ASSERT_TRUE(g.HasTransparency());
    const std::vector<TColor> after = Shown(g);
    EXPECT_EQ(after[9], clNone);
    int changed = 0;
    for (size_t n = 0; n < after.size(); ++n) {
        if (n == 9 || after[n] == before[n])
            continue;
        ++changed;
        EXPECT_EQ(n, 9u + 256u);
        EXPECT_TRUE(after[n] == RGBColor(8, 8, 8) || after[n] == RGBColor(10, 10, 10));
    }
    EXPECT_EQ(changed, 1);
}

TEST(FrameTransparency, AFrameWithoutItsOwnTableCopiesTheGlobalOne)
{
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, OneFrame(2, 1, ImageData(2, LiteralCodes({1, 2}, 2)))), "");
    TGIFSubImage& f = *image.Frame(0);
    ASSERT_EQ(f.LocalColors().EntryCount(), 0);
    const TColor second = image.GlobalColors().ColorAt(2);
    f.AddTransparencyFromMask(MaskOf(2, 1, {0}));
    ASSERT_TRUE(f.HasTransparency());
    EXPECT_GT(f.LocalColors().EntryCount(), 0);
    EXPECT_EQ(Shown(f), (std::vector<TColor>{clNone, second}));

    // No table anywhere: a clear refusal, not an opaque frame.
    TMyGIFImage bare;
    Bytes b = Header(2, 1, 0x00);
    Append(b, Descriptor(0, 0, 2, 1));
    Append(b, ImageData(2, LiteralCodes({1, 2}, 2)));
    b.push_back(0x3B);
    ASSERT_EQ(LoadBytes(bare, b), "");
    try {
        bare.Frame(0)->AddTransparencyFromMask(MaskOf(2, 1, {0}));
        FAIL() << "no error";
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "No global or local color table defined");
    }
    // A mask that marks nothing asks for no table.
    EXPECT_NO_THROW(bare.Frame(0)->AddTransparencyFromMask(MaskOf(2, 1, {})));
    EXPECT_FALSE(bare.Frame(0)->HasTransparency());
}
