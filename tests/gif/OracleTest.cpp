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

// The file with every frame's image data cut into data sub-blocks of
// blockSize bytes (any size from 1 to 255 is legal); all other blocks as
// they were. Expects a well-formed file.
Bytes Reblock(const Bytes& gif, size_t blockSize)
{
    size_t at = 13;
    auto colorTable = [&](uint8_t flags) { return (flags & 0x80) ? size_t(3) << ((flags & 7) + 1) : size_t(0); };
    at += colorTable(gif.at(10));
    Bytes out(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(at));
    // Copies the sub-blocks at `at` up to and including the terminator, or
    // gathers their data when `data` is given.
    auto subBlocks = [&](Bytes* data) {
        for (;;) {
            const size_t n = gif.at(at);
            if (data)
                data->insert(data->end(), gif.begin() + static_cast<std::ptrdiff_t>(at + 1),
                             gif.begin() + static_cast<std::ptrdiff_t>(at + 1 + n));
            else
                out.insert(out.end(), gif.begin() + static_cast<std::ptrdiff_t>(at),
                           gif.begin() + static_cast<std::ptrdiff_t>(at + 1 + n));
            at += 1 + n;
            if (n == 0)
                return;
        }
    };
    while (gif.at(at) != 0x3B) {
        if (gif.at(at) == 0x21) {
            out.insert(out.end(), {gif[at], gif.at(at + 1)});
            at += 2;
            subBlocks(nullptr);
        } else {
            EXPECT_EQ(gif.at(at), 0x2C);
            const size_t head = 10 + colorTable(gif.at(at + 9)) + 1; // descriptor, table, code size
            out.insert(out.end(), gif.begin() + static_cast<std::ptrdiff_t>(at),
                       gif.begin() + static_cast<std::ptrdiff_t>(at + head));
            at += head;
            Bytes data;
            subBlocks(&data);
            Append(out, SubBlocks(data, blockSize));
        }
    }
    out.push_back(0x3B);
    return out;
}

const char* const kWellFormedSuiteFiles[] = {
    "depth1",          "depth4",       "depth8",          "four-colors",     "local-color-table",
    "no-global-color-table", "all-reds", "interlace",      "image-inside-bg", "image-outside-bg",
    "images-combine",  "images-overlap", "high-color",    "many-clears",     "double-clears",
    "max-width",       "max-height",   "4095-codes-clear", "4095-codes",     "255-codes",
    "large-codes",     "transparent",     "animation",       "dispose-keep",
    "dispose-restore-previous", "loop-once", "comment",   "plain-text",      "xmp-data",
    "icc-color-profile", "gif87a",     "gif87a-animation", "animation-multi-image",
};

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
    for (const char* name : kWellFormedSuiteFiles)
        ExpectSameFrames(ReadFile(SuitePath(std::string(name) + ".gif")), name);
}

TEST(GifOracle, SuiteFilesInTinySubBlocks)
{
    // One-byte sub-blocks hold fewer bits than a code of 9 to 12 bits, so a
    // code spans several of them; two-byte ones shift every code border.
    for (const size_t blockSize : {size_t(1), size_t(2), size_t(3)}) {
        size_t before = 0, after = 0;
        for (const char* name : kWellFormedSuiteFiles) {
            const Bytes original = ReadFile(SuitePath(std::string(name) + ".gif"));
            const Bytes gif = Reblock(original, blockSize);
            before += original.size();
            after += gif.size();
            ExpectSameFrames(gif, std::string(name) + " in sub-blocks of " + std::to_string(blockSize));
        }
        // The size bytes of the many more sub-blocks.
        EXPECT_GT(after, before);
    }
}
