// A metafile becomes a frame that is transparent where the metafile paints
// nothing, through saving and reading back.
#include "GifTestUtil.h"
#include "imaging/LoadersMetafile.h"

#include <gtest/gtest.h>

using namespace giftest;

TEST(MetafileFrame, TransparentWhereTheBackgroundShows)
{
    for (const char* name : {"/emf/test-008.emf", "/emf/test-048.emf"}) {
        SCOPED_TRACE(name);
        TMetafile metafile;
        metafile.LoadFromFile(std::string(GMB_TEST_DATA) + name);
        TMyGIFImage image;
        image.Add(metafile);
        TMemoryStream s;
        image.SaveToStream(s);
        s.Seek(0, SeekOrigin::Begin);
        TMyGIFImage back;
        back.LoadFromStream(s);
        ASSERT_EQ(back.FrameCount(), 1);
        TGIFSubImage& f = *back.Frame(0);
        ASSERT_TRUE(f.HasTransparency());
        const int transparent = f.ControlExtension()->TransparentIndex();

        TBitmap white(metafile.Width(), metafile.Height()), black(metafile.Width(), metafile.Height());
        black.Fill(clBlack);
        metafile.Draw(white, Rect(0, 0, white.Width(), white.Height()));
        metafile.Draw(black, Rect(0, 0, black.Width(), black.Height()));
        int shows = 0, painted = 0;
        for (int y = 0; y < white.Height(); ++y)
            for (int x = 0; x < white.Width(); ++x) {
                // Transparent exactly where the two drawings differ (the
                // mask is read through the 8-bit palette, so near-black
                // differences count as painted).
                const bool differs = white.Pixel(x, y) != black.Pixel(x, y);
                if (f.PixelAt(x, y) == transparent) {
                    ++shows;
                    ASSERT_TRUE(differs) << x << "," << y;
                } else if (!differs) {
                    ++painted;
                }
            }
        EXPECT_GT(shows, 0);
        EXPECT_GT(painted, 0);
    }
}
