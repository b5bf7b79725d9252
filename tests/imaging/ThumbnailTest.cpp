// Before any Qt header: the store's headers use names that Qt defines as macros.
#include "store/UDMMain.h"

#include "ImagingTestSupport.h"
#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "imaging/ShellIcon.h"
#include "imaging/Thumbnail.h"
#include "platform/Exception.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <QGuiApplication>
#include <QPainter>
#include <gtest/gtest.h>

extern "C" void FcFini(void);

namespace {


TBitmap ThumbnailOf(const std::string& rel, ImageKind kind, int w, int h)
{
    TFileStream s(Data(rel), FileMode::OpenRead);
    return MakeThumbnail(s, kind, w, h);
}

int NonWhite(const TBitmap& b)
{
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            n += b.Pixel(x, y) != clWhite;
    return n;
}

} // namespace

TEST(Thumbnail, EveryKindFitsIntoTheThumbnailSize)
{
    struct Case { const char* file; ImageKind kind; };
    for (const Case& c : {Case{"bmp/g/pal4rle.bmp", 'B'}, Case{"ico/favicon.ico", 'I'}, Case{"emf/test-008.emf", 'E'},
                          Case{"wmf/ant.wmf", 'W'}, Case{"jpeg/testimgint.jpg", 'J'}}) {
        const TBitmap t = ThumbnailOf(c.file, c.kind, 48, 40);
        EXPECT_EQ(t.Width(), 48) << c.file;
        EXPECT_EQ(t.Height(), 40) << c.file;
        EXPECT_GT(NonWhite(t), 100) << c.file;
    }
    // 227 x 149 into 48 x 40: 48 x 32 at (0, 4); the bands above and below stay white.
    const TBitmap jpeg = ThumbnailOf("jpeg/testorig.jpg", 'J', 48, 40);
    for (int x = 0; x < 48; ++x) {
        EXPECT_EQ(jpeg.Pixel(x, 3), clWhite);
        EXPECT_EQ(jpeg.Pixel(x, 36), clWhite);
    }
}

TEST(Thumbnail, TheDecodersMessagePassesOn)
{
    TMemoryStream s(std::vector<uint8_t>{'x', 'y'});
    try {
        MakeThumbnail(s, 'I', 32, 32);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Icon image is not valid");
    }
}

TEST(Thumbnail, AnUnknownLetterIsNeverDecodedAsABitmap)
{
    EnsureApp();
    for (ImageKind letter : {'?', 'Q', 'b', '\\'}) {
        TFileStream s(Data("bmp/g/rgb24.bmp"), FileMode::OpenRead);
        try {
            MakeThumbnail(s, letter, 32, 32);
            ADD_FAILURE() << letter;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), "Unknown image kind");
        }
    }
    TDMMain store;
    store.CreateNewTable();
    store.StoreImageFile(false, "later", "Q", 1, 1, Data("bmp/g/rgb24.bmp"));
    TImageList large(32, 32), small(16, 16);
    ASSERT_TRUE(store.LocateRecord("later", "Q"));
    EXPECT_THROW(AddRecordThumbnail(store, large, small), Exception);
    EXPECT_EQ(large.Count(), 0);
    EXPECT_EQ(RecordFileName("later", "Q"), "later.q");
    EXPECT_EQ(RecordFileName("later", "?"), "later.dat");
    EXPECT_EQ(RecordFileName("Sunset", "J"), "Sunset.jpg");
    // A name of 255 bytes still makes a file name of 255 bytes, extension kept.
    EXPECT_EQ(RecordFileName(std::string(250, 'n') + "\xC3\xA9\xC3\xA9", "J"), std::string(250, 'n') + ".jpg");
    EXPECT_EQ(RecordFileName(std::string(249, 'n') + "\xC3\xA9\xC3\xA9", "J"), std::string(249, 'n') + "\xC3\xA9.jpg");
}

TEST(Thumbnail, TheBrokenPictureIsWhiteAroundItsIcon)
{
    EnsureApp();
    const QImage broken = BrokenImagePicture(48, 32);
    ASSERT_EQ(broken.size(), QSize(48, 32));
    EXPECT_EQ(broken.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(broken.pixel(47, 31), qRgb(255, 255, 255));
    int coloured = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 8; x < 40; ++x)
            coloured += broken.pixel(x, y) != qRgb(255, 255, 255);
    EXPECT_GT(coloured, 50);
}

TEST(Thumbnail, ImageListsScaleToTheirSize)
{
    TImageList list(16, 16);
    list.Add(TBitmap(40, 20));
    list.Add(QImage(16, 16, QImage::Format_ARGB32));
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list[0].size(), QSize(16, 16));
    list.SetSize(32, 32);
    EXPECT_EQ(list.Count(), 0);
}

TEST(ShellIcon, EveryKindHasAnIconWithoutATheme)
{
    EnsureApp();
    for (const TImageKind& k : ImageKinds()) {
        const QImage icon = ShellIconImage("a" + k.ShownExtension, 16, 16);
        ASSERT_EQ(icon.size(), QSize(16, 16));
        int opaque = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                opaque += qAlpha(icon.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 40) << k.ShownExtension;
    }
    // Each kind's own bundled icon, not the generic page: the other
    // extensions of a kind share its shown extension's icon.
    const QImage generic = ShellIconImage("a.unknownext", 48, 48);
    for (const char* name : {"a.png", "a.webp", "a.tif", "a.tiff", "a.heic", "a.heif", "a.avif"})
        EXPECT_NE(ShellIconImage(name, 48, 48), generic) << name;
    EXPECT_EQ(ShellIconImage("a.tiff", 48, 48), ShellIconImage("a.tif", 48, 48));
    TImageList small(16, 16), large(32, 32);
    AddShellIcon("a.gif", nullptr, &small);
    AddShellIcon("x.unknownext", &large, &small);
    EXPECT_EQ(small.Count(), 2);
    EXPECT_EQ(large.Count(), 1);
    EXPECT_EQ(large[0].size(), QSize(32, 32));
}

TEST(Thumbnail, OneRecordAddsOneImageToEachList)
{
    EnsureApp();
    TDMMain store;
    store.CreateNewTable();
    store.StoreImageFile(false, "Sunset", "J", 227, 149, Data("jpeg/testorig.jpg"));

    TImageList large(32, 32), small(16, 16);
    AddRecordThumbnail(store, large, small);
    ASSERT_EQ(large.Count(), 1);
    ASSERT_EQ(small.Count(), 1);
    EXPECT_EQ(large[0].size(), QSize(32, 32));
    EXPECT_EQ(large[0].pixel(0, 0), qRgb(255, 255, 255)); // 32 x 21 at (0, 5)
    EXPECT_NE(large[0].pixel(16, 16), qRgb(255, 255, 255));

    // A damaged record: the message passes on and neither list grows.
    store.StoreImageFile(false, "Broken", "J", 1, 1, Data("jpeg/LICENSE.txt"));
    ASSERT_TRUE(store.LocateImage("Broken", "J"));
    EXPECT_THROW(AddRecordThumbnail(store, large, small), Exception);
    EXPECT_EQ(large.Count(), 1);
    EXPECT_EQ(small.Count(), 1);
}

TEST(GifKind, ThumbnailComesFromTheCodecsImageBitmap)
{
    RegisterCatalogueGraphics();
    ASSERT_NE(CreateGraphicForExtension("gif"), nullptr);
    TMemoryStream reds(ReadWholeFile(Data("gif-suite/all-reds.gif")));
    const TBitmap t = MakeThumbnail(reds, 'G', 32, 32);
    EXPECT_GT(NonWhite(t), 900); // a 16 x 16 picture stretched over the whole thumbnail
    EXPECT_EQ(BlueOf(t.Pixel(16, 16)), 0);
    EXPECT_GT(RedOf(t.Pixel(16, 31)), 0);

    // Bytes that are no GIF give the codec's message, not a picture.
    TMemoryStream bmp(ReadWholeFile(Data("bmp/g/rgb24.bmp")));
    TBitmap b;
    EXPECT_THROW(LoadGifFromStream(bmp, b), Exception);
}

TEST(MetafileLoader, FontconfigOutlivesTheEmfPlayer)
{
    // libemf2svg calls FcFini while Qt holds fontconfig's caches; the
    // program's FcFini must be the harmless one, or text drawing breaks.
    EnsureApp();
    auto drawText = [] {
        QImage image(120, 30, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter p(&image);
        p.drawText(4, 20, QStringLiteral("Glimmerbox"));
        p.end();
        int dark = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 120; ++x)
                dark += qGray(image.pixel(x, y)) < 128;
        return dark;
    };
    const int before = drawText();
    FcFini();
    for (const char* f : {"emf/test-092.emf", "emf/test_libuemf_ref.emf"}) {
        TFileStream s(Data(f), FileMode::OpenRead);
        TBitmap b;
        LoadMetafileFromStream(s, b);
    }
    EXPECT_EQ(drawText(), before);
}
