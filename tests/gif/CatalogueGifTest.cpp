// The catalogue's G kind through the codec: a thumbnail of a real GIF, the
// loader's copy of the image bitmap, and the codec's message for a broken one.
#include "GifTestUtil.h"
#include "imaging/AddPreparation.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Picture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

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

namespace {

// The thumbnail the list made before it read the first frame alone: the
// whole file loaded, its image bitmap fitted.
std::optional<TBitmap> FullReadThumbnail(const Bytes& bytes, int w, int h)
{
    try {
        TMemoryStream s(bytes);
        TBitmap natural;
        LoadGifFromStream(s, natural);
        TBitmap thumb(w, h);
        StretchToFit(natural, thumb);
        return thumb;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace

TEST(GifCatalogue, FirstFrameThumbnailEqualsTheFullReadOnEverySuiteFile)
{
    ASSERT_NE(CreateGraphicForExtension("gif"), nullptr);
    int compared = 0, animated = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(GMB_TEST_DATA) + "/gif-suite")) {
        if (entry.path().extension() != ".gif")
            continue;
        const Bytes bytes = ReadFile(entry.path().string());
        // A square and a wide size: rows and columns are sampled differently.
        for (const auto& [w, h] : {std::pair{32, 32}, std::pair{96, 40}}) {
            SCOPED_TRACE(entry.path().filename().string() + " at " + std::to_string(w) + "x" + std::to_string(h));
            const std::optional<TBitmap> full = FullReadThumbnail(bytes, w, h);
            if (!full)
                continue; // refused as a whole; the first frame alone may still show
            TMemoryStream s(bytes);
            const TBitmap first = MakeThumbnail(s, 'G', w, h);
            ASSERT_EQ(first.Width(), w);
            ASSERT_EQ(first.Height(), h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(first.Pixel(x, y), full->Pixel(x, y)) << x << "," << y;
            ++compared;
        }
        TMyGIFImage image;
        if (LoadBytes(image, bytes).empty() && image.FrameCount() > 1)
            ++animated;
    }
    // The suite holds well over a hundred loadable files, a dozen of them animations.
    EXPECT_GE(compared, 150);
    EXPECT_GE(animated, 10);
}

TEST(GifCatalogue, DamageAfterTheFirstFrameSparesTheThumbnailButNotTheAdd)
{
    ASSERT_NE(CreateGraphicForExtension("gif"), nullptr);
    const Bytes whole = ReadFile(SuitePath("animation.gif"));
    // Where the first frame ends: the second frame's extensions begin there.
    TMyGIFImage image;
    TMemoryStream probe(whole);
    image.LoadFromStream(probe, 1);
    ASSERT_EQ(image.FrameCount(), 1);
    const size_t end = static_cast<size_t>(probe.Position());
    ASSERT_LT(end + 4, whole.size());
    ASSERT_EQ(whole[end], 0x21);
    // An extension label the codec does not know fails the whole load.
    Bytes cut = whole;
    cut[end + 1] = 0x55;

    TMemoryStream full(cut);
    TBitmap natural;
    EXPECT_THROW(LoadGifFromStream(full, natural), Exception);

    TMemoryStream s(cut);
    const TBitmap thumb = MakeThumbnail(s, 'G', 32, 32);
    const std::optional<TBitmap> sound = FullReadThumbnail(whole, 32, 32);
    ASSERT_TRUE(sound);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(thumb.Pixel(x, y), sound->Pixel(x, y));

    // Adding reads every frame and refuses the file.
    const std::string path = (std::filesystem::temp_directory_path() / "gmb-damaged-second-frame.gif").string();
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(cut.data()), static_cast<std::streamsize>(cut.size()));
    }
    TAddJob job;
    EXPECT_THROW(PrepareAdd(job, path), Exception);
    std::filesystem::remove(path);
}
