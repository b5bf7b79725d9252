// Every GIF in tests/data that we read is written with LZW and with
// run-length codes and read back: the same frames, descriptors, tables,
// extensions and indices. giflib decodes both writings to the same indices.
#include "GiflibOracle.h"
#include "GifTestUtil.h"
#include "gif/GIFWriter.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace giftest;

namespace {

std::vector<std::string> AllGifs()
{
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(GMB_TEST_DATA)) {
        std::string ext = e.path().extension().string();
        for (char& c : ext)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // Fuzz regressions are hostile inputs, kept for the replays: one
        // claims four billion pixels, which no round trip should write.
        const bool hostile = e.path().string().find("/fuzz-regressions/") != std::string::npos;
        if (e.is_regular_file() && ext == ".gif" && !hostile)
            out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> NonEmpty(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (!l.empty())
            out.push_back(l);
    return out;
}

Bytes Colors(const TGIFColorMap& map)
{
    return Bytes(map.Entries(), map.Entries() + map.EntryCount() * 3);
}

// Tables are written padded to a power of two.
Bytes Padded(const TGIFColorMap& map)
{
    Bytes c = Colors(map);
    if (map.EntryCount() > 0)
        c.resize(static_cast<size_t>(3) << map.ColorBits(), 0);
    return c;
}

void ExpectSameExtension(TGIFExtension* a, TGIFExtension* b)
{
    ASSERT_EQ(a->ExtensionLabel(), b->ExtensionLabel());
    ASSERT_STREQ(a->ClassRef().Name, b->ClassRef().Name);
    if (auto* g = dynamic_cast<TGIFGraphicControlExtension*>(a)) {
        auto* h = static_cast<TGIFGraphicControlExtension*>(b);
        EXPECT_EQ(g->ControlFlags, h->ControlFlags);
        EXPECT_EQ(g->DelayTime(), h->DelayTime());
        EXPECT_EQ(g->TransparentIndex(), h->TransparentIndex());
    } else if (auto* c = dynamic_cast<TGIFCommentExtension*>(a)) {
        // An empty line has no sub-block to be written in.
        EXPECT_EQ(NonEmpty(c->Lines), static_cast<TGIFCommentExtension*>(b)->Lines);
    } else if (auto* t = dynamic_cast<TGIFTextExtension*>(a)) {
        auto* u = static_cast<TGIFTextExtension*>(b);
        EXPECT_EQ(NonEmpty(t->Lines), u->Lines);
        EXPECT_EQ(t->TextGrid.Left, u->TextGrid.Left);
        EXPECT_EQ(t->TextGrid.Width, u->TextGrid.Width);
        EXPECT_EQ(t->TextGrid.ForegroundIndex, u->TextGrid.ForegroundIndex);
    } else if (auto* l = dynamic_cast<TGIFAppExtNSLoop*>(a)) {
        auto* m = static_cast<TGIFAppExtNSLoop*>(b);
        EXPECT_EQ(l->Identifier, m->Identifier);
        EXPECT_EQ(l->LoopCount, m->LoopCount);
        EXPECT_EQ(l->BufferLength, m->BufferLength);
    } else if (auto* x = dynamic_cast<TGIFUnknownAppExtension*>(a)) {
        auto* y = static_cast<TGIFUnknownAppExtension*>(b);
        EXPECT_EQ(x->Identifier, y->Identifier);
        ASSERT_EQ(x->RawBlocks.size(), y->RawBlocks.size());
        for (size_t i = 0; i < x->RawBlocks.size(); ++i)
            EXPECT_EQ(x->RawBlocks[i].Data, y->RawBlocks[i].Data);
    }
}

// The colour count the writer checks a frame's indices against.
int ColourLimit(TMyGIFImage& image, TGIFSubImage& f)
{
    if (f.LocalColors().EntryCount() > 0)
        return f.LocalColors().EntryCount();
    int bits = image.GlobalColors().ColorBits();
    for (int i = 0; i < image.FrameCount(); ++i)
        bits = std::max(bits, image.Frame(i)->LocalColors().ColorBits());
    return 1 << bits;
}

struct Outcome {
    int written = 0;
    int refused = 0;
};

void RoundTrip(const std::string& path, uint8_t compression, Outcome& outcome)
{
    SCOPED_TRACE(path + (compression == 1 ? " run-length" : " LZW"));
    const Bytes original = ReadFile(path);
    TMyGIFImage image;
    if (!LoadBytes(image, original).empty() || image.FrameCount() == 0)
        return; // not a GIF we read
    image.Compression = compression;

    TMemoryStream out;
    try {
        image.SaveToStream(out);
    } catch (const GIFException& e) {
        // Only a frame whose indices reach past its table is refused.
        ASSERT_EQ(e.Message(), "Color not in color table");
        bool beyond = false;
        for (int i = 0; i < image.FrameCount(); ++i) {
            TGIFSubImage& f = *image.Frame(i);
            if (f.IsEmpty())
                continue;
            const Bytes px = FramePixels(f);
            beyond = beyond || *std::max_element(px.begin(), px.end()) >= ColourLimit(image, f);
        }
        EXPECT_TRUE(beyond);
        ++outcome.refused;
        return;
    }
    ++outcome.written;
    const Bytes written = out.Bytes();

    TMyGIFImage back;
    Warnings warnings;
    warnings.Attach(back);
    ASSERT_EQ(LoadBytes(back, written), "");
    EXPECT_TRUE(warnings.list.empty()) << warnings.list.front();
    EXPECT_EQ(back.Width(), image.Width());
    EXPECT_EQ(back.Height(), image.Height());
    EXPECT_EQ(back.Header().BackgroundIndex, image.Header().BackgroundIndex);
    EXPECT_EQ(back.Header().AspectRatio, image.Header().AspectRatio);
    EXPECT_EQ(back.Header().ScreenFlags, image.Header().ComputeScreenFlags());
    EXPECT_EQ(Colors(back.GlobalColors()), Padded(image.GlobalColors()));
    ASSERT_EQ(back.FrameCount(), image.FrameCount());
    for (int i = 0; i < image.FrameCount(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        TGIFSubImage& a = *image.Frame(i);
        TGIFSubImage& b = *back.Frame(i);
        ASSERT_EQ(a.FrameExtensions().Count(), b.FrameExtensions().Count());
        for (int e = 0; e < a.FrameExtensions().Count(); ++e)
            ExpectSameExtension(a.FrameExtensions().Extensions(e), b.FrameExtensions().Extensions(e));
        ASSERT_EQ(a.IsEmpty(), b.IsEmpty());
        if (a.IsEmpty())
            continue;
        EXPECT_EQ(b.Left(), a.Left());
        EXPECT_EQ(b.Top(), a.Top());
        EXPECT_EQ(b.Width(), a.Width());
        EXPECT_EQ(b.Height(), a.Height());
        EXPECT_EQ(b.Descriptor().ImageFlags, a.ComputeImageFlags());
        EXPECT_EQ(b.HasTransparency(), a.HasTransparency());
        EXPECT_EQ(Colors(b.LocalColors()), Padded(a.LocalColors()));
        EXPECT_EQ(FramePixels(b), FramePixels(a));
    }

    // giflib reads the written stream to the same indices; it misreads an
    // extension without data sub-blocks (a comment of only empty lines),
    // which the format allows and we write.
    bool emptyExtension = false;
    for (int i = 0; i < image.FrameCount(); ++i)
        for (int e = 0; e < image.Frame(i)->FrameExtensions().Count(); ++e) {
            auto* c = dynamic_cast<TGIFCommentExtension*>(image.Frame(i)->FrameExtensions().Extensions(e));
            emptyExtension = emptyExtension || (c && NonEmpty(c->Lines).empty());
        }
    const giflib::Decoded ref = giflib::Decode(written);
    if (emptyExtension)
        return;
    ASSERT_TRUE(ref.Ok);
    size_t r = 0;
    for (int i = 0; i < image.FrameCount(); ++i) {
        TGIFSubImage& f = *image.Frame(i);
        if (f.IsEmpty())
            continue;
        ASSERT_LT(r, ref.Frames.size());
        EXPECT_EQ(ref.Frames[r].Pixels, FramePixels(f)) << "giflib frame " << r;
        ++r;
    }
    EXPECT_EQ(r, ref.Frames.size());
}

} // namespace

TEST(GifWriteRoundTrip, EveryGifWeReadComesBackWithBothEncoders)
{
    const std::vector<std::string> files = AllGifs();
    ASSERT_GE(files.size(), 80u);
    Outcome lzw, rle;
    for (const std::string& path : files) {
        RoundTrip(path, 0, lzw);
        RoundTrip(path, 1, rle);
    }
    // Most of the files are written; the refusals are frames with indices
    // beyond their tables.
    EXPECT_GE(lzw.written, 60);
    EXPECT_EQ(lzw.written, rle.written);
    EXPECT_EQ(lzw.refused, rle.refused);
    std::cout << "written " << lzw.written << ", refused " << lzw.refused << " of " << files.size() << "\n";
}

TEST(GifWriteRoundTrip, GeneratedFramesOfEveryDepthAndShape)
{
    // Noise, flat areas and long runs; interlaced or not; 1 to 8 bits.
    struct Case {
        int w, h, bits;
        bool interlaced;
        int kind; // 0 noise, 1 bands, 2 one colour
    };
    const Case cases[] = {{1, 1, 1, false, 0},      {5, 3, 1, true, 0},       {300, 200, 8, false, 0},
                          {301, 199, 8, true, 1},   {640, 480, 4, false, 1},  {1000, 1000, 8, false, 2},
                          {257, 131, 3, true, 0},   {4000, 3, 2, false, 1},   {3, 4000, 7, true, 1}};
    uint32_t seed = 9;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " bits " + std::to_string(c.bits));
        const int colors = 1 << c.bits;
        Bytes px(static_cast<size_t>(c.w) * static_cast<size_t>(c.h));
        for (size_t i = 0; i < px.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const size_t x = i % static_cast<size_t>(c.w), y = i / static_cast<size_t>(c.w);
            const uint32_t v = c.kind == 0 ? seed >> 20 : c.kind == 1 ? static_cast<uint32_t>(x / 37 + y / 11) : 3;
            px[i] = static_cast<uint8_t>(v % static_cast<uint32_t>(colors));
        }
        for (uint8_t compression : {0, 1}) {
            TMemoryStream data;
            if (compression == 1) {
                TRLEEncoder e;
                e.EncodeFrame(data, c.bits, colors, px.data(), c.interlaced, c.h, c.w);
            } else {
                TLZWEncoder e;
                e.EncodeFrame(data, c.bits, colors, px.data(), c.interlaced, c.h, c.w);
            }
            Bytes gif = Header(c.w, c.h, 0x80 | (c.bits - 1));
            Append(gif, Descriptor(0, 0, c.w, c.h, c.interlaced ? 0x40 : 0));
            Append(gif, data.Bytes());
            gif.push_back(0x3B);
            const giflib::Decoded ref = giflib::Decode(gif);
            ASSERT_TRUE(ref.Ok);
            ASSERT_EQ(ref.Frames.size(), 1u);
            EXPECT_EQ(ref.Frames[0].Pixels, px) << "giflib, compression " << int(compression);
            TMyGIFImage image;
            ASSERT_EQ(LoadBytes(image, gif), "");
            EXPECT_EQ(FramePixels(*image.Frame(0)), px) << "ours, compression " << int(compression);
        }
    }
}

TEST(GifWriteRoundTrip, CommentsKeepTheirBytesAndAnEmptyOneIsLeftOut)
{
    const std::string zeros("a\0b\0", 4);
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, OneFrame(1, 1, ImageData(2, LiteralCodes({1}, 2)), Comment({zeros, std::string(1, '\0')}))),
              "");
    TGIFSubImage& f = *image.Frame(0);
    f.FrameExtensions().Add(std::make_unique<TGIFCommentExtension>(&f));
    ASSERT_EQ(f.FrameExtensions().Count(), 2);
    TMemoryStream s;
    image.SaveToStream(s);

    // giflib reads the whole file and sees the one comment, byte for byte.
    const std::vector<uint8_t>& bytes = s.Bytes();
    giflib::Reader r{bytes.data(), bytes.size(), 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&r, &giflib::ReadBytes, &err);
    ASSERT_NE(gif, nullptr);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK);
    ASSERT_EQ(gif->ImageCount, 1);
    std::string comment;
    int comments = 0;
    const SavedImage& saved = gif->SavedImages[0];
    for (int i = 0; i < saved.ExtensionBlockCount; ++i) {
        const ExtensionBlock& e = saved.ExtensionBlocks[i];
        if (e.Function == COMMENT_EXT_FUNC_CODE)
            ++comments;
        if (e.Function == COMMENT_EXT_FUNC_CODE || (comments == 1 && e.Function == CONTINUE_EXT_FUNC_CODE))
            comment.append(reinterpret_cast<const char*>(e.Bytes), size_t(e.ByteCount));
    }
    DGifCloseFile(gif, &err);
    EXPECT_EQ(comments, 1);
    EXPECT_EQ(comment, zeros + std::string(1, '\0'));

    // And so do we.
    TMyGIFImage back;
    s.Seek(0, SeekOrigin::Begin);
    back.LoadFromStream(s);
    ASSERT_EQ(back.Frame(0)->FrameExtensions().Count(), 1);
    auto* c = dynamic_cast<TGIFCommentExtension*>(back.Frame(0)->FrameExtensions().Extensions(0));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Lines, (std::vector<std::string>{zeros, std::string(1, '\0')}));
}
