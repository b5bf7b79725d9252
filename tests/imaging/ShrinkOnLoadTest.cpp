// Thumbnails without a full-size picture: the EXIF reader, the scaled JPEG
// decode against the full one, orientation, embedded thumbnails, the add
// path that proves a photo with the same decode, and metafiles played at
// the thumbnail's size.
#include "store/UDMMain.h" // before Qt: the store's headers clash with Qt's macros

#include "ImagingTestSupport.h"
#include "imaging/AddPreparation.h"
#include "imaging/Exif.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersJpeg.h"
#include "imaging/LoadersMetafile.h"
#include "imaging/Thumbnail.h"
#include "imaging/ThumbnailCache.h"
#include "imaging/ThumbnailJpeg.h"
#include "platform/Exception.h"
#include "platform/RasterOps.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>
#include <jerror.h>

#include <cmath>
#include <filesystem>

namespace {

// ---- EXIF blocks built by hand ----

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value;
};

class TiffWriter {
public:
    explicit TiffWriter(bool little) : little_(little) {}
    void U16(uint16_t v)
    {
        if (little_)
            out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
        else
            out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)});
    }
    void U32(uint32_t v)
    {
        if (little_) {
            U16(uint16_t(v));
            U16(uint16_t(v >> 16));
        } else {
            U16(uint16_t(v >> 16));
            U16(uint16_t(v));
        }
    }
    void Directory(const std::vector<Entry>& entries, uint32_t next)
    {
        U16(uint16_t(entries.size()));
        for (const Entry& e : entries) {
            U16(e.tag);
            U16(e.type);
            U32(e.count);
            if (e.type == 3) { // a SHORT sits in the first half of the value
                U16(uint16_t(e.value));
                U16(0);
            } else {
                U32(e.value);
            }
        }
        U32(next);
    }
    std::vector<uint8_t> out;

private:
    bool little_;
};

constexpr uint16_t kShort = 3, kLong = 4;

// Header, IFD0 with the orientation, IFD1 pointing at thumbnail, then the
// thumbnail's bytes.
std::vector<uint8_t> ExifBlock(bool little, int orientation, const std::vector<uint8_t>& thumbnail)
{
    TiffWriter w(little);
    w.out.insert(w.out.end(), little ? std::initializer_list<uint8_t>{'I', 'I'} : std::initializer_list<uint8_t>{'M', 'M'});
    w.U16(42);
    w.U32(8);
    const std::vector<Entry> ifd0 = {{0x010F, 2, 4, 0}, {0x0112, kShort, 1, uint32_t(orientation)}};
    const uint32_t ifd1 = 8 + 2 + 12 * uint32_t(ifd0.size()) + 4;
    w.Directory(ifd0, thumbnail.empty() ? 0 : ifd1);
    if (!thumbnail.empty()) {
        const uint32_t data = ifd1 + 2 + 12 * 2 + 4;
        w.Directory({{0x0201, kLong, 1, data}, {0x0202, kLong, 1, uint32_t(thumbnail.size())}}, 0);
        w.out.insert(w.out.end(), thumbnail.begin(), thumbnail.end());
    }
    return w.out;
}

const std::vector<uint8_t> kFakeJpeg = {0xFF, 0xD8, 0xFF, 0xD9, 1, 2, 3};

TEST(ExifReader, ReadsOrientationAndThumbnailInBothByteOrders)
{
    for (bool little : {true, false})
        for (int o = 1; o <= 8; ++o) {
            const std::vector<uint8_t> block = ExifBlock(little, o, kFakeJpeg);
            const TExifInfo info = ReadExif(block);
            EXPECT_EQ(info.orientation, o);
            ASSERT_EQ(info.thumbnail.size(), kFakeJpeg.size());
            EXPECT_TRUE(std::equal(kFakeJpeg.begin(), kFakeJpeg.end(), info.thumbnail.begin()));
            EXPECT_EQ(info.thumbnail.data(), block.data() + block.size() - kFakeJpeg.size());
        }
    // No thumbnail directory; an orientation out of range counts as upright.
    EXPECT_TRUE(ReadExif(ExifBlock(true, 6, {})).thumbnail.empty());
    EXPECT_EQ(ReadExif(ExifBlock(true, 6, {})).orientation, 6);
    EXPECT_EQ(ReadExif(ExifBlock(false, 9, {})).orientation, 1);
    EXPECT_EQ(ReadExif(ExifBlock(false, 0, {})).orientation, 1);
}

TEST(ExifReader, DamagedBlocksGiveNoRotationAndNoThumbnail)
{
    const std::vector<uint8_t> good = ExifBlock(true, 6, kFakeJpeg);
    auto expectNothing = [](const std::vector<uint8_t>& b, const char* what) {
        const TExifInfo info = ReadExif(b);
        EXPECT_EQ(info.orientation, 1) << what;
        EXPECT_TRUE(info.thumbnail.empty()) << what;
    };
    expectNothing({}, "empty");
    auto badOrder = good;
    badOrder[0] = 'X';
    expectNothing(badOrder, "byte order");
    auto badMagic = good;
    badMagic[2] = 43;
    expectNothing(badMagic, "magic");
    auto farIfd = good;
    farIfd[4] = 0xF0;
    expectNothing(farIfd, "IFD0 outside");
    auto manyEntries = good;
    manyEntries[8] = 0xFF;
    manyEntries[9] = 0xFF;
    expectNothing(manyEntries, "entry count past the end");
    auto shortType = good; // orientation as an ASCII string
    shortType[8 + 2 + 12 + 2] = 2;
    expectNothing(shortType, "orientation of the wrong type");
    auto loop = good; // IFD1 offset pointing back at IFD0
    const size_t next = 8 + 2 + 2 * 12;
    loop[next] = 8;
    loop[next + 1] = loop[next + 2] = loop[next + 3] = 0;
    expectNothing(loop, "IFD1 is IFD0");
    auto ifd1Far = good;
    ifd1Far[next + 2] = 0x7F;
    expectNothing(ifd1Far, "IFD1 outside");
    // Every cut of a good block: never more than the block holds.
    for (size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        const TExifInfo info = ReadExif(cut);
        if (!info.thumbnail.empty()) {
            EXPECT_LE(info.thumbnail.data() + info.thumbnail.size(), cut.data() + cut.size());
        }
    }
    // A thumbnail running past the block, or not a JPEG, is left out; the
    // orientation stays.
    auto longThumb = good;
    longThumb.resize(good.size() - 2);
    EXPECT_TRUE(ReadExif(longThumb).thumbnail.empty());
    EXPECT_EQ(ReadExif(longThumb).orientation, 6);
    const TExifInfo notJpeg = ReadExif(ExifBlock(true, 3, {'P', 'N', 'G', 0}));
    EXPECT_TRUE(notJpeg.thumbnail.empty());
    EXPECT_EQ(notJpeg.orientation, 3);
}

TEST(ExifReader, FindsTheExifSegmentOfAJpeg)
{
    const std::vector<uint8_t> block = ExifBlock(false, 8, {});
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F'};
    // An APP1 that is not EXIF (XMP) comes first.
    jpeg.insert(jpeg.end(), {0xFF, 0xE1, 0x00, 0x06, 'h', 't', 't', 'p'});
    const size_t length = block.size() + 8;
    jpeg.insert(jpeg.end(), {0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length), 'E', 'x', 'i', 'f', 0, 0});
    jpeg.insert(jpeg.end(), block.begin(), block.end());
    jpeg.insert(jpeg.end(), {0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9});
    const std::span<const uint8_t> found = FindJpegExif(jpeg);
    ASSERT_EQ(found.size(), block.size());
    EXPECT_EQ(ReadExif(found).orientation, 8);
    // A segment claiming more than the file holds, or none before the scan.
    auto cut = jpeg;
    cut.resize(30);
    EXPECT_TRUE(FindJpegExif(cut).empty());
    EXPECT_TRUE(FindJpegExif(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xDA, 0, 2}).empty());
    EXPECT_TRUE(FindJpegExif(std::vector<uint8_t>{'G', 'I', 'F'}).empty());
    // The files exiftool wrote.
    for (int o = 1; o <= 8; ++o) {
        const std::vector<uint8_t> file = ReadWholeFile(Data("jpeg-orientation/o" + std::to_string(o) + ".jpg"));
        EXPECT_EQ(ReadExif(FindJpegExif(file)).orientation, o);
    }
    const std::vector<uint8_t> withThumb = ReadWholeFile(Data("jpeg-orientation/embedded.jpg"));
    EXPECT_EQ(ReadExif(FindJpegExif(withThumb)).thumbnail.size(), 3218u);
}

// ---- thumbnails ----

std::vector<uint8_t> FileOf(const std::string& rel) { return ReadWholeFile(Data(rel)); }

// Today's way: the whole photo decoded at full size, then fitted.
TBitmap FullSizeThumbnail(const std::vector<uint8_t>& bytes, int w, int h)
{
    TBitmap natural;
    DecodeJpeg(bytes, natural);
    TBitmap thumbnail(w, h);
    StretchToFit(natural, thumbnail);
    return thumbnail;
}

struct Difference {
    double meanPerChannel = 0;
    int largest = 0;
};

Difference Compare(const TBitmap& a, const TBitmap& b)
{
    Difference d;
    EXPECT_EQ(a.Width(), b.Width());
    EXPECT_EQ(a.Height(), b.Height());
    int64_t sum = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            for (int diff : {std::abs(RedOf(p) - RedOf(q)), std::abs(GreenOf(p) - GreenOf(q)), std::abs(BlueOf(p) - BlueOf(q))}) {
                sum += diff;
                d.largest = std::max(d.largest, diff);
            }
        }
    d.meanPerChannel = double(sum) / (3.0 * a.Width() * a.Height());
    return d;
}

// Which pixels of b differ from white: where the picture was put.
TRect Covered(const TBitmap& b)
{
    TRect r{b.Width(), b.Height(), 0, 0};
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x)
            if (b.Pixel(x, y) != clWhite) {
                r.Left = std::min(r.Left, x);
                r.Top = std::min(r.Top, y);
                r.Right = std::max(r.Right, x + 1);
                r.Bottom = std::max(r.Bottom, y + 1);
            }
    return r;
}

// A filtered reduction of the full-size photo into the same place: what a
// thumbnail should look like, free of the aliasing of dropped pixels.
TBitmap FilteredThumbnail(const std::vector<uint8_t>& bytes, int w, int h)
{
    TBitmap natural;
    DecodeJpeg(bytes, natural);
    const TRect fit = FitRect(natural.Width(), natural.Height(), w, h);
    const QImage reduced = natural.ToQImage().scaled(fit.Width(), fit.Height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    TBitmap small;
    small.Assign(reduced);
    TBitmap thumbnail(w, h);
    StretchBlt(thumbnail, fit.Left, fit.Top, fit.Width(), fit.Height(), small, 0, 0, small.Width(), small.Height(), SRCCOPY);
    return thumbnail;
}

TEST(JpegThumbnail, ScaledDecodeIsNoFurtherFromTheTruePictureThanTheFullSizeOne)
{
    // Dropping pixels of the full-size photo and of a scaled decode pick
    // different samples of fine detail, so the two differ (on these small,
    // detailed test images by up to 7 per channel on average, in a few
    // pixels by half the range); against a filtered reduction the scaled
    // decode is never worse than the full one, and mostly better.
    for (const char* f : {"jpeg/testorig.jpg", "jpeg/testimgint.jpg", "jpeg/testimgari.jpg", "jpeg/gray.jpg", "jpeg/cmyk.jpg",
                          "jpeg-orientation/upright.jpg"})
        for (auto [w, h] : {std::pair{32, 32}, {96, 96}, {64, 20}, {20, 64}, {8, 8}, {320, 200}}) {
            SCOPED_TRACE(testing::Message() << f << " " << w << "x" << h);
            const std::vector<uint8_t> bytes = FileOf(f);
            const TBitmap today = FullSizeThumbnail(bytes, w, h);
            const TBitmap scaled = MakeJpegThumbnail(bytes, w, h);
            EXPECT_EQ(Covered(scaled), Covered(today)); // the same place in the thumbnail
            const Difference d = Compare(scaled, today);
            EXPECT_LE(d.meanPerChannel, 7.0);
            EXPECT_LE(d.largest, 160);
            const TBitmap truth = FilteredThumbnail(bytes, w, h);
            EXPECT_LE(Compare(scaled, truth).meanPerChannel, Compare(today, truth).meanPerChannel + 0.25);
            if (w >= 96 && h >= 96 && std::string(f) != "jpeg-orientation/upright.jpg")
                EXPECT_LE(d.meanPerChannel, 3.0);
        }
    // The list's thumbnail of a JPEG record is this one.
    TMemoryStream stream(FileOf("jpeg/testorig.jpg"));
    EXPECT_EQ(Compare(MakeThumbnail(stream, 'J', 40, 30), MakeJpegThumbnail(FileOf("jpeg/testorig.jpg"), 40, 30)).largest, 0);
}

TEST(JpegThumbnail, ScaleIsTheSmallestEighthCoveringBothSides)
{
    EXPECT_EQ(JpegScaleEighths(1920, 1080, 96, 96), 1);   // 240 x 135
    EXPECT_EQ(JpegScaleEighths(1920, 1080, 320, 200), 2); // 480 x 270
    EXPECT_EQ(JpegScaleEighths(227, 149, 96, 96), 6);     // 171 x 112 (5 gives 94 high)
    EXPECT_EQ(JpegScaleEighths(227, 149, 32, 32), 2);
    EXPECT_EQ(JpegScaleEighths(100, 100, 200, 200), 8);   // never enlarged
    EXPECT_EQ(JpegScaleEighths(100, 100, 0, 0), 8);
    TBitmap b;
    TJpegShape shape;
    DecodeJpeg(FileOf("jpeg/testorig.jpg"), b, TJpegScale{96, 96}, &shape);
    EXPECT_EQ(b.Width(), 171);
    EXPECT_EQ(b.Height(), 112);
    EXPECT_EQ(shape.width, 227);
    EXPECT_EQ(shape.height, 149);
}

TEST(JpegThumbnail, EveryOrientationGivesTheUprightPicture)
{
    const std::vector<uint8_t> upright = FileOf("jpeg-orientation/upright.jpg");
    TBitmap uprightFull;
    DecodeJpeg(upright, uprightFull);
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE(o);
        const std::vector<uint8_t> bytes = FileOf("jpeg-orientation/o" + std::to_string(o) + ".jpg");
        // The preview and the picture loader: full size, upright.
        TBitmap full;
        TJpegShape shape;
        DecodeJpeg(bytes, full, {}, &shape);
        EXPECT_EQ(shape.orientation, o);
        EXPECT_EQ(shape.width, 224);
        EXPECT_EQ(shape.height, 144);
        const Difference d = Compare(full, uprightFull);
        // The same coefficients, turned: the inverse DCT and the colour
        // upsampling round a turned block a little differently.
        EXPECT_LE(d.largest, o >= 5 ? 3 : 2);
        EXPECT_LE(d.meanPerChannel, 0.5);
        if (o == 1) {
            EXPECT_EQ(d.largest, 0);
        }
        for (auto [w, h] : {std::pair{32, 32}, {96, 64}, {40, 90}}) {
            const Difference t = Compare(MakeJpegThumbnail(bytes, w, h), MakeJpegThumbnail(upright, w, h));
            EXPECT_LE(t.largest, 2) << w << "x" << h;
        }
        TJPEGImage image;
        TMemoryStream stream(bytes);
        image.LoadFromStream(stream);
        EXPECT_EQ(image.Width(), 224);
        EXPECT_EQ(image.Height(), 144);
    }
    // Stored sideways: a turned file is not the upright one unturned.
    TBitmap sideways;
    DecodeJpeg(FileOf("jpeg-orientation/o6.jpg"), sideways, TJpegScale{0, 0, 1});
    EXPECT_EQ(sideways.Width(), 144);
}

TEST(JpegThumbnail, TakesAnEmbeddedThumbnailOnlyWhenItShowsThePhotoLargeEnough)
{
    const std::vector<uint8_t> upright = FileOf("jpeg-orientation/upright.jpg");
    // The embedded one is a negative: a thumbnail from it is far from the photo's.
    const auto fromPhoto = [&](int w, int h) { return MakeJpegThumbnail(upright, w, h); };
    const TBitmap usedThumb = MakeJpegThumbnail(FileOf("jpeg-orientation/embedded.jpg"), 32, 32);
    EXPECT_GT(Compare(usedThumb, fromPhoto(32, 32)).meanPerChannel, 40);
    EXPECT_EQ(Covered(usedThumb), Covered(fromPhoto(32, 32)));
    // Larger than the embedded 112 x 72: the photo itself.
    EXPECT_EQ(Compare(MakeJpegThumbnail(FileOf("jpeg-orientation/embedded.jpg"), 120, 120), fromPhoto(120, 120)).largest, 0);
    for (const char* f : {"jpeg-orientation/embedded-small.jpg", "jpeg-orientation/embedded-letterboxed.jpg",
                          "jpeg-orientation/embedded-damaged.jpg"}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(Compare(MakeJpegThumbnail(FileOf(f), 32, 32), fromPhoto(32, 32)).largest, 0);
    }
    // Stored sideways with the photo: turned upright by the photo's orientation.
    const TBitmap turned = MakeJpegThumbnail(FileOf("jpeg-orientation/embedded-o6.jpg"), 32, 32);
    EXPECT_LT(Compare(turned, usedThumb).meanPerChannel, 12);
    EXPECT_EQ(Covered(turned), Covered(usedThumb));

    EXPECT_TRUE(EmbeddedThumbnailFits(160, 90, 1920, 1080, 96, 54));
    EXPECT_FALSE(EmbeddedThumbnailFits(160, 120, 1920, 1080, 96, 54)); // letterboxed
    EXPECT_FALSE(EmbeddedThumbnailFits(160, 90, 1920, 1080, 192, 108)); // too small
    EXPECT_TRUE(EmbeddedThumbnailFits(160, 105, 227, 149, 32, 21));  // 160 x 105.02
    EXPECT_FALSE(EmbeddedThumbnailFits(160, 106, 227, 149, 32, 21)); // 106 high wants 161.5 wide
}

TEST(JpegThumbnail, AddingProvesThePhotoAndFeedsTheSameThumbnail)
{
    EnsureApp();
    const std::string folder = testing::TempDir() + "/jpeg-add";
    std::filesystem::create_directories(folder);
    TThumbnailCache cache("");
    for (const char* f : {"jpeg-orientation/o6.jpg", "jpeg-orientation/embedded.jpg", "jpeg/testorig.jpg"}) {
        SCOPED_TRACE(f);
        TAddJob job;
        PrepareAdd(job, Data(f), TAddThumbnails{&cache, QSize(32, 32)});
        const std::vector<uint8_t> bytes = FileOf(f);
        TJpegShape shape;
        ASSERT_TRUE(ReadJpegShape(bytes, shape));
        EXPECT_EQ(job.width, shape.width);
        EXPECT_EQ(job.height, shape.height);
        const std::vector<uint8_t> packed = job.TakePacked();
        TMemoryStream in(packed), out;
        DecompressStream(in, out);
        EXPECT_EQ(out.Bytes(), bytes); // stored as the file is, unturned
        const std::optional<QImage> cached = cache.Find(ThumbnailKeyOfPacked(packed, 'J', 32, 32, {}));
        ASSERT_TRUE(cached.has_value());
        out.SetPosition(0);
        EXPECT_EQ(*cached, MakeThumbnail(out, 'J', 32, 32).ToQImage());
    }
    // Without a cache it proves all the same, at the smallest scale.
    TAddJob plain;
    PrepareAdd(plain, Data("jpeg-orientation/o8.jpg"), {});
    EXPECT_EQ(plain.width, 224);
    EXPECT_EQ(plain.height, 144);

    // The photo's quantisation table renamed to a comment: its header still
    // reads, its embedded thumbnail is sound, but the photo cannot be decoded.
    std::vector<uint8_t> broken = FileOf("jpeg-orientation/embedded.jpg");
    size_t at = 2;
    while (at + 4 < broken.size() && broken[at + 1] != 0xDB)
        at += 2 + (size_t(broken[at + 2]) << 8 | broken[at + 3]);
    ASSERT_LT(at + 4, broken.size());
    broken[at + 1] = 0xFE;
    const std::string path = folder + "/broken.jpg";
    WriteWholeFile(broken, path);
    const TBitmap listed = MakeJpegThumbnail(broken, 32, 32); // the list shows the embedded one
    EXPECT_FALSE(Covered(listed).Width() == 0);
    TAddJob refused;
    try {
        PrepareAdd(refused, path, TAddThumbnails{&cache, QSize(32, 32)});
        ADD_FAILURE() << "a photo that cannot be decoded was accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "JPEG error #" + std::to_string(JERR_NO_QUANT_TABLE));
    }
}

TEST(MetafileThumbnail, PlayedAtTheThumbnailsSizeIsNoFurtherFromTheTruePictureThanBefore)
{
    EnsureApp();
    for (const char* f : {"emf/test-008.emf", "emf/test-016.emf", "emf/test-028.emf", "wmf/2doorvan.wmf", "wmf/ant.wmf",
                          "wmf/formula1.wmf"})
        for (auto [w, h] : {std::pair{32, 32}, {96, 64}}) {
            SCOPED_TRACE(testing::Message() << f << " " << w << "x" << h);
            TMetafile metafile;
            TMemoryStream stream(FileOf(f));
            metafile.LoadFromStream(stream);
            // Before: played at its natural size (at most 4096), pixels dropped.
            TBitmap natural;
            DrawMetafileNatural(metafile, natural);
            TBitmap before(w, h);
            StretchToFit(natural, before);
            const TRect fit = FitRect(metafile.Width(), metafile.Height(), w, h);
            const QImage reduced = natural.ToQImage().scaled(fit.Width(), fit.Height(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            TBitmap small;
            small.Assign(reduced);
            TBitmap truth(w, h);
            StretchBlt(truth, fit.Left, fit.Top, fit.Width(), fit.Height(), small, 0, 0, small.Width(), small.Height(), SRCCOPY);

            stream.SetPosition(0);
            const TBitmap now = MakeThumbnail(stream, f[0] == 'e' ? 'E' : 'W', w, h);
            EXPECT_EQ(Covered(now).Width() > 0, Covered(before).Width() > 0);
            EXPECT_LE(Compare(now, truth).meanPerChannel, Compare(before, truth).meanPerChannel + 1.0);
        }
}

} // namespace
