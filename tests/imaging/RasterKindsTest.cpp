// The PNG, WebP, TIFF, HEIF and AVIF loaders on files their formats'
// reference tools wrote, with ImageMagick's reading of each as the oracle
// (tests/data/make-kinds.sh).
#include "imaging/GifExport.h"
#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersRaster.h"
#include "imaging/Thumbnail.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

namespace {

std::string Data(const std::string& rel) { return std::string(GMB_TEST_DATA) + "/" + rel; }

struct Sample {
    const char* file;
    ImageKind kind;
    int width, height;
    int tolerance; // largest difference per channel from ImageMagick's reading
    bool alpha;
};

// Lossless 8-bit files match exactly; deeper ones (and TIFF's 16-bit
// palettes) may round where the other reader truncates. HEIF and AVIF are
// compared with libheif's own converter, since ImageMagick 6 drops their
// alpha.
const Sample kSamples[] = {
    {"png/rgb8.png", 'P', 64, 42, 0, false},
    {"png/rgba8.png", 'P', 64, 42, 0, true},
    {"png/rgb16.png", 'P', 64, 42, 1, false},
    {"png/grey8.png", 'P', 64, 42, 0, false},
    {"png/greyalpha16.png", 'P', 64, 42, 1, true},
    {"png/palette-trns.png", 'P', 64, 42, 0, true},
    {"png/pngtest.png", 'P', 69, 91, 0, true}, // orientation 5 in its eXIf
    {"webp/lossy.webp", 'V', 64, 42, 2, false},
    {"webp/lossless.webp", 'V', 64, 42, 0, false},
    {"webp/lossy-alpha.webp", 'V', 64, 42, 2, true},
    {"webp/lossless-alpha.webp", 'V', 64, 42, 0, true},
    {"webp/grey-lossless.webp", 'V', 64, 42, 0, false},
    {"webp/animated.webp", 'V', 64, 42, 0, false},
    {"tiff/rgb-none.tif", 'T', 64, 42, 0, false},
    {"tiff/rgb-lzw.tif", 'T', 64, 42, 0, false},
    {"tiff/rgba-zip.tif", 'T', 64, 42, 1, true},
    {"tiff/grey16.tif", 'T', 64, 42, 1, false},
    {"tiff/palette.tif", 'T', 64, 42, 1, false},
    {"tiff/bilevel-g4.tif", 'T', 64, 42, 0, false},
    {"tiff/multipage.tif", 'T', 64, 42, 0, false},
    {"heif/photo.heic", 'H', 64, 42, 2, false},
    {"heif/alpha.heic", 'H', 64, 42, 2, true},
    {"heif/lossless.heic", 'H', 64, 42, 2, false},
    {"heif/grey.heic", 'H', 64, 42, 2, false},
    {"heif/small.heif", 'H', 40, 26, 2, false},
    {"avif/photo.avif", 'A', 64, 42, 2, false},
    {"avif/alpha.avif", 'A', 64, 42, 2, true},
    {"avif/lossless.avif", 'A', 64, 42, 2, false},
    {"avif/grey.avif", 'A', 64, 42, 2, false},
    {"avif/tenbit.avif", 'A', 40, 26, 2, false},
};

TDecodedPicture Decode(ImageKind kind, const std::vector<uint8_t>& bytes, bool allFrames = false)
{
    TRasterDecoder decoder = nullptr;
    switch (kind) {
    case 'P': decoder = DecodePng; break;
    case 'V': decoder = DecodeWebp; break;
    case 'T': decoder = DecodeTiff; break;
    case 'H': decoder = DecodeHeif; break;
    case 'A': decoder = DecodeAvif; break;
    }
    TDecodedPicture out;
    decoder(bytes.data(), bytes.size(), out, allFrames);
    return out;
}

std::string Outcome(ImageKind kind, const std::vector<uint8_t>& bytes)
{
    TMemoryStream s(bytes);
    TBitmap b;
    try {
        KindOf(kind).Loader(s, b);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "loaded";
}

// The largest channel difference from the oracle's R, G, B, A rows, the
// colours weighed by their alpha as they show (TIFF's reader multiplies
// colours by alpha, so faint pixels lose bits that cannot be seen).
int LargestDifference(const TBitmap& pixels, const std::vector<uint8_t>& rgba)
{
    int worst = 0;
    const bool alpha = pixels.PixelFormat() == TPixelFormat::pf32bit;
    for (int y = 0; y < pixels.Height(); ++y) {
        const uint8_t* row = pixels.ScanLine(y);
        for (int x = 0; x < pixels.Width(); ++x) {
            const uint8_t* o = &rgba[(size_t(y) * pixels.Width() + x) * 4];
            const uint8_t* p = row + size_t(x) * (alpha ? 4 : 3);
            const int a = alpha ? p[3] : 255;
            worst = std::max(worst, std::abs(a - o[3]));
            auto shown = [](int c, int weight) { return (c * weight + 127) / 255; };
            worst = std::max({worst, std::abs(shown(p[2], a) - shown(o[0], o[3])), std::abs(shown(p[1], a) - shown(o[1], o[3])),
                              std::abs(shown(p[0], a) - shown(o[2], o[3]))});
        }
    }
    return worst;
}

std::string Stem(const std::string& rel) { return rel.substr(0, rel.rfind('.')); }

} // namespace

TEST(RasterKinds, EverySampleMatchesImageMagicksReading)
{
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        const TDecodedPicture picture = Decode(s.kind, ReadWholeFile(Data(s.file)));
        ASSERT_EQ(picture.Pixels.Width(), s.width);
        ASSERT_EQ(picture.Pixels.Height(), s.height);
        EXPECT_EQ(picture.Pixels.PixelFormat() == TPixelFormat::pf32bit, s.alpha);
        const std::vector<uint8_t> oracle = ReadWholeFile(Data(Stem(s.file) + ".rgba"));
        ASSERT_EQ(oracle.size(), size_t(s.width) * s.height * 4);
        EXPECT_LE(LargestDifference(picture.Pixels, oracle), s.tolerance);
    }
}

TEST(RasterKinds, TheKindsLoaderGivesTheNaturalSizeOverWhite)
{
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.file);
        TFileStream stream(Data(s.file), FileMode::OpenRead);
        TBitmap natural;
        KindOf(s.kind).Loader(stream, natural);
        EXPECT_EQ(natural.Width(), s.width);
        EXPECT_EQ(natural.Height(), s.height);
        EXPECT_EQ(natural.PixelFormat(), TPixelFormat::pf24bit);
    }
    // The alpha ramp runs from opaque at the top to clear at the bottom.
    TFileStream stream(Data("png/rgba8.png"), FileMode::OpenRead);
    TBitmap natural;
    LoadPngFromStream(stream, natural);
    EXPECT_EQ(natural.Pixel(10, 41), clWhite);
    const std::vector<uint8_t> oracle = ReadWholeFile(Data("png/rgba8.rgba"));
    EXPECT_EQ(natural.Pixel(10, 0), RGBColor(oracle[40], oracle[41], oracle[42]));
}

TEST(RasterKinds, DamagedFilesGiveTheKindsMessage)
{
    const struct {
        const char* file;
        ImageKind kind;
        const char* prefix;
    } damaged[] = {
        {"png/truncated.png.bad", 'P', "PNG image is not valid: "},
        {"png/lying-header.png.bad", 'P', "PNG image is not valid: 60000x60000 pixels cannot come from a file of"},
        {"webp/truncated.webp.bad", 'V', "WebP image is not valid: "},
        {"webp/lying-header.webp.bad", 'V', "WebP image is not valid: 16384x16384 pixels cannot come from a file of"},
        {"tiff/truncated.tif.bad", 'T', "TIFF image is not valid: "},
        {"tiff/lying-header.tif.bad", 'T', "TIFF image is not valid: "},
        {"heif/truncated.heic.bad", 'H', "HEIF image is not valid: "},
        {"heif/lying-header.heic.bad", 'H', "HEIF image is not valid: "},
        {"avif/truncated.avif.bad", 'A', "AVIF image is not valid: "},
        {"avif/lying-header.avif.bad", 'A', "AVIF image is not valid: "},
    };
    for (const auto& d : damaged) {
        const std::string outcome = Outcome(d.kind, ReadWholeFile(Data(d.file)));
        EXPECT_EQ(outcome.rfind(d.prefix, 0), 0u) << d.file << ": " << outcome;
    }
    // A chunk that claims 1 GB in a file of 779 bytes (found by fuzzing:
    // libpng allocated it before reading): refused by its length.
    EXPECT_EQ(Outcome('P', ReadWholeFile(Data("fuzz-regressions/png/libpng-chunk-alloc-1gb.png"))),
              "PNG image is not valid: the sCAL chunk runs past the end of the file");
    // A grid of one 64 x 64 tile whose output size was fuzzed to 10240 x
    // 31232: libheif would fill that 1.3 GB canvas before its tile.
    EXPECT_EQ(Outcome('H', ReadWholeFile(Data("fuzz-regressions/heif/grid-canvas-10240x31232-from-40x26.heif"))),
              "HEIF image is not valid: its tiles declare a canvas of 10240x31232 pixels, more than a file of 1094 bytes can hold");
    // The same, its iloc declaring an extent index no extent carries: read
    // as declared, the grid has no place; libheif reads it without.
    EXPECT_EQ(Outcome('H', ReadWholeFile(Data("fuzz-regressions/heif/grid-canvas-placed-by-an-iloc-index-it-does-not-have.heif"))),
              "HEIF image is not valid: its tiles declare a canvas of 10240x31232 pixels, more than a file of 1094 bytes can hold");
    // Nothing at all, and another format's bytes.
    EXPECT_EQ(Outcome('P', {}), "PNG image is not valid: the PNG signature is missing");
    EXPECT_EQ(Outcome('V', ReadWholeFile(Data("png/rgb8.png"))), "WebP image is not valid: the RIFF WEBP header is missing");
    EXPECT_EQ(Outcome('T', ReadWholeFile(Data("png/rgb8.png"))), "TIFF image is not valid: the TIFF header is missing");
    EXPECT_EQ(Outcome('H', ReadWholeFile(Data("png/rgb8.png"))), "HEIF image is not valid: the ftyp box is missing");
}

TEST(RasterKinds, CutAndFlippedCopiesLoadOrGiveTheMessage)
{
    std::mt19937 random(7);
    for (const Sample& s : kSamples) {
        const std::vector<uint8_t> bytes = ReadWholeFile(Data(s.file));
        const std::string prefix = KindOf(s.kind).StatisticLabel.substr(0, 3);
        auto check = [&](const std::vector<uint8_t>& d, const char* how) {
            const std::string r = Outcome(s.kind, d);
            EXPECT_TRUE(r == "loaded" || r.find(" image is not valid: ") != std::string::npos) << s.file << " " << how << ": " << r;
        };
        for (size_t cut : {size_t(8), size_t(40), bytes.size() / 2, bytes.size() - 1})
            check({bytes.begin(), bytes.begin() + std::min(cut, bytes.size())}, "cut");
        for (int i = 0; i < 8; ++i) {
            std::vector<uint8_t> d = bytes;
            for (int k = 0; k < 4; ++k)
                d[random() % d.size()] = uint8_t(random());
            check(d, "flipped");
        }
    }
}

TEST(RasterKinds, AnAnimatedWebpGivesItsFramesAndDelays)
{
    const std::vector<uint8_t> bytes = ReadWholeFile(Data("webp/animated.webp"));
    const TDecodedPicture first = Decode('V', bytes);
    EXPECT_TRUE(first.Frames.empty());
    const TDecodedPicture all = Decode('V', bytes, true);
    ASSERT_EQ(all.Frames.size(), 3u);
    EXPECT_EQ(all.Frames[0].DelayMs, 100);
    EXPECT_EQ(all.Frames[1].DelayMs, 250);
    EXPECT_EQ(all.Frames[2].DelayMs, 400);
    // The second frame is the first mirrored left to right.
    const TBitmap& a = all.Frames[0].Pixels;
    const TBitmap& b = all.Frames[1].Pixels;
    EXPECT_EQ(a.Pixel(0, 5), b.Pixel(63, 5));
    EXPECT_EQ(a.Pixel(20, 30), b.Pixel(43, 30));
    EXPECT_NE(a.Pixel(0, 5), a.Pixel(63, 5));
}

TEST(RasterKinds, KindsLettersExtensionsAndShownExtensions)
{
    EXPECT_EQ(KindLetterOfFile("a.png"), 'P');
    EXPECT_EQ(KindLetterOfFile("a.WEBP"), 'V'); // not W, the metafile's
    EXPECT_EQ(KindLetterOfFile("a.tif"), 'T');
    EXPECT_EQ(KindLetterOfFile("a.TIFF"), 'T');
    EXPECT_EQ(KindLetterOfFile("a.heic"), 'H');
    EXPECT_EQ(KindLetterOfFile("a.Heif"), 'H');
    EXPECT_EQ(KindLetterOfFile("a.avif"), 'A');
    EXPECT_EQ(KindLetterOfFile("a.wmf"), 'W');
    EXPECT_EQ(KindOfShownExtension(".webp"), 'V');
    EXPECT_EQ(KindOfShownExtension(".WEBP"), 'V');
    EXPECT_EQ(KindOfShownExtension(".wmf"), 'W');
    EXPECT_EQ(KindOfShownExtension(".jpg"), 'J');
    EXPECT_EQ(KindOfShownExtension(".xyz"), 'X');
    EXPECT_EQ(KindOf('V').ShownExtension, ".webp");
    EXPECT_EQ(KindOf('T').ShownExtension, ".tif");
    EXPECT_EQ(KindOf('H').ShownExtension, ".heic");
    for (const char* name : {"y.png", "y.webp", "y.tif", "y.tiff", "y.heic", "y.heif", "y.avif", "Y.PNG"})
        EXPECT_TRUE(IsAcceptedImageFile(name)) << name;
    EXPECT_FALSE(IsAcceptedImageFile("y.apng"));
}

TEST(RasterKinds, PicturesLoadByExtensionAndThumbnailAlike)
{
    RegisterCatalogueGraphics();
    for (const char* file : {"png/rgba8.png", "webp/lossy.webp", "tiff/rgb-lzw.tif", "heif/photo.heic", "avif/photo.avif"}) {
        SCOPED_TRACE(file);
        TPicture picture;
        picture.LoadFromFile(Data(file));
        ASSERT_EQ(picture.Width(), 64);
        ASSERT_EQ(picture.Height(), 42);
        // The preview and Export load by the file's extension, the list by
        // the stored kind letter: both see the same picture.
        const ImageKind kind = KindLetterOfFile(file);
        TFileStream stream(Data(file), FileMode::OpenRead);
        const TBitmap fromBytes = MakeThumbnail(stream, kind, 32, 32);
        TBitmap natural;
        picture.Graphic()->AssignTo(natural);
        TBitmap fromPicture(32, 32);
        StretchToFit(natural, fromPicture);
        EXPECT_EQ(fromBytes.ToQImage(), fromPicture.ToQImage());
    }
}

TEST(RasterKinds, ExportAsGifKeepsTheTransparency)
{
    TFileStream png(Data("png/rgba8.png"), FileMode::OpenRead);
    TMemoryStream gif;
    MakeGifOfPicture(png, "png", gif);
    gif.SetPosition(0);
    TMyGIFImage image;
    image.LoadFromStream(gif);
    ASSERT_EQ(image.Frames().Count(), 1);
    TGIFSubImage& frame = *image.Frame(0);
    ASSERT_NE(frame.ControlExtension(), nullptr);
    ASSERT_TRUE(frame.ControlExtension()->Transparent());
    const int clear = frame.ControlExtension()->TransparentIndex();
    const uint8_t* pixels = frame.Pixels();
    // Opaque at the top, clear at the bottom; the ramp crosses half way.
    EXPECT_NE(pixels[10], clear);
    EXPECT_EQ(pixels[41 * 64 + 10], clear);
    // An opaque picture gets no transparent colour.
    TFileStream opaque(Data("png/rgb8.png"), FileMode::OpenRead);
    MakeGifOfPicture(opaque, "png", gif);
    gif.SetPosition(0);
    image.LoadFromStream(gif);
    const TGIFGraphicControlExtension* control = image.Frame(0)->ControlExtension();
    EXPECT_TRUE(control == nullptr || !control->Transparent());
}

TEST(RasterKinds, TheRawExifBlockIsFoundWhereEachFormatKeepsIt)
{
    auto exif = [](ImageKind kind, const std::string& rel) {
        const std::vector<uint8_t> bytes = ReadWholeFile(Data(rel));
        return FindExifBlock(kind, bytes.data(), bytes.size());
    };
    EXPECT_TRUE(exif('P', "png/rgb8.png").empty());
    const std::vector<uint8_t> png = exif('P', "png/exif.png");
    ASSERT_GE(png.size(), 8u);
    EXPECT_TRUE(png[0] == 'M' || png[0] == 'I');
    const std::vector<uint8_t> webp = exif('V', "webp/exif.webp");
    ASSERT_GE(webp.size(), 8u);
    EXPECT_TRUE(webp[0] == 'M' || webp[0] == 'I');
    const std::vector<uint8_t> tiff = exif('T', "tiff/rgb-lzw.tif");
    EXPECT_EQ(tiff, ReadWholeFile(Data("tiff/rgb-lzw.tif")));
    const std::vector<uint8_t> heif = exif('H', "heif/exif.heic");
    ASSERT_GE(heif.size(), 8u);
    EXPECT_TRUE(heif[0] == 'M' || heif[0] == 'I');
    EXPECT_TRUE(exif('H', "heif/photo.heic").empty());
    // Kinds without a finder, and damaged bytes, give nothing.
    EXPECT_TRUE(exif('B', "png/exif.png").empty());
    EXPECT_TRUE(exif('V', "webp/truncated.webp.bad").empty());
}

TEST(RasterKinds, AnAnimatedWebpPlaysAsAGifOfItsFrames)
{
    const std::unique_ptr<TMyGIFImage> gif = LoadAnimationAsGif(Data("webp/animated.webp"), 'V');
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->Width(), 64);
    EXPECT_EQ(gif->Height(), 42);
    ASSERT_EQ(gif->Frames().Count(), 3);
    const uint16_t delays[] = {10, 25, 40}; // hundredths, from 100, 250 and 400 ms
    for (int i = 0; i < 3; ++i) {
        const TGIFGraphicControlExtension* control = gif->Frame(i)->ControlExtension();
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->DelayTime(), delays[i]);
        EXPECT_EQ(control->DisposalMethod(), 2);
        EXPECT_EQ(gif->Frame(i)->Width(), 64);
    }
    // A still picture, and a kind without animations, play nothing.
    EXPECT_FALSE(LoadAnimationAsGif(Data("webp/lossy.webp"), 'V'));
    EXPECT_FALSE(LoadAnimationAsGif(Data("png/rgb8.png"), 'P'));
    EXPECT_THROW(LoadAnimationAsGif(Data("webp/lying-header.webp.bad"), 'V'), Exception);
}

TEST(RasterKinds, SizesAreBoundByWhatTheFileCanHold)
{
    // Up to 16 Mpixel any file may claim its size.
    EXPECT_TRUE(PictureSizeAllowed(4096, 4096, 10));
    EXPECT_FALSE(PictureSizeAllowed(4097, 4096, 10));
    // Beyond, a byte of file for every 1024 pixels.
    EXPECT_TRUE(PictureSizeAllowed(8192, 8192, 65536));
    EXPECT_FALSE(PictureSizeAllowed(8192, 8192, 65535));
    // And never more than one bitmap can hold, whatever the file's size.
    EXPECT_TRUE(PictureSizeAllowed(16384, 16384, size_t(1) << 30));
    EXPECT_FALSE(PictureSizeAllowed(16385, 16384, size_t(1) << 30));
    EXPECT_FALSE(PictureSizeAllowed(60000, 60000, size_t(1) << 40));
    EXPECT_FALSE(PictureSizeAllowed(0, 10, 100));
    EXPECT_FALSE(PictureSizeAllowed(int64_t(1) << 40, 1, size_t(1) << 40));
    try {
        CheckPictureSize("TIFF", 60000, 60000, 8296);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "TIFF image is not valid: 60000x60000 pixels cannot come from a file of 8296 bytes");
    }
}

TEST(RasterKinds, PicturesStoredTurnedComeUprightByTheirOrientation)
{
    RegisterCatalogueGraphics();
    // Each file holds its source's pixels turned or mirrored, with the tag
    // that undoes it: upright, they are the source exactly.
    struct Turned {
        const char* file;
        ImageKind kind;
        const char* upright;
    };
    for (const Turned& t : {Turned{"png/turned-o6.png", 'P', "png/rgb8.png"},
                            Turned{"png/mirrored-o2.png", 'P', "png/rgb8.png"},
                            Turned{"tiff/turned-o3.tif", 'T', "tiff/rgb-none.tif"},
                            Turned{"webp/turned-o8.webp", 'V', "webp/lossless.webp"}}) {
        SCOPED_TRACE(t.file);
        const TDecodedPicture turned = Decode(t.kind, ReadWholeFile(Data(t.file)));
        const TDecodedPicture upright = Decode(t.kind, ReadWholeFile(Data(t.upright)));
        ASSERT_EQ(turned.Pixels.Width(), upright.Pixels.Width());
        ASSERT_EQ(turned.Pixels.Height(), upright.Pixels.Height());
        ASSERT_EQ(turned.Pixels.PixelFormat(), upright.Pixels.PixelFormat());
        const size_t rowBytes = size_t(upright.Pixels.Width()) * (upright.Pixels.PixelFormat() == TPixelFormat::pf32bit ? 4 : 3);
        for (int y = 0; y < upright.Pixels.Height(); ++y)
            ASSERT_EQ(std::memcmp(turned.Pixels.ScanLine(y), upright.Pixels.ScanLine(y), rowBytes), 0) << "row " << y;
        // The size a record keeps is the upright one.
        TPicture picture;
        picture.LoadFromFile(Data(t.file));
        EXPECT_EQ(picture.Width(), upright.Pixels.Width());
        EXPECT_EQ(picture.Height(), upright.Pixels.Height());
    }
}
