// Reading the stream into the object model: signature, screen descriptor,
// the block loop, frames, trailer, warnings, progress; the frame's pixels.
#include "GifTestUtil.h"

#include "platform/Picture.h"

#include <gtest/gtest.h>

using namespace giftest;

namespace {

Bytes OnePixel(int pixel = 1) { return ImageData(2, LiteralCodes({pixel}, 2)); }

} // namespace

TEST(GifReader, SignatureCaseVersionAndPrefix)
{
    TMyGIFImage image;
    Bytes gif = OneFrame(1, 1, OnePixel());
    std::copy_n("gif00z", 6, gif.begin());
    EXPECT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.FrameCount(), 1);

    for (int prefix = 1; prefix <= 4; ++prefix) {
        SCOPED_TRACE(prefix);
        Bytes withPrefix(static_cast<size_t>(prefix), 'x');
        Append(withPrefix, OneFrame(1, 1, OnePixel()));
        TMemoryStream s(withPrefix);
        const std::string error = LoadStream(image, s);
        EXPECT_EQ(error, prefix == 4 ? "" : "Invalid GIF signature");
        if (!error.empty()) {
            EXPECT_EQ(s.Position(), 0);
        }
    }
}

TEST(GifReader, GlobalTableFollowsFlagBits)
{
    TMyGIFImage image;
    // Bit 7 clear, size bits 7: no table; the frame follows directly.
    Bytes gif = Header(1, 1, 0x07);
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel());
    EXPECT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.GlobalColors().EntryCount(), 0);
    EXPECT_EQ(image.FrameCount(), 1);
    // Bit 7 set, size bits 0: two entries.
    gif = Header(1, 1, 0x80, {1, 2, 3, 4, 5, 6});
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel());
    EXPECT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.GlobalColors().EntryCount(), 2);
    EXPECT_EQ(image.GlobalColors().ColorAt(1), RGBColor(4, 5, 6));
    EXPECT_EQ(image.Header().ScreenFlags, 0x80);
}

TEST(GifReader, PaddingZerosAndMissingTrailerAreSilent)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes gif = Header(1, 1, 0x81);
    Append(gif, {0, 0, 0});
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel(2));
    Append(gif, {0, 0});
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel(3));
    ASSERT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.FrameCount(), 2);
    EXPECT_EQ(image.Frame(1)->PixelAt(0, 0), 3);
    EXPECT_TRUE(w.list.empty());
}

TEST(GifReader, ExtensionsBeforeTrailerMakeAnEmptyFrame)
{
    TMyGIFImage image;
    Bytes gif = OneFrame(1, 1, OnePixel(), {}, 0, false);
    Append(gif, Comment({"bye"}));
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_TRUE(image.Frame(1)->IsEmpty());
    ASSERT_EQ(image.Frame(1)->FrameExtensions().Count(), 1);
    EXPECT_EQ(dynamic_cast<TGIFCommentExtension&>(*image.Frame(1)->FrameExtensions().Extensions(0)).Lines,
              std::vector<std::string>{"bye"});
}

TEST(GifReader, ZeroWidthFrameTakesScreenSize)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes gif = Header(3, 2, 0x81);
    Append(gif, Descriptor(0, 0, 0, 5));
    Append(gif, ImageData(2, LiteralCodes({1, 2, 3, 1, 2, 3}, 2)));
    ASSERT_EQ(LoadBytes(image, gif), "");
    TGIFSubImage& f = *image.Frame(0);
    EXPECT_EQ(f.Width(), 3);
    EXPECT_EQ(f.Height(), 2);
    EXPECT_EQ(FramePixels(f), (Bytes{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(w.list, std::vector<std::string>{"Image exceeds Logical Screen size"});
}

TEST(GifReader, ZeroAfterExtensionEndsTheRun)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes gif = Header(1, 1, 0x81);
    Append(gif, Comment({"a"}));
    gif.push_back(0);
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel(3));
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 2);
    EXPECT_TRUE(image.Frame(0)->IsEmpty());
    EXPECT_EQ(image.Frame(0)->FrameExtensions().Count(), 1);
    EXPECT_EQ(image.Frame(1)->PixelAt(0, 0), 3);
    EXPECT_EQ(w.list, std::vector<std::string>{"Invalid extension introducer"});
}

TEST(GifReader, UnknownLabelFailsTheLoadAndRestoresPosition)
{
    TMyGIFImage image;
    Bytes gif = OneFrame(1, 1, OnePixel(), {}, 0, false);
    Append(gif, {0x21, 0x02, 1, 'x', 0});
    gif.push_back(0x3B);
    Bytes prefixed{'a', 'b', 'c', 'd'};
    Append(prefixed, gif);
    TMemoryStream s(prefixed);
    s.SetPosition(4);
    EXPECT_EQ(LoadStream(image, s), "Unknown extension type");
    EXPECT_EQ(s.Position(), 4);
    // What came before stays.
    EXPECT_EQ(image.FrameCount(), 1);
}

TEST(GifReader, GarbageAfterFramesStopsWithWarnings)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    Bytes gif = OneFrame(1, 1, OnePixel(), {}, 0, false);
    Append(gif, {0x99, 0x21, 0x2C});
    ASSERT_EQ(LoadBytes(image, gif), "");
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(w.list, (std::vector<std::string>{"Unknown GIF block type", "Invalid Image trailer"}));
}

TEST(GifReader, ProgressStartsRunsPerFrameAndEnds)
{
    TMyGIFImage image;
    std::vector<std::pair<TProgressStage, int>> seen;
    image.OnProgress = [&](TGIFObject&, TProgressStage stage, int percent, bool, const TGIFRect&,
                           const std::string& m) {
        EXPECT_EQ(m, "Loading...");
        seen.emplace_back(stage, percent);
    };
    Bytes gif = OneFrame(1, 1, OnePixel(), {}, 0, false);
    Append(gif, Descriptor(0, 0, 1, 1));
    Append(gif, OnePixel());
    gif.push_back(0x3B);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(TProgressStage::Starting, 0));
    EXPECT_EQ(seen[1].first, TProgressStage::Running);
    EXPECT_EQ(seen[2].first, TProgressStage::Running);
    EXPECT_LT(seen[1].second, seen[2].second);
    EXPECT_EQ(seen[3], std::make_pair(TProgressStage::Ending, 100));

    seen.clear();
    EXPECT_EQ(LoadBytes(image, Bytes{'G', 'I', 'F'}), "Premature end of data");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], std::make_pair(TProgressStage::Ending, 0));
}

TEST(GifReader, LoadReplacesContentAndClearResets)
{
    TMyGIFImage image;
    int changes = 0;
    image.OnChange = [&](TGraphic&) { ++changes; };
    ASSERT_EQ(LoadBytes(image, OneFrame(5, 4, ImageData(2, LiteralCodes({1}, 2)))), "");
    ASSERT_EQ(LoadBytes(image, OneFrame(1, 1, OnePixel())), "");
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.Width(), 1);
    EXPECT_EQ(changes, 0); // a load sends no changed notification
    image.Clear();
    EXPECT_TRUE(image.Empty());
    EXPECT_EQ(image.Width(), 0);
    EXPECT_EQ(image.GlobalColors().EntryCount(), 0);
    // All tables empty: the packed field the writer would set.
    EXPECT_EQ(image.Header().ScreenFlags, 0x77);
}

TEST(GifReader, LoadFromFile)
{
    TMyGIFImage image;
    image.LoadFromFile(SuitePath("four-colors.gif"));
    EXPECT_EQ(image.Width(), 2);
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_THROW(image.LoadFromFile(SuitePath("no-such-file.gif")), Exception);
}

TEST(GifReader, PicturesOfGifFilesAreGifImages)
{
    auto graphic = CreateGraphicForExtension(".gif");
    EXPECT_NE(dynamic_cast<TMyGIFImage*>(graphic.get()), nullptr);
    bool described = false;
    for (const auto& f : RegisteredFileFormats())
        described = described || (f.Description == "GIF Image" && (f.Extension == "gif" || f.Extension == "GIF"));
    EXPECT_TRUE(described);
    TPicture picture;
    picture.LoadFromFile(SuitePath("local-color-table.gif"));
    EXPECT_NE(dynamic_cast<TMyGIFImage*>(picture.Graphic()), nullptr);
    EXPECT_EQ(picture.Width(), 1);
}

TEST(GifFrame, PixelAccessChecksCoordinates)
{
    TMyGIFImage image;
    TGIFSubImage frame(&image);
    EXPECT_FALSE(frame.HasPixels());
    EXPECT_THROW(frame.EnsurePixels(), GIFException);
    try {
        frame.EnsurePixels();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Image is empty");
    }
    frame.PlaceFrame(0, 0, 3, 2);
    ASSERT_TRUE(frame.HasPixels());
    EXPECT_EQ(frame.PixelCount(), 6);
    frame.PixelRow(1)[2] = 9;
    EXPECT_EQ(frame.PixelAt(2, 1), 9);
    EXPECT_EQ(frame.PixelAt(0, 0), 0);
    for (auto [x, y] : {std::pair{3, 0}, {-1, 0}, {0, 2}, {0, -1}}) {
        try {
            frame.PixelAt(x, y);
            ADD_FAILURE() << x << "," << y;
        } catch (const GIFException& e) {
            EXPECT_EQ(e.Message(), "Invalid pixel coordinates");
        }
    }
    EXPECT_THROW(frame.PixelRow(2), GIFException);
}

TEST(GifFrame, PlaceFrameGrowsTheImage)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    auto frame = std::make_unique<TGIFSubImage>(&image);
    frame->PlaceFrame(0, 0, 4, 3);
    EXPECT_EQ(image.Width(), 4);
    EXPECT_EQ(image.Height(), 3);
    EXPECT_TRUE(w.list.empty()); // an image of size 0 just takes the frame's
    frame->PlaceFrame(2, 0, 4, 3);
    EXPECT_EQ(image.Width(), 6);
    EXPECT_EQ(w.list, (std::vector<std::string>{"Image width too small for contained frames",
                                                "Image exceeds Logical Screen size"}));
    image.Add(std::move(frame));
    try {
        image.SetWidth(5);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Image width too small for contained frames");
    }
    EXPECT_THROW(image.SetHeight(2), GIFException);
    image.SetHeight(10);
    EXPECT_EQ(image.Height(), 10);
}

TEST(GifFrame, EffectiveColorMapPrefersLocal)
{
    TMyGIFImage image;
    TGIFSubImage frame(&image);
    EXPECT_EQ(&frame.EffectiveColorMap(), &frame.LocalColors());
    image.GlobalColors().AppendColor(1);
    EXPECT_EQ(&frame.EffectiveColorMap(), &image.GlobalColors());
    frame.LocalColors().AppendColor(2);
    EXPECT_EQ(&frame.EffectiveColorMap(), &frame.LocalColors());
}
