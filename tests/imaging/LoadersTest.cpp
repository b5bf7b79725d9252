#include "imaging/ImageKinds.h"
#include "imaging/Loaders.h"
#include "imaging/LoadersJpeg.h"
#include "imaging/LoadersMetafile.h"
#include "platform/Exception.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <jerror.h>

#include <filesystem>
#include <random>

namespace {

std::string Data(const std::string& rel) { return std::string(GMB_TEST_DATA) + "/" + rel; }

TBitmap Load(TImageLoader loader, const std::string& rel)
{
    TFileStream s(Data(rel), FileMode::OpenRead);
    TBitmap b;
    loader(s, b);
    return b;
}

// "loaded" or the message the loader raised.
std::string Outcome(TImageLoader loader, std::vector<uint8_t> bytes)
{
    TMemoryStream s(std::move(bytes));
    TBitmap b;
    try {
        loader(s, b);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "loaded";
}

std::vector<std::string> FilesIn(const std::string& rel, const std::string& ext)
{
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(Data(rel)))
        if (e.path().extension() == ext)
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Truncated and byte-flipped copies of a good file: each must load or give
// exactly the kind's message.
void ExpectSurvivesDamage(TImageLoader loader, const std::string& path, const std::string& message, int flips)
{
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    std::mt19937 random(42);
    for (size_t cut : {size_t(1), size_t(10), size_t(50), bytes.size() / 3, bytes.size() - 1}) {
        const std::string r = Outcome(loader, {bytes.begin(), bytes.begin() + std::min(cut, bytes.size())});
        EXPECT_TRUE(r == "loaded" || r == message) << path << " cut " << cut << ": " << r;
    }
    for (int i = 0; i < flips; ++i) {
        std::vector<uint8_t> d = bytes;
        for (int k = 0; k < 4; ++k)
            d[random() % d.size()] = uint8_t(random());
        const std::string r = Outcome(loader, d);
        EXPECT_TRUE(r == "loaded" || r == message) << path << " flip " << i << ": " << r;
    }
}

bool IsJpegError(const std::string& s) { return s.rfind("JPEG error #", 0) == 0; }

} // namespace

TEST(BitmapLoader, LoadsStraightFromTheStream)
{
    const TBitmap b = Load(KindOf('B').Loader, "bmp/g/pal8.bmp");
    EXPECT_EQ(b.Width(), 127);
    EXPECT_EQ(b.Height(), 64);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf8bit); // copied as decoded
    EXPECT_EQ(Outcome(KindOf('Z').Loader, {'B', 'M', 1, 2}), "Bitmap image is not valid");
}

TEST(IconLoader, LargestImageOnWhiteAtItsNaturalSize)
{
    const TBitmap idle = Load(LoadIconFromStream, "ico/idle.ico");
    EXPECT_EQ(idle.Width(), 256);
    EXPECT_EQ(idle.Height(), 256);
    EXPECT_EQ(idle.Pixel(0, 0), clWhite); // transparent corner
    TBitmap fromFile;
    LoadIconFromFile(Data("ico/sysinfo.ico"), fromFile); // 4-bit icon
    EXPECT_EQ(fromFile.Width(), 32);
    EXPECT_EQ(fromFile.Height(), 32);
    int coloured = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            coloured += fromFile.Pixel(x, y) != clWhite;
    EXPECT_GT(coloured, 100);
    for (const auto& f : FilesIn("ico", ".ico"))
        ExpectSurvivesDamage(LoadIconFromStream, f, "Icon image is not valid", 40);
    EXPECT_EQ(Outcome(LoadIconFromStream, {}), "Icon image is not valid");
}

TEST(JpegLoader, DecodesEveryCodingAtFullSize)
{
    const TBitmap base = Load(LoadJpegFromStream, "jpeg/testorig.jpg");
    EXPECT_EQ(base.Width(), 227);
    EXPECT_EQ(base.Height(), 149);
    EXPECT_EQ(base.PixelFormat(), TPixelFormat::pf24bit);
    auto near = [](TColor a, TColor b) {
        return std::abs(RedOf(a) - RedOf(b)) <= 6 && std::abs(GreenOf(a) - GreenOf(b)) <= 6 && std::abs(BlueOf(a) - BlueOf(b)) <= 6;
    };
    EXPECT_TRUE(near(base.Pixel(0, 0), RGBColor(48, 47, 45))) << std::hex << base.Pixel(0, 0);
    EXPECT_TRUE(near(base.Pixel(100, 75), RGBColor(223, 70, 72))) << std::hex << base.Pixel(100, 75);
    for (const char* f : {"jpeg/testimgint.jpg", "jpeg/testimgari.jpg", "jpeg/cmyk.jpg"}) {
        const TBitmap b = Load(LoadJpegFromStream, f);
        EXPECT_EQ(b.Width(), 227) << f;
        EXPECT_EQ(b.Height(), 149) << f;
        EXPECT_TRUE(near(b.Pixel(100, 75), base.Pixel(100, 75)) || std::string(f) == "jpeg/cmyk.jpg") << f;
    }
    // CMYK with the Adobe marker: inverted inks, so a red stays red.
    const TBitmap cmyk = Load(LoadJpegFromStream, "jpeg/cmyk.jpg");
    EXPECT_GT(RedOf(cmyk.Pixel(100, 75)), 180);
    EXPECT_LT(GreenOf(cmyk.Pixel(100, 75)), 110);
    const TBitmap gray = Load(LoadJpegFromStream, "jpeg/gray.jpg");
    const TColor g = gray.Pixel(100, 75);
    EXPECT_EQ(RedOf(g), GreenOf(g));
    EXPECT_EQ(GreenOf(g), BlueOf(g));
}

TEST(JpegLoader, ErrorsCarryLibjpegsMessageCode)
{
    EXPECT_EQ(Outcome(LoadJpegFromStream, ReadWholeFile(Data("jpeg/monkey12.jpg"))),
              "JPEG error #" + std::to_string(JERR_BAD_PRECISION));
    EXPECT_EQ(Outcome(LoadJpegFromStream, {'n', 'o', 't', ' ', 'j', 'p', 'g'}), "JPEG error #" + std::to_string(JERR_NO_SOI));
    EXPECT_EQ(Outcome(LoadJpegFromStream, {}), "JPEG error #" + std::to_string(JERR_INPUT_EMPTY));
    // A header that claims 60000 x 60000 in a few bytes is refused before
    // memory is taken.
    std::vector<uint8_t> big = ReadWholeFile(Data("jpeg/testorig.jpg"));
    for (size_t i = 0; i + 9 < big.size(); ++i)
        if (big[i] == 0xFF && big[i + 1] == 0xC0) {
            big[i + 5] = 0xEA; big[i + 6] = 0x60; // height
            big[i + 7] = 0xEA; big[i + 8] = 0x60; // width
            break;
        }
    EXPECT_EQ(Outcome(LoadJpegFromStream, big), "JPEG error #" + std::to_string(JERR_IMAGE_TOO_BIG));
    for (const char* f : {"jpeg/testorig.jpg", "jpeg/testimgint.jpg", "jpeg/testimgari.jpg", "jpeg/cmyk.jpg"}) {
        const std::vector<uint8_t> bytes = ReadWholeFile(Data(f));
        std::mt19937 random(7);
        for (size_t cut : {size_t(2), size_t(200), bytes.size() / 2}) {
            const std::string r = Outcome(LoadJpegFromStream, {bytes.begin(), bytes.begin() + cut});
            EXPECT_TRUE(r == "loaded" || IsJpegError(r)) << f << r;
        }
        for (int i = 0; i < 40; ++i) {
            std::vector<uint8_t> d = bytes;
            d[random() % d.size()] ^= uint8_t(1 + random() % 255);
            const std::string r = Outcome(LoadJpegFromStream, d);
            EXPECT_TRUE(r == "loaded" || IsJpegError(r)) << f << r;
        }
    }
}

TEST(MetafileLoader, PlaysOnWhiteAtTheHeaderSize)
{
    // EMF: the frame at 96 per inch.
    const TBitmap emf = Load(LoadMetafileFromStream, "emf/test-008.emf");
    EXPECT_EQ(emf.Width(), 55);
    EXPECT_EQ(emf.Height(), 54);
    // WMF: the placeable header's box (1905 x 692 units at 575 per inch).
    const TBitmap van = Load(LoadMetafileFromStream, "wmf/2doorvan.wmf");
    EXPECT_EQ(van.Width(), 318);
    EXPECT_EQ(van.Height(), 116);
    EXPECT_EQ(van.Pixel(0, 0), clWhite);
    int red = 0;
    for (int y = 0; y < van.Height(); ++y)
        for (int x = 0; x < van.Width(); ++x) {
            const TColor c = van.Pixel(x, y);
            red += RedOf(c) > 150 && GreenOf(c) < 80 && BlueOf(c) < 80;
        }
    EXPECT_GT(red, 3000); // the van is red
    // No placeable header: the window extent.
    const TBitmap text = Load(LoadMetafileFromStream, "wmf/text.wmf");
    EXPECT_GT(text.Width(), 0);
    EXPECT_GT(text.Height(), 0);
    // A frame of 12047 x 15591 pixels is drawn at most 4096 on its longer side.
    const TBitmap huge = Load(LoadMetafileFromStream, "emf/test-158.emf");
    EXPECT_EQ(huge.Height(), MaxMetafileSide);
    EXPECT_EQ(huge.Width(), 3165);

    TMetafile m;
    m.LoadFromFile(Data("emf/test-158.emf"));
    EXPECT_EQ(m.Width(), 12047); // the picture keeps its natural size
    EXPECT_TRUE(m.Enhanced());
}

TEST(MetafileLoader, EverySampleLoadsOrGivesTheMessage)
{
    int loaded = 0;
    for (const char* dir : {"emf", "wmf"})
        for (const auto& f : FilesIn(dir, std::string(".") + dir)) {
            const std::string r = Outcome(LoadMetafileFromStream, ReadWholeFile(f));
            EXPECT_TRUE(r == "loaded" || r == "Metafile is not valid") << f << r;
            loaded += r == "loaded";
        }
    EXPECT_GE(loaded, 30);
    for (const auto& f : FilesIn("emf-corrupted", ".emf")) {
        const std::string r = Outcome(LoadMetafileFromStream, ReadWholeFile(f));
        EXPECT_TRUE(r == "loaded" || r == "Metafile is not valid") << f << r;
    }
    EXPECT_EQ(Outcome(LoadMetafileFromStream, {}), "Metafile is not valid");
    EXPECT_EQ(Outcome(LoadMetafileFromStream, {1, 0, 0, 0}), "Metafile is not valid");
}

TEST(MetafileLoader, DamagedCopiesLoadOrGiveTheMessage)
{
    for (const char* f : {"wmf/2doorvan.wmf", "wmf/text.wmf", "wmf/fulltest.wmf", "wmf/formula1.wmf", "wmf/p0000001.wmf"})
        ExpectSurvivesDamage(LoadMetafileFromStream, Data(f), "Metafile is not valid", 12);
    for (const char* f : {"emf/test-008.emf", "emf/test-092.emf", "emf/test-153.emf", "emf/test-186.emf"})
        ExpectSurvivesDamage(LoadMetafileFromStream, Data(f), "Metafile is not valid", 12);
}

TEST(Pictures, TheCatalogueRegistersItsClasses)
{
    RegisterCatalogueGraphics();
    TPicture p;
    p.LoadFromFile(Data("jpeg/testimgari.jpg"));
    EXPECT_EQ(p.Width(), 227);
    p.LoadFromFile(Data("wmf/ant.wmf"));
    EXPECT_EQ(p.Width(), 211);
    p.LoadFromFile(Data("emf/test-012.emf"));
    EXPECT_EQ(p.Height(), 54);
    TBitmap drawn;
    p.Graphic()->AssignTo(drawn);
    EXPECT_EQ(drawn.Width(), 55);
}
