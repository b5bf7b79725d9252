// An animation of another kind than GIF comes to the preview as its first
// frame, decoded as a still, with the maker of the GIF that plays it.
#include "gif/mygifimage.h"
#include "imaging/ShownPicture.h"
#include "platform/Graphic.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

namespace {

const std::string kData = GMB_TEST_DATA;

std::shared_ptr<const std::vector<uint8_t>> Bytes(const std::string& file)
{
    return std::make_shared<const std::vector<uint8_t>>(ReadWholeFile(kData + "/" + file));
}

} // namespace

TEST(ShownAnimation, AnAnimatedWebpComesAsItsFirstFrameAndTheMakerOfItsAnimation)
{
    const TShownPicture shown = MakeShownPicture(Bytes("webp/animated.webp"), "V", QSize(640, 480));
    EXPECT_FALSE(shown.graphic);
    ASSERT_TRUE(shown.makeAnimation);
    ASSERT_EQ(shown.image.size(), QSize(64, 42));
    // ImageMagick's reading of the first frame (opaque).
    const std::vector<uint8_t> oracle = ReadWholeFile(kData + "/webp/animated.rgba");
    int differing = 0;
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 64; ++x) {
            const uint8_t* o = &oracle[(size_t(y) * 64 + x) * 4];
            differing += shown.image.pixel(x, y) != qRgb(o[0], o[1], o[2]);
        }
    EXPECT_EQ(differing, 0);

    std::atomic<bool> cancelled{false};
    const std::unique_ptr<TGraphic> made = shown.makeAnimation(cancelled);
    const auto* gif = dynamic_cast<const TMyGIFImage*>(made.get());
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(gif->Frames().Count(), 3);
    EXPECT_EQ(gif->Width(), 64);
    EXPECT_EQ(gif->Height(), 42);

    // Asked to stop, it makes nothing.
    cancelled = true;
    EXPECT_EQ(shown.makeAnimation(cancelled), nullptr);
}

TEST(ShownAnimation, StillsAndGifsHaveNoAnimationToMake)
{
    const TShownPicture still = MakeShownPicture(Bytes("webp/lossy.webp"), "V", QSize(640, 480));
    EXPECT_FALSE(still.makeAnimation);
    EXPECT_FALSE(still.image.isNull());
    const TShownPicture gif = MakeShownPicture(Bytes("gif-suite/animation.gif"), "G", QSize(640, 480));
    EXPECT_FALSE(gif.makeAnimation);
    EXPECT_TRUE(gif.graphic);
    // A file that claims an animation but cannot be read fails at once, not
    // later on a worker.
    EXPECT_THROW(MakeShownPicture(Bytes("webp/lying-header.webp.bad"), "V", QSize(640, 480)), std::exception);
}
