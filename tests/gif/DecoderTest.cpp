// The LZW decoder: codes, table, code widths, sub-block borders, the end of
// the data and its defects.
#include "GifTestUtil.h"

#include <gtest/gtest.h>

using namespace giftest;

namespace {

std::vector<int> Range(int n)
{
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back(i % 4);
    return v;
}

} // namespace

TEST(GifDecoder, SinglePixelLeavesStreamAfterTerminator)
{
    const Bytes data = ImageData(2, {{4, 3}, {0, 3}, {5, 3}});
    Bytes gif = OneFrame(1, 1, data);
    gif.back() = 0x3B;
    TMemoryStream s(gif);
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    ASSERT_EQ(LoadStream(image, s), "");
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(FramePixels(*image.Frame(0)), Bytes{0});
    EXPECT_TRUE(w.list.empty());
    // The trailer check read the last byte.
    EXPECT_EQ(s.Position(), static_cast<int64_t>(gif.size()));
}

TEST(GifDecoder, KwKwKAndDoubleClear)
{
    TMyGIFImage image;
    // clear, 1, 6 (= NextFree): 1, then 1 1.
    ASSERT_EQ(LoadBytes(image, OneFrame(3, 1, ImageData(2, {{4, 3}, {1, 3}, {6, 3}, {5, 3}}))), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{1, 1, 1}));
    // A clear after a clear is skipped; the next code is a pixel as it is.
    ASSERT_EQ(LoadBytes(image, OneFrame(1, 1, ImageData(2, {{4, 3}, {4, 3}, {2, 3}, {5, 3}}))), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), Bytes{2});
}

TEST(GifDecoder, CodeSpanningSubBlocks)
{
    // Literal codes of 3 bits in sub-blocks of one byte each: most codes
    // straddle a border and are joined through the carried bytes.
    TMyGIFImage image;
    Bytes data{2};
    Append(data, SubBlocks(PackCodes(LiteralCodes(Range(12), 2)), 1));
    ASSERT_EQ(LoadBytes(image, OneFrame(4, 3, data)), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3}));
}

TEST(GifDecoder, InterlacedRowOrder)
{
    for (int height : {1, 2, 5, 9}) {
        SCOPED_TRACE(height);
        std::vector<int> rows; // pixel value = position in the stream
        for (int i = 0; i < height; ++i)
            rows.push_back(i);
        TMyGIFImage image;
        ASSERT_EQ(LoadBytes(image, OneFrame(1, height, ImageData(4, LiteralCodes(rows, 4)), {}, 0x40)), "");
        Bytes expected;
        if (height == 1)
            expected = {0};
        if (height == 2)
            expected = {0, 1};
        if (height == 5)
            expected = {0, 3, 2, 4, 1}; // rows 0, 4, 2, 1, 3 in stream order
        if (height == 9)
            expected = {0, 5, 3, 6, 2, 7, 4, 8, 1};
        EXPECT_EQ(FramePixels(*image.Frame(0)), expected);
    }
}

TEST(GifDecoder, DataEndingEarlyKeepsFillAndWarns)
{
    // Terminator after two pixels, no end code; transparent index 3. The
    // padding bits of the last byte still make a code (0), and so does the
    // request that meets the terminator (carried bits, 0); then the decoder
    // runs dry and the rest keeps the fill.
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    const Bytes data = ImageData(2, LiteralCodes({1, 2}, 2, false));
    ASSERT_EQ(LoadBytes(image, OneFrame(2, 3, data, GraphicControl(1, 0, 3))), "");
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{1, 2, 0, 0, 3, 3}));
    EXPECT_TRUE(w.Has("Decoder bit buffer under-run"));
}

TEST(GifDecoder, EarlyEndCodeKeepsFillAndTheNextFrameReads)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes data{2};
    // End code after two of four pixels, then two more sub-blocks of junk.
    Bytes packed = PackCodes(LiteralCodes({1, 2}, 2));
    Bytes blocks;
    blocks.push_back(static_cast<uint8_t>(packed.size()));
    Append(blocks, packed);
    Append(blocks, {3, 0x21, 0x2C, 0x3B, 2, 0xFF, 0xFF, 0});
    Append(data, blocks);
    Bytes gif = OneFrame(2, 2, data, {}, 0, false);
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, ImageData(2, LiteralCodes({3}, 2)));
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{1, 2, 0, 0}));
    EXPECT_EQ(FramePixels(*image.Frame(1)), Bytes{3});
    EXPECT_TRUE(w.list.empty());
}

TEST(GifDecoder, ShortSubBlockUsesWhatIsThere)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes packed = PackCodes(LiteralCodes(Range(8), 2, false));
    Bytes gif = Header(8, 1, 0x81);
    Append(gif, Descriptor(0, 0, 8, 1));
    Append(gif, {2, 200});
    Append(gif, packed);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 1);
    // The last code ends exactly at the last byte, so it waits for a refill
    // that finds the stream at its end: that pixel keeps the fill.
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{0, 1, 2, 3, 0, 1, 2, 0}));
    EXPECT_TRUE(w.Has("Premature end of data"));
}

TEST(GifDecoder, OversizedInitialCodeSizeKeepsFill)
{
    TMyGIFImage image;
    Bytes data{12};
    Append(data, SubBlocks(Bytes(40, 0xAB)));
    Bytes gif = OneFrame(3, 1, data, GraphicControl(1, 0, 2), 0, false);
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, ImageData(2, LiteralCodes({3}, 2)));
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{2, 2, 2}));
    EXPECT_EQ(FramePixels(*image.Frame(1)), Bytes{3});
}

TEST(GifDecoder, SelfReferencingEntryIsFatal)
{
    // clear, 0, 7 (undefined), 1 makes entry 7 its own prefix; 7 then loops.
    TMyGIFImage image;
    const Bytes data = ImageData(2, {{4, 3}, {0, 3}, {7, 3}, {1, 3}, {7, 4}, {5, 4}});
    EXPECT_EQ(LoadBytes(image, OneFrame(10, 1, data)), "Circular decoder table entry");
}

TEST(GifDecoder, LoopThroughTwoEntriesIsBounded)
{
    // Entries 11 and 12 become each other's prefix; expanding 11 would not end.
    TMyGIFImage image;
    const Bytes data = ImageData(3, {{8, 4}, {0, 4}, {12, 4}, {11, 4}, {1, 4}, {11, 4}, {9, 4}});
    EXPECT_EQ(LoadBytes(image, OneFrame(100, 1, data)), "Circular decoder table entry");
}

TEST(GifDecoder, HugeDescriptorInTinyFileTakesLittleMemory)
{
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, OneFrame(65535, 65535, ImageData(2, LiteralCodes({1, 2, 3}, 2)))), "");
    ASSERT_EQ(image.FrameCount(), 1);
    TGIFSubImage& f = *image.Frame(0);
    EXPECT_EQ(f.PixelCount(), 65535LL * 65535LL);
    EXPECT_LE(f.StoredPixelCount(), 1024);
    EXPECT_EQ(f.PixelAt(2, 0), 3);
    EXPECT_EQ(f.PixelAt(65534, 65534), 0);
    // Interlaced, the rows arrive spread out; still only what was reached.
    ASSERT_EQ(LoadBytes(image, OneFrame(65535, 65535, ImageData(2, LiteralCodes({1, 2, 3}, 2)), {}, 0x40)), "");
    EXPECT_LE(image.Frame(0)->StoredPixelCount(), 1024);
}

TEST(GifDecoder, InterlacedFrameEarnsStorageByItsData)
{
    // 16 rows of data for a frame 65535 rows high: they are the first pass's
    // rows 0, 8, ..., 120, spread over 121 rows of the frame.
    constexpr int kWidth = 1000, kRows = 16;
    std::vector<int> pixels;
    for (int r = 0; r < kRows; ++r)
        pixels.insert(pixels.end(), kWidth, 1 + r % 3);
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, OneFrame(kWidth, 65535, ImageData(2, LiteralCodes(pixels, 2)), {}, 0x40)), "");
    TGIFSubImage& f = *image.Frame(0);
    // Storage as a frame that is not interlaced gets for the same data: at
    // most one growth step beyond it.
    EXPECT_LE(f.StoredPixelCount(), 2 * kWidth * kRows);
    for (int r = 0; r < kRows; ++r) {
        EXPECT_EQ(f.PixelAt(0, 8 * r), 1 + r % 3) << r;
        EXPECT_EQ(f.PixelAt(kWidth - 1, 8 * r), 1 + r % 3) << r;
        EXPECT_EQ(f.PixelAt(kWidth / 2, 8 * r + 4), 0) << r;
    }
    EXPECT_EQ(f.PixelAt(0, 65534), 0);
    // Asked for its rows in place, the frame puts them there.
    EXPECT_EQ(f.PixelRow(8)[3], 2);
    EXPECT_FALSE(f.StoredInPassOrder());
    EXPECT_EQ(f.PixelAt(0, 120), 1);
    EXPECT_EQ(f.PixelAt(0, 4), 0);
}

TEST(GifDecoder, ZeroCodeSizeAndNoData)
{
    TMyGIFImage image;
    // Minimum code size 0: clear is 1, end 2, codes start 1 bit wide.
    ASSERT_EQ(LoadBytes(image, OneFrame(2, 1, ImageData(0, {{1, 1}, {0, 1}, {0, 2}, {2, 2}}))), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{0, 0}));
    // The stream ends before the code size byte: the pixels keep the fill.
    Bytes gif = Header(2, 1, 0x81);
    Append(gif, Descriptor(0, 0, 2, 1));
    ASSERT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), (Bytes{0, 0}));
}
