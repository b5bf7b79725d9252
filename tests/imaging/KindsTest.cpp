#include "imaging/ImageFiles.h"
#include "imaging/ImageKinds.h"
#include "imaging/Thumbnail.h"
#include "platform/RasterOps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(Kinds, TableOfLettersExtensionsAndLabels)
{
    const auto& kinds = ImageKinds();
    ASSERT_EQ(kinds.size(), 11u);
    std::string letters;
    for (const auto& k : kinds)
        letters += k.Letter;
    // The six of old first, in their order, then the newer kinds.
    EXPECT_EQ(letters, "BIEWJGPVTHA");
    EXPECT_EQ(KindOf('P').StatisticLabel, "PNGs:");
    EXPECT_EQ(KindOf('V').FilterExpression, " ImageType='V' ");
    EXPECT_EQ(KindOf('T').Extensions, (std::vector<std::string>{".tif", ".tiff"}));
    EXPECT_EQ(KindOf('H').Extensions, (std::vector<std::string>{".heic", ".heif"}));
    EXPECT_EQ(KindOf('A').ShownExtension, ".avif");
    EXPECT_EQ(KindOf('J').ShownExtension, ".jpg");
    EXPECT_EQ(KindOf('J').Extensions, (std::vector<std::string>{".jpg", ".jpeg"}));
    EXPECT_EQ(KindOf('E').FilterExpression, " ImageType='E' ");
    EXPECT_EQ(KindOf('E').StatisticLabel, "Enhanced metafiles:");
    EXPECT_EQ(KindOf('W').StatisticLabel, "Metafiles:");
    EXPECT_EQ(KindOf('G').StatisticLabel, "GIFs:");
    EXPECT_EQ(KindOf("I").ShownExtension, ".ico");
    // Any other letter is a bitmap wherever the window chooses by kind.
    EXPECT_EQ(KindOf('X').Letter, 'B');
    EXPECT_EQ(KindOf('j').Letter, 'B');
    EXPECT_EQ(KindOf("").ShownExtension, ".bmp");
    EXPECT_FALSE(IsImageKind(PasswordKind));
    EXPECT_TRUE(IsImageKind('B'));
}

TEST(Kinds, LetterOfAFileAndNameWithoutExtension)
{
    EXPECT_EQ(KindLetterOfFile("/pics/a.bmp"), 'B');
    EXPECT_EQ(KindLetterOfFile("a.JPEG"), 'J');
    EXPECT_EQ(KindLetterOfFile("a.jpg"), 'J');
    EXPECT_EQ(KindLetterOfFile("x.Gif"), 'G');
    EXPECT_EQ(KindLetterOfFile("dir.d/noext"), 0);
    EXPECT_TRUE(IsAcceptedImageFile("C:\\x\\Y.JPEG"));
    EXPECT_TRUE(IsAcceptedImageFile("y.wmf"));
    EXPECT_TRUE(IsAcceptedImageFile("y.png"));
    EXPECT_FALSE(IsAcceptedImageFile("y.svg"));
    EXPECT_FALSE(IsAcceptedImageFile("y.jpe"));

    EXPECT_EQ(NameWithoutExt("C:\\pics\\my.cat.jpeg"), "my.cat");
    EXPECT_EQ(NameWithoutExt("/home/u/Sunset.jpg"), "Sunset");
    EXPECT_EQ(NameWithoutExt("mixed/dir\\name.ico"), "name");
    EXPECT_EQ(NameWithoutExt("a.b/plain"), "plain");
}

TEST(StretchToFit, TheFitHoldsToThePixel)
{
    EXPECT_EQ(FitRect(640, 480, 96, 96), Rect(0, 12, 96, 84));
    EXPECT_EQ(FitRect(8, 5, 4, 4), Rect(0, 1, 4, 3));       // 2.5 rounds to 2
    EXPECT_EQ(FitRect(1000, 10, 96, 96), Rect(0, 47, 96, 48)); // 1 pixel high
    EXPECT_EQ(FitRect(64, 32, 32, 16), Rect(0, 0, 32, 16));    // proportional: width branch, full
    EXPECT_EQ(FitRect(1, 1, 32, 32), Rect(0, 0, 32, 32));
    EXPECT_EQ(FitRect(10, 20, 32, 32), Rect(8, 0, 24, 32));    // height branch
    EXPECT_EQ(FitRect(8, 7, 4, 4), Rect(0, 0, 4, 4));          // 3.5 rounds to 4
    // The factor is a 32-bit float: 100/24 as a float is a hair below, so
    // 9 x f is 37.4999986 and rounds to 37, where exact 37.5 would give 38.
    EXPECT_EQ(FitRect(24, 9, 100, 100), Rect(0, 31, 100, 68));
    EXPECT_EQ(FitRect(320, 200, 32, 32), Rect(0, 6, 32, 26));
}

TEST(StretchToFit, DrawsCentredAndLeavesTheRestWhite)
{
    TBitmap src(8, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 8; ++x)
            src.SetPixel(x, y, RGBColor(uint8_t(x * 30), uint8_t(y * 50), 0));
    TBitmap thumb(4, 4);
    StretchToFit(src, thumb);
    EXPECT_EQ(thumb.Width(), 4);
    EXPECT_EQ(src.Width(), 8);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(thumb.Pixel(x, 0), clWhite);
        EXPECT_EQ(thumb.Pixel(x, 3), clWhite);
        // Every second column and row of the source: dropped, not averaged.
        EXPECT_EQ(thumb.Pixel(x, 1), RGBColor(uint8_t(2 * x * 30), 0, 0));
        EXPECT_EQ(thumb.Pixel(x, 2), RGBColor(uint8_t(2 * x * 30), 2 * 50, 0));
    }

    TBitmap one(1, 1);
    one.SetPixel(0, 0, 0x123456);
    TBitmap filled(5, 5);
    StretchToFit(one, filled);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(filled.Pixel(x, y), 0x123456u);
}

TEST(StretchToFit, AnEmptySourceLeavesAWhiteThumbnail)
{
    TBitmap empty(0, 7);
    TBitmap thumb(6, 6);
    StretchToFit(empty, thumb);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            EXPECT_EQ(thumb.Pixel(x, y), clWhite);
}

// The walk of files and folders an add takes (the window's drops and Add
// Folder, the vault tool's add).
TEST(Kinds, FolderWalkFindsImagesRecursivelyAndSetsTheRestApart)
{
    const QTemporaryDir dir;
    const QString root = dir.path();
    auto write = [&](const QString& relative) {
        QDir().mkpath(QFileInfo(root + "/" + relative).path());
        QFile f(root + "/" + relative);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("x");
    };
    for (const char* f : {"pics/b.JPG", "pics/a.png", "pics/sub/deep/c.gif", "pics/notes.txt", "pics/.hidden.jpg",
                          "pics/.cache/d.jpg", "outside/e.jpg", "single.doc"})
        write(f);
    // A link back up would loop; a link out would leave the folder.
    ASSERT_TRUE(QFile::link(root + "/pics", root + "/pics/sub/loop"));
    ASSERT_TRUE(QFile::link(root + "/outside", root + "/pics/out"));
    const std::string r = root.toStdString();
    int breaths = 0;
    const TImageFileWalk walk =
        CollectImageFiles({r + "/single.doc", r + "/pics", r + "/gone.jpg"}, [&] { ++breaths; });
    EXPECT_EQ(walk.files, (std::vector<std::string>{r + "/single.doc", r + "/pics/a.png", r + "/pics/b.JPG",
                                                    r + "/pics/sub/deep/c.gif"}));
    EXPECT_EQ(walk.skipped, std::vector<std::string>{r + "/pics/notes.txt"});
    EXPECT_EQ(walk.missing, std::vector<std::string>{r + "/gone.jpg"});
    EXPECT_EQ(breaths, 0); // a small folder needs none
}
