// giflib as an oracle: on well-formed streams our pixel indices match its
// output frame for frame.
#include "GiflibOracle.h"
#include "GifTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace giftest;

namespace {

void ExpectSameFrames(const Bytes& gif, const std::string& what)
{
    SCOPED_TRACE(what);
    const giflib::Decoded ref = giflib::Decode(gif);
    ASSERT_TRUE(ref.Ok);
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.Width(), ref.Width);
    EXPECT_EQ(image.Height(), ref.Height);
    std::vector<TGIFSubImage*> frames;
    for (int i = 0; i < image.FrameCount(); ++i)
        if (image.Frame(i)->HasPixels())
            frames.push_back(image.Frame(i));
    ASSERT_EQ(frames.size(), ref.Frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        TGIFSubImage& f = *frames[i];
        const giflib::Frame& r = ref.Frames[i];
        EXPECT_EQ(f.Left(), r.Left);
        EXPECT_EQ(f.Top(), r.Top);
        ASSERT_EQ(f.Width(), r.Width);
        ASSERT_EQ(f.Height(), r.Height);
        ASSERT_EQ(f.IsInterlaced(), r.Interlaced);
        const uint8_t* ours = f.Pixels();
        EXPECT_TRUE(std::equal(r.Pixels.begin(), r.Pixels.end(), ours));
    }
}

// Pseudo-random pixels: noisy within runs of a slowly changing level, so
// that codes of every width and table resets occur.
Bytes Pattern(int width, int height, uint32_t seed, int colors, int noise)
{
    Bytes px(static_cast<size_t>(width) * static_cast<size_t>(height));
    uint32_t s = seed;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            s = s * 1664525u + 1013904223u;
            const int base = (x / 7 + y / 5) % colors;
            const int jitter = noise ? static_cast<int>((s >> 24) % static_cast<uint32_t>(noise)) : 0;
            px[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                static_cast<uint8_t>((base + jitter) % colors);
        }
    return px;
}

} // namespace

TEST(GifOracle, GiflibEncodedImages)
{
    struct Case {
        int w, h, colors, noise;
        bool interlaced;
    };
    const Case cases[] = {
        {1, 1, 2, 0, false},   {7, 3, 2, 2, false},     {64, 64, 4, 3, true},   {300, 200, 256, 256, false},
        {300, 200, 256, 256, true}, {257, 131, 16, 4, true}, {500, 400, 256, 12, false}, {1000, 37, 64, 64, true},
    };
    uint32_t seed = 1;
    for (const Case& c : cases) {
        const Bytes px = Pattern(c.w, c.h, seed++, c.colors, c.noise);
        const Bytes gif = giflib::Encode(c.w, c.h, px, c.interlaced, 256);
        ExpectSameFrames(gif, std::to_string(c.w) + "x" + std::to_string(c.h) + (c.interlaced ? " interlaced" : ""));
    }
}

TEST(GifOracle, SuiteFilesGiflibReads)
{
    // Well-formed files of the suite, still and animated (not max-codes,
    // whose deferred clear giflib refuses; our suite test covers it).
    const char* names[] = {
        "depth1",          "depth4",       "depth8",          "four-colors",     "local-color-table",
        "no-global-color-table", "all-reds", "interlace",      "image-inside-bg", "image-outside-bg",
        "images-combine",  "images-overlap", "high-color",    "many-clears",     "double-clears",
        "max-width",       "max-height",   "4095-codes-clear", "4095-codes",     "255-codes",
        "large-codes",     "transparent",     "animation",       "dispose-keep",
        "dispose-restore-previous", "loop-once", "comment",   "plain-text",      "xmp-data",
        "icc-color-profile", "gif87a",     "gif87a-animation", "animation-multi-image",
    };
    for (const char* name : names)
        ExpectSameFrames(ReadFile(SuitePath(std::string(name) + ".gif")), name);
}
