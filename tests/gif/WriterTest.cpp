// Writing: the code streams of both encoders checked against streams built
// by hand, the sub-block writer, the blocks of the header, frames and
// extensions, progress, and the clipboard and data-stream copies.
#include "GifTestUtil.h"
#include "gif/GIFWriter.h"
#include "platform/Clipboard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <set>

using namespace giftest;

namespace {

using Codes = std::vector<std::pair<int, int>>;

Bytes Encode(TGIFEncoder& encoder, int bpp, int colors, const Bytes& pixels, int height, int width,
             bool interlaced = false)
{
    TMemoryStream s;
    encoder.EncodeFrame(s, bpp, colors, pixels.data(), interlaced, height, width);
    return s.Bytes();
}

Bytes Lzw(int bpp, const Bytes& pixels, int height, int width, bool interlaced = false, int colors = -1)
{
    TLZWEncoder e;
    return Encode(e, bpp, colors < 0 ? 1 << bpp : colors, pixels, height, width, interlaced);
}

Bytes Rle(int bpp, const Bytes& pixels, int height, int width)
{
    TRLEEncoder e;
    return Encode(e, bpp, 1 << bpp, pixels, height, width);
}

// Minimum code size byte, sub-blocks, terminator.
Bytes Stream(int minCodeSize, const Codes& codes)
{
    return ImageData(minCodeSize, codes);
}

// Pixels in which no two neighbours repeat a pair: every LZW code is then
// a single pixel.
Bytes DistinctPairs(size_t n)
{
    Bytes out{0};
    std::set<int> used;
    while (out.size() < n) {
        const int prev = out.back();
        int c = (prev * 7 + 13) % 256;
        while (used.count(prev * 256 + c))
            c = (c + 1) % 256;
        used.insert(prev * 256 + c);
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

std::string SaveError(TMyGIFImage& image, Bytes* out = nullptr)
{
    TMemoryStream s;
    try {
        image.SaveToStream(s);
    } catch (const Exception& e) {
        return e.Message();
    }
    if (out)
        *out = s.Bytes();
    return "";
}

Bytes Saved(TMyGIFImage& image)
{
    Bytes out;
    EXPECT_EQ(SaveError(image, &out), "");
    return out;
}

Bytes SavedItem(const TGIFItem& item)
{
    TMemoryStream s;
    item.SaveToStream(s);
    return s.Bytes();
}

// A loaded one-frame image (4-entry global table) of the given pixels.
void LoadFrame(TMyGIFImage& image, int width, int height, const std::vector<int>& pixels, int descFlags = 0,
               const Bytes& before = {})
{
    ASSERT_EQ(LoadBytes(image, OneFrame(width, height, ImageData(2, LiteralCodes(pixels, 2)), before, descFlags)), "");
}

} // namespace

// ---- the code streams ------------------------------------------------------------

TEST(GifLzwEncoder, SmallFramesGiveTheCodesOfTheAlgorithm)
{
    // One pixel of a 2-colour frame: code size 2 (clear 4, end 5, 3 bits).
    EXPECT_EQ(Lzw(1, {1}, 1, 1), Stream(2, {{4, 3}, {1, 3}, {5, 3}}));
    EXPECT_EQ(Lzw(1, {1}, 1, 1), (Bytes{2, 2, 0x4C, 0x01, 0}));

    // 0 0 0 0 1 1: "00" becomes 6, "000" 7; after the third code the table
    // holds 8 entries, so the fourth code is 4 bits wide.
    EXPECT_EQ(Lzw(2, {0, 0, 0, 0, 1, 1}, 2, 3), Stream(2, {{4, 3}, {0, 3}, {6, 3}, {0, 3}, {1, 4}, {1, 4}, {5, 4}}));

    // A string found in the table is extended before it is emitted.
    EXPECT_EQ(Lzw(2, {1, 2, 1, 2, 1, 2}, 1, 6), Stream(2, {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {6, 4}, {5, 4}}));
}

TEST(GifLzwEncoder, WidthsGrowAtPowersOfTwoAndTheTableStartsOverBeforeCode4095)
{
    // With no pair repeated every code is one pixel; after a clear codes 1
    // to 255 take 9 bits, up to 767 10, up to 1791 11, then 12. After code
    // 3838 the next entry would be 4095: a clear follows, still 12 bits.
    const Bytes pixels = DistinctPairs(2 * 3838 + 200);
    Codes codes{{256, 9}};
    int k = 0;
    for (uint8_t p : pixels) {
        ++k;
        const int width = k <= 255 ? 9 : k <= 767 ? 10 : k <= 1791 ? 11 : 12;
        codes.emplace_back(p, width);
        if (k == 3838) {
            codes.emplace_back(256, 12);
            k = 0;
        }
    }
    codes.emplace_back(257, k < 255 ? 9 : 10);
    ASSERT_LT(k, 255);
    const Bytes encoded = Lzw(8, pixels, 1, static_cast<int>(pixels.size()));
    EXPECT_EQ(encoded, Stream(8, codes));

    TMyGIFImage image;
    Bytes gif = Header(static_cast<int>(pixels.size()), 1, 0x87);
    Append(gif, Descriptor(0, 0, static_cast<int>(pixels.size()), 1));
    Append(gif, encoded);
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(FramePixels(*image.Frame(0)), pixels);
}

TEST(GifLzwEncoder, AnEncoderUsedAgainStartsFromAnEmptyTable)
{
    // Many clears in the first frame; the second frame's strings must not
    // be found among the first frame's.
    Bytes first(40000);
    uint32_t seed = 3;
    for (uint8_t& p : first) {
        seed = seed * 1664525u + 1013904223u;
        p = static_cast<uint8_t>(seed >> 24);
    }
    const Bytes second(5000, 7);
    TLZWEncoder reused;
    Encode(reused, 8, 256, first, 200, 200);
    TLZWEncoder fresh;
    EXPECT_EQ(Encode(reused, 8, 256, second, 50, 100), Encode(fresh, 8, 256, second, 50, 100));
}

TEST(GifLzwEncoder, InterlacedRowsGoInTheFourPassOrder)
{
    // Height 3: rows 0, 2, 1.
    EXPECT_EQ(Lzw(2, {0, 1, 2}, 3, 1, true), Stream(2, {{4, 3}, {0, 3}, {2, 3}, {1, 3}, {5, 4}}));
    // Height 5: 0, 4, 2, 1, 3; each row once, read back in place.
    for (int h : {1, 2, 3, 5, 8, 9, 17}) {
        SCOPED_TRACE(h);
        std::vector<int> rows;
        for (int y = 0; y < h; ++y)
            rows.push_back(y % 4);
        TMyGIFImage image;
        LoadFrame(image, 1, h, {}, 0x40);
        uint8_t* px = image.Frame(0)->Pixels();
        for (int y = 0; y < h; ++y)
            px[y] = static_cast<uint8_t>(rows[static_cast<size_t>(y)]);
        const Bytes saved = Saved(image);
        TMyGIFImage back;
        ASSERT_EQ(LoadBytes(back, saved), "");
        EXPECT_TRUE(back.Frame(0)->IsInterlaced());
        EXPECT_EQ(FramePixels(*back.Frame(0)), FramePixels(*image.Frame(0)));
    }
    Bytes five = Lzw(2, {0, 1, 2, 3, 0}, 5, 1, true); // rows hold their own numbers mod 4
    EXPECT_EQ(five, Stream(2, {{4, 3}, {0, 3}, {0, 3}, {2, 3}, {1, 4}, {3, 4}, {5, 4}}));
}

TEST(GifLzwEncoder, PixelsOutsideTheColourCountFail)
{
    TLZWEncoder e;
    TMemoryStream s;
    const Bytes px{0, 1, 2, 5};
    try {
        e.EncodeFrame(s, 3, 5, px.data(), false, 1, 4);
        FAIL() << "no error";
    } catch (const GIFException& ex) {
        EXPECT_EQ(ex.Message(), "Color not in color table");
    }
    // Index 4 of a 5-colour table is fine.
    EXPECT_NO_THROW(Lzw(3, {0, 4, 4, 1}, 1, 4, false, 5));
}

TEST(GifLzwEncoder, EmptyFrameWritesOnlyTheEndCode)
{
    TLZWEncoder e;
    TMemoryStream s;
    e.EncodeFrame(s, 2, 4, nullptr, false, 0, 0);
    EXPECT_EQ(s.Bytes(), Stream(2, {{5, 3}}));
}

TEST(GifRleEncoder, RunsUseTheCodesTheDecoderIsAboutToDefine)
{
    // Ten zeros after the clear: 0, then 6 ("00"), 7 ("000"), 8 ("0000");
    // the table reaches 8 entries after the third code, so 8 is 4 bits.
    EXPECT_EQ(Rle(2, Bytes(10, 0), 2, 5), Stream(2, {{4, 3}, {0, 3}, {6, 3}, {7, 3}, {8, 4}, {5, 4}}));
    // Eleven: 1 + 2 + 3 + 4 and one left over, which is the plain pixel.
    EXPECT_EQ(Rle(2, Bytes(11, 0), 1, 11), Stream(2, {{4, 3}, {0, 3}, {6, 3}, {7, 3}, {8, 4}, {0, 4}, {5, 4}}));

    // Runs of one are plain codes; with 2 bits a clear follows every 9.
    Bytes alternating;
    for (int i = 0; i < 20; ++i)
        alternating.push_back(static_cast<uint8_t>(i % 2));
    Codes codes{{4, 3}};
    int n = 0;
    for (uint8_t p : alternating) {
        ++n;
        codes.emplace_back(p, n <= 3 ? 3 : 4);
        if (n == 9) {
            codes.emplace_back(4, 4);
            n = 0;
        }
    }
    codes.emplace_back(5, 3);
    EXPECT_EQ(Rle(2, alternating, 4, 5), Stream(2, codes));
}

TEST(GifRleEncoder, LongRunsAndMixedRowsDecodeBack)
{
    // Long runs of several values, rows that change, and single pixels:
    // whatever codes the run-length encoder picks, our decoder reads back
    // the same indices.
    for (int bpp : {1, 2, 3, 4, 8}) {
        SCOPED_TRACE(bpp);
        const int w = 613, h = 97;
        Bytes px(static_cast<size_t>(w) * h);
        uint32_t s = static_cast<uint32_t>(bpp);
        for (size_t i = 0; i < px.size(); ++i) {
            s = s * 1664525u + 1013904223u;
            const size_t band = i / 5000;
            px[i] = static_cast<uint8_t>((band % 3 == 0 ? (s >> 28) : band) % (1u << bpp));
        }
        TRLEEncoder e;
        const Bytes data = Encode(e, bpp, 1 << bpp, px, h, w);
        Bytes gif = Header(w, h, 0x80 | (bpp - 1));
        Append(gif, Descriptor(0, 0, w, h));
        Append(gif, data);
        gif.push_back(0x3B);
        TMyGIFImage image;
        Warnings warnings;
        warnings.Attach(image);
        ASSERT_EQ(LoadBytes(image, gif), "");
        EXPECT_TRUE(warnings.list.empty());
        EXPECT_EQ(FramePixels(*image.Frame(0)), px);
    }
}

TEST(GifRleEncoder, TriangleCostAndIntegerSquareRoot)
{
    EXPECT_EQ(TRLEEncoder::ISqrt(0), 0);
    EXPECT_EQ(TRLEEncoder::ISqrt(1), 1);
    for (int64_t x : std::vector<int64_t>{2, 3, 4, 8, 15, 16, 17, 99, 100, 101, 1000000, 999999, 4294967296LL})
        EXPECT_EQ(TRLEEncoder::ISqrt(x), static_cast<int64_t>(std::sqrt(static_cast<double>(x)))) << x;
    // Runs 1, 2, 3 ... from a clear: 10 = 1+2+3+4 takes 4 codes, 11 takes 5.
    EXPECT_EQ(TRLEEncoder::TriangleCost(10, 100), 4);
    EXPECT_EQ(TRLEEncoder::TriangleCost(11, 100), 5);
    EXPECT_EQ(TRLEEncoder::TriangleCost(1, 100), 1);
    // A full table of u codes holds u(u+1)/2 pixels; the rest starts over.
    EXPECT_EQ(TRLEEncoder::TriangleCost(10 * 11 / 2, 10), 10);
    EXPECT_EQ(TRLEEncoder::TriangleCost(10 * 11 / 2 + 3, 10), 12);
}

// ---- the writer and the hash table -----------------------------------------------------

TEST(GifWriter, PacksSubBlocksOf255AndNeverAnEmptyOne)
{
    TMemoryStream s;
    {
        TGIFWriter w(s);
        Bytes data(300);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i);
        w.Write(data.data(), 255);
        EXPECT_EQ(s.Size(), 256); // a full block goes out at once
        EXPECT_FALSE(w.OutputPending());
        w.Write(data.data() + 255, 45);
        EXPECT_TRUE(w.OutputPending());
    }
    ASSERT_EQ(s.Size(), 256 + 46);
    EXPECT_EQ(s.Bytes()[0], 255);
    EXPECT_EQ(s.Bytes()[256], 45);
    EXPECT_EQ(s.Bytes()[257], 255 & 0xFF);

    TMemoryStream empty;
    { TGIFWriter w(empty); }
    EXPECT_EQ(empty.Size(), 0);

    // 255 bytes of encoder output: one full block, then the terminator.
    const Bytes out = Lzw(8, DistinctPairs(224), 1, 224);
    ASSERT_EQ(out.size(), 1u + 256u + 1u);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out.back(), 0);
}

TEST(GifWriter, PlainStreamOperationsAreRefused)
{
    TMemoryStream target;
    TGIFStream s(target);
    uint8_t b = 0;
    for (auto op : std::vector<std::function<void()>>{[&] { s.Read(&b, 1); }, [&] { s.Write(&b, 1); },
                                                       [&] { s.Seek(0, SeekOrigin::Begin); }}) {
        try {
            op();
            ADD_FAILURE() << "no error";
        } catch (const GIFException& e) {
            EXPECT_EQ(e.Message(), "Invalid stream operation");
        }
    }
}

TEST(GifHashTable, FindsWhatWasInsertedAlongCollidingPaths)
{
    THashTable t;
    // Keys sharing a first slot follow one probe path.
    std::vector<uint32_t> keys;
    const int slot = THashTable::FirstSlot(0x1234);
    for (uint32_t k = 0; keys.size() < 6 && k < 0xFFEFF; ++k)
        if (THashTable::FirstSlot(k) == slot)
            keys.push_back(k);
    ASSERT_EQ(keys.size(), 6u);
    for (size_t i = 0; i < keys.size(); ++i)
        t.Insert(keys[i], static_cast<int>(258 + i));
    for (size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(t.Lookup(keys[i]), static_cast<int>(258 + i));
    EXPECT_EQ(t.Slot(slot), (keys[0] << 12) | 258u);
    // A seventh key on the same path is not there.
    uint32_t other = keys.back() + 1;
    while (THashTable::FirstSlot(other) != slot)
        ++other;
    EXPECT_EQ(t.Lookup(other), -1);
    // Slot 0 steps by one, downwards through the end of the table.
    uint32_t zero = 0;
    while (THashTable::FirstSlot(zero) != 0)
        ++zero;
    t.Insert(zero, 300);
    t.Insert(zero, 301); // a second entry for the same key goes one slot on
    EXPECT_EQ(t.Slot(THashTable::kSize - 1) & 0xFFF, 301u);
    t.Clear();
    for (uint32_t k : keys)
        EXPECT_EQ(t.Lookup(k), -1);
    EXPECT_EQ(t.Slot(slot), THashTable::kEmpty);
}

// ---- blocks ---------------------------------------------------------------------------

TEST(GifSave, EdgeCasesOfTheBlocks)
{
    // A global table of 5 colours is written as 8, packed size bits 2; with
    // no extensions and unsorted tables the version is 87a.
    TMyGIFImage image;
    LoadFrame(image, 2, 1, {0, 4 - 1});
    image.GlobalColors().Clear();
    for (int i = 0; i < 5; ++i)
        image.GlobalColors().AppendColor(RGBColor(static_cast<uint8_t>(i * 10), 1, 2));
    const Bytes saved = Saved(image);
    EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 6), Bytes({'G', 'I', 'F', '8', '7', 'a'}));
    EXPECT_EQ(saved[10], 0x80 | 0x20 | 0x02);
    const Bytes table(saved.begin() + 13, saved.begin() + 13 + 24);
    EXPECT_EQ(Bytes(table.begin() + 12, table.begin() + 15), Bytes({40, 1, 2}));
    EXPECT_EQ(Bytes(table.begin() + 15, table.end()), Bytes(9, 0));
    EXPECT_EQ(saved[13 + 24], 0x2C);
    EXPECT_EQ(saved.back(), 0x3B);
    TMyGIFImage back;
    ASSERT_EQ(LoadBytes(back, saved), "");
    EXPECT_EQ(back.GlobalColors().EntryCount(), 8);
    EXPECT_EQ(FramePixels(*back.Frame(0)), Bytes({0, 3}));

    // Any extension makes it 89a.
    TMyGIFImage withComment;
    LoadFrame(withComment, 1, 1, {1}, 0, Comment({"hi"}));
    EXPECT_EQ(Saved(withComment)[4], '9');

    // A 2-colour frame: minimum code size 2.
    TMyGIFImage two;
    LoadFrame(two, 1, 1, {1});
    two.GlobalColors().RemoveColor(3);
    two.GlobalColors().RemoveColor(2);
    const Bytes twoSaved = Saved(two);
    EXPECT_EQ(twoSaved[10] & 7, 0);
    EXPECT_EQ(twoSaved[13 + 6 + 10], 2);
}

TEST(GifSave, ExtensionsAreWrittenAsTheyStand)
{
    TMyGIFImage image;
    LoadFrame(image, 1, 1, {0});
    TGIFSubImage& f = *image.Frame(0);

    TGIFGraphicControlExtension gce(&f);
    gce.BlockSize = 9; // written as 4 whatever was read
    gce.SetDisposalMethod(2);
    gce.SetTransparent(true);
    gce.SetDelayTime(0x0102);
    gce.SetTransparentIndex(3);
    EXPECT_EQ(SavedItem(gce), Bytes({0x21, 0xF9, 4, 0x09, 0x02, 0x01, 3, 0}));

    // A comment without text is left out: an extension without a data
    // sub-block stops other readers.
    TGIFCommentExtension empty(&f);
    EXPECT_EQ(SavedItem(empty), Bytes{});
    empty.Lines = {"", ""};
    EXPECT_EQ(SavedItem(empty), Bytes{});
    TGIFCommentExtension zeros(&f);
    zeros.Lines = {std::string("a\0b", 3), std::string(1, '\0')};
    EXPECT_EQ(SavedItem(zeros), Bytes({0x21, 0xFE, 3, 'a', 0, 'b', 1, 0, 0}));
    TGIFCommentExtension longLine(&f);
    longLine.Lines = {std::string(300, 'x'), "ab"};
    const Bytes c = SavedItem(longLine);
    ASSERT_EQ(c.size(), 2u + 1 + 255 + 1 + 45 + 1 + 2 + 1);
    EXPECT_EQ(c[2], 255);
    EXPECT_EQ(c[2 + 256], 45);
    EXPECT_EQ(c[2 + 256 + 46], 2);
    EXPECT_EQ(c.back(), 0);

    TGIFTextExtension text(&f);
    text.TextGrid = {12, 1, 2, 3, 4, 5, 6, 7, 8};
    text.Lines = {"Hi"};
    EXPECT_EQ(SavedItem(text), Bytes({0x21, 0x01, 12, 1, 0, 2, 0, 3, 0, 4, 0, 5, 6, 7, 8, 2, 'H', 'i', 0}));

    TGIFAppExtNSLoop loop(&f);
    loop.LoopCount = 0x0203;
    Bytes expected{0x21, 0xFF, 11};
    AppendText(expected, "NETSCAPE2.0");
    Append(expected, {3, 1, 3, 2, 0});
    EXPECT_EQ(SavedItem(loop), expected);
    loop.BufferLength = 0x01020304;
    expected.pop_back();
    Append(expected, {5, 2, 4, 3, 2, 1, 0});
    EXPECT_EQ(SavedItem(loop), expected);

    TGIFUnknownAppExtension unknown(&f);
    std::memcpy(unknown.Identifier.data(), "XMP DataXMP", 11);
    unknown.RawBlocks.emplace_back(2);
    unknown.RawBlocks.back().Data = {7, 8};
    unknown.RawBlocks.emplace_back(1);
    unknown.RawBlocks.back().Data = {9};
    expected = {0x21, 0xFF, 11};
    AppendText(expected, "XMP DataXMP");
    Append(expected, {2, 7, 8, 1, 9, 0});
    EXPECT_EQ(SavedItem(unknown), expected);
}

TEST(GifSave, FramesKeepInterlaceAndWriteTheirTableBits)
{
    TMyGIFImage image;
    LoadFrame(image, 2, 2, {0, 1, 2, 3}, 0x40 | 0x18 | 0x07); // reserved bits and stale size bits
    EXPECT_EQ(image.Frame(0)->ComputeImageFlags(), 0x40 | 0x18);
    TGIFLocalColorMap& local = image.Frame(0)->LocalColors();
    for (int i = 0; i < 3; ++i)
        local.AppendColor(RGBColor(static_cast<uint8_t>(i), 0, 0));
    local.AppendColor(RGBColor(9, 9, 9));
    EXPECT_EQ(image.Frame(0)->ComputeImageFlags(), 0x40 | 0x18 | 0x80 | 0x01);
    // Sorting by use sets the sort bits and needs 89a.
    EXPECT_EQ(Saved(image)[4], '7');
    ASSERT_TRUE(local.SortByUse());
    const Bytes saved = Saved(image);
    EXPECT_EQ(saved[4], '9');
    EXPECT_EQ(image.Frame(0)->ComputeImageFlags() & 0x20, 0x20);
    TMyGIFImage back;
    ASSERT_EQ(LoadBytes(back, saved), "");
    EXPECT_EQ(FramePixels(*back.Frame(0)), FramePixels(*image.Frame(0)));
    EXPECT_EQ(back.Frame(0)->LocalColors().EntryCount(), 4);
}

TEST(GifSave, AGlobalTableSortedByUseIsWrittenWithItsSortFlag)
{
    // Sorting before writing is the caller's step: the writer writes the
    // table as it stands and says whether it is sorted.
    TMyGIFImage image;
    LoadFrame(image, 4, 1, {2, 2, 2, 1});
    EXPECT_EQ(Saved(image)[10] & 0x08, 0);
    ASSERT_TRUE(image.GlobalColors().SortByUse());
    const Bytes saved = Saved(image);
    EXPECT_EQ(saved[10] & 0x08, 0x08);
    EXPECT_EQ(saved[10] & 0x07, 0); // two colours are used and kept
    EXPECT_EQ(saved[4], '7');       // a sorted global table needs no 89a
    TMyGIFImage back;
    ASSERT_EQ(LoadBytes(back, saved), "");
    EXPECT_EQ(FramePixels(*back.Frame(0)), Bytes({0, 0, 0, 1}));
    EXPECT_EQ(back.GlobalColors().ColorAt(0), RGBColor(2, 2, 2));
}

TEST(GifSave, ProgressAndFailures)
{
    std::vector<std::string> log;
    auto attach = [&](TMyGIFImage& image) {
        image.OnProgress = [&](TGIFObject&, TProgressStage stage, int percent, bool redraw, const TGIFRect&,
                               const std::string& m) {
            log.push_back(std::to_string(static_cast<int>(stage)) + "/" + std::to_string(percent) + "/" +
                          (redraw ? "r" : "-") + "/" + m);
        };
    };
    TMyGIFImage empty;
    attach(empty);
    EXPECT_EQ(SaveError(empty), "Unsupported GIF version");
    EXPECT_EQ(log, (std::vector<std::string>{"0/0/-/Saving...", "2/0/r/Saving..."}));

    log.clear();
    TMyGIFImage image;
    Bytes gif = Header(2, 1, 0x81);
    for (int i = 0; i < 3; ++i) {
        Append(gif, Descriptor(0, 0, 2, 1));
        Append(gif, ImageData(2, LiteralCodes({i, 1}, 2)));
    }
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    attach(image);
    Saved(image);
    EXPECT_EQ(log, (std::vector<std::string>{"0/0/-/Saving...", "1/33/-/Saving...", "1/67/-/Saving...",
                                             "1/100/-/Saving...", "2/100/r/Saving..."}));

    // A pixel beyond the table: the stream keeps what was written, the end
    // report says 0.
    log.clear();
    image.GlobalColors().RemoveColor(3);
    image.GlobalColors().RemoveColor(2);
    EXPECT_EQ(SaveError(image), "Color not in color table");
    EXPECT_EQ(log.back(), "2/0/r/Saving...");
}

TEST(GifSave, FramesHoldingFewerPixelsWriteTheirFill)
{
    // Data that stops after two pixels of a transparent 30x20 frame: the
    // rest is the transparent index, which the frame does not store but
    // the writer writes out.
    TMyGIFImage image;
    const Bytes data = ImageData(2, LiteralCodes({1, 2}, 2, false));
    ASSERT_EQ(LoadBytes(image, OneFrame(30, 20, data, GraphicControl(0x01, 0, 3))), "");
    ASSERT_LT(image.Frame(0)->StoredPixelCount(), 600);
    const Bytes before = FramePixels(*image.Frame(0));
    EXPECT_EQ(before[0], 1);
    EXPECT_EQ(before.back(), 3);
    TMyGIFImage back;
    ASSERT_EQ(LoadBytes(back, Saved(image)), "");
    EXPECT_EQ(back.Frame(0)->StoredPixelCount(), 600);
    EXPECT_EQ(FramePixels(*back.Frame(0)), before);
}

TEST(GifSave, RunLengthCompressionIsChosenByTheImage)
{
    std::vector<int> pixels;
    for (int i = 0; i < 40; ++i)
        pixels.push_back(i % 2);
    TMyGIFImage image;
    LoadFrame(image, 40, 1, pixels);
    const Bytes lzw = Saved(image);
    image.Compression = 1;
    const Bytes rle = Saved(image);
    EXPECT_NE(lzw, rle);
    for (const Bytes* b : {&lzw, &rle}) {
        TMyGIFImage back;
        ASSERT_EQ(LoadBytes(back, *b), "");
        EXPECT_EQ(FramePixels(*back.Frame(0)), FramePixels(*image.Frame(0)));
    }
}

// ---- persistence and the clipboard ------------------------------------------------------

TEST(GifSave, DataStreamsCarryASizePrefix)
{
    TMyGIFImage image;
    LoadFrame(image, 2, 2, {0, 1, 2, 3});
    TMemoryStream s;
    s.WriteBuffer("ab", 2);
    image.WriteData(s);
    s.WriteBuffer("z", 1);
    const Bytes saved = Saved(image);
    const Bytes& all = s.Bytes();
    ASSERT_EQ(all.size(), 2 + 4 + saved.size() + 1);
    EXPECT_EQ(all[2] | (all[3] << 8), static_cast<int>(saved.size()));
    EXPECT_EQ(Bytes(all.begin() + 6, all.end() - 1), saved);

    s.SetPosition(2);
    TMyGIFImage back;
    back.ReadData(s);
    EXPECT_EQ(s.Position(), static_cast<int64_t>(all.size() - 1));
    EXPECT_EQ(FramePixels(*back.Frame(0)), Bytes({0, 1, 2, 3}));

    // A size beyond the stream is refused without reading on.
    TMemoryStream cut(Bytes(all.begin() + 2, all.end() - 5));
    EXPECT_THROW(back.ReadData(cut), EReadError);
}

TEST(GifClipboard, CopiesBitmapAndGifBytesAndReadsThemBack)
{
    TMemoryClipboard clipboard;
    ScopedClipboard scoped(clipboard);
    const auto formats = RegisteredClipboardFormats();
    EXPECT_NE(std::find(formats.begin(), formats.end(), "GIF Image"), formats.end());

    TMyGIFImage empty;
    empty.SaveToClipboard();
    EXPECT_EQ(clipboard.SetCount, 0); // an empty image puts nothing there

    TMyGIFImage image;
    LoadFrame(image, 2, 2, {0, 1, 2, 3});
    image.SaveToClipboard();
    const Bytes saved = Saved(image);
    EXPECT_EQ(clipboard.Data("GIF Image"), saved);
    EXPECT_EQ(clipboard.Data("image/gif"), saved);
    ASSERT_TRUE(clipboard.Bitmap());
    EXPECT_EQ(clipboard.Bitmap()->Width(), 2);
    EXPECT_EQ(clipboard.Bitmap()->Pixel(1, 1), image.ImageBitmap()->Pixel(1, 1));

    TMyGIFImage back;
    back.LoadFromClipboard();
    EXPECT_EQ(FramePixels(*back.Frame(0)), Bytes({0, 1, 2, 3}));

    // Only a bitmap: it becomes the one frame.
    TBitmap bitmap(3, 3);
    clipboard.SetContent(&bitmap, {});
    back.LoadFromClipboard();
    ASSERT_EQ(back.FrameCount(), 1);
    EXPECT_EQ(back.Frame(0)->Width(), 3);

    // Nothing on the clipboard.
    clipboard.SetContent(nullptr, {});
    try {
        back.LoadFromClipboard();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unsupported clipboard format");
    }
    EXPECT_EQ(back.FrameCount(), 1); // nothing lost

    clipboard.Refuse = true;
    try {
        image.SaveToClipboard();
        FAIL() << "no error";
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Failed to store GIF on clipboard");
    }
}
