// The catalogue's G kind through the codec: a thumbnail of a real GIF, the
// loader's copy of the image bitmap, and the codec's message for a broken one.
#include "GifTestUtil.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Picture.h"

#include <gtest/gtest.h>

using namespace giftest;

TEST(GifCatalogue, ThumbnailAndLoaderUseTheImageBitmap)
{
    ASSERT_NE(CreateGraphicForExtension("gif"), nullptr);
    const Bytes bytes = ReadFile(SuitePath("four-colors.gif"));

    TMemoryStream s(bytes);
    TBitmap loaded;
    LoadGifFromStream(s, loaded);
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, bytes), "");
    const TBitmap& own = *image.ImageBitmap();
    ASSERT_EQ(loaded.Width(), own.Width());
    ASSERT_EQ(loaded.Height(), own.Height());
    for (int y = 0; y < own.Height(); ++y)
        for (int x = 0; x < own.Width(); ++x)
            ASSERT_EQ(loaded.Pixel(x, y), own.Pixel(x, y));

    TMemoryStream again(bytes);
    const TBitmap thumb = MakeThumbnail(again, 'G', 32, 32);
    int nonWhite = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            nonWhite += thumb.Pixel(x, y) != clWhite;
    EXPECT_GT(nonWhite, 200);

    Bytes cut(bytes.begin(), bytes.begin() + 5);
    TMemoryStream broken(cut);
    try {
        MakeThumbnail(broken, 'G', 32, 32);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Premature end of data");
    }
}
