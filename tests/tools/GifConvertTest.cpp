// gifconvert run as a user runs it, its output read back by giflib.
#include "platform/Icon.h"
#include "platform/Stream.h"

#include <gif_lib.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kData = GMB_TEST_DATA;
const std::string kIco = kData + "/ico/idle.ico";
const std::string kJpeg = kData + "/jpeg/testorig.jpg";
const std::string kBmp = kData + "/bmp/g/pal8.bmp";
const std::string kEmf = kData + "/emf/test-008.emf";
const std::string kAnimation = kData + "/gif-suite/animation.gif";

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

ToolRun Convert(const std::vector<std::string>& args)
{
    QProcess p;
    QStringList list;
    for (const auto& a : args)
        list << QString::fromStdString(a);
    p.start(QStringLiteral(GMB_GIFCONVERT), list);
    EXPECT_TRUE(p.waitForFinished(120000));
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString(),
            p.readAllStandardError().toStdString()};
}

struct GifCloser {
    void operator()(GifFileType* g) const
    {
        int err = 0;
        DGifCloseFile(g, &err);
    }
};
using Gif = std::unique_ptr<GifFileType, GifCloser>;

// The whole file through giflib; null when giflib refuses it.
Gif Slurp(const std::string& path)
{
    int err = 0;
    Gif gif(DGifOpenFileName(path.c_str(), &err));
    if (!gif || DGifSlurp(gif.get()) != GIF_OK)
        return nullptr;
    return gif;
}

GraphicsControlBlock Control(GifFileType* gif, int frame)
{
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    EXPECT_EQ(DGifSavedExtensionToGCB(gif, frame, &gcb), GIF_OK);
    return gcb;
}

// The NETSCAPE2.0 loop count before the first image; -1 without one.
int LoopCount(GifFileType* gif)
{
    const SavedImage& first = gif->SavedImages[0];
    for (int i = 0; i + 1 < first.ExtensionBlockCount; ++i) {
        const ExtensionBlock& b = first.ExtensionBlocks[i];
        const ExtensionBlock& data = first.ExtensionBlocks[i + 1];
        if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 &&
            std::string(reinterpret_cast<const char*>(b.Bytes), 11) == "NETSCAPE2.0" && data.ByteCount >= 3)
            return data.Bytes[1] | (data.Bytes[2] << 8);
    }
    return -1;
}

const ColorMapObject* ColoursOf(GifFileType* gif, int frame)
{
    const ColorMapObject* local = gif->SavedImages[frame].ImageDesc.ColorMap;
    return local ? local : gif->SColorMap;
}

std::set<int> UsedIndices(GifFileType* gif, int frame)
{
    const SavedImage& s = gif->SavedImages[frame];
    return std::set<int>(s.RasterBits, s.RasterBits + size_t(s.ImageDesc.Width) * size_t(s.ImageDesc.Height));
}

class GifConvert : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string Out(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
};

bool OneLine(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

} // namespace

TEST_F(GifConvert, AnIconKeepsItsTransparency)
{
    const std::string out = Out("idle.gif");
    const ToolRun run = Convert({kIco, out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    Gif gif = Slurp(out);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->ImageCount, 1);
    EXPECT_EQ(LoopCount(gif.get()), -1); // one picture: no animation
    TIcon icon;
    icon.LoadFromFile(kIco);
    ASSERT_EQ(gif->SWidth, icon.Width());
    ASSERT_EQ(gif->SHeight, icon.Height());
    const int transparent = Control(gif.get(), 0).TransparentColor;
    ASSERT_NE(transparent, NO_TRANSPARENT_COLOR);
    const GifByteType* pixels = gif->SavedImages[0].RasterBits;
    int clear = 0;
    for (int y = 0; y < icon.Height(); ++y)
        for (int x = 0; x < icon.Width(); ++x) {
            const bool seeThrough = qAlpha(icon.Image().pixel(x, y)) < 128;
            clear += seeThrough;
            ASSERT_EQ(pixels[y * icon.Width() + x] == transparent, seeThrough) << x << "," << y;
        }
    EXPECT_GT(clear, 0);
}

TEST_F(GifConvert, TheNewerKindsConvertAndKeepTheirAlpha)
{
    // Each kind's oracle pixels say where the source is clear.
    const struct {
        const char* file;
        const char* oracle;
    } inputs[] = {
        {"/png/rgba8.png", "/png/rgba8.rgba"},       {"/webp/lossless-alpha.webp", "/webp/lossless-alpha.rgba"},
        {"/tiff/rgba-zip.tif", "/tiff/rgba-zip.rgba"}, {"/avif/alpha.avif", "/avif/alpha.rgba"},
        {"/heif/alpha.heic", "/heif/alpha.rgba"},     {"/heif/small.heif", "/heif/small.rgba"},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.file);
        const std::string out = Out("converted.gif");
        const ToolRun run = Convert({kData + input.file, out});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        Gif gif = Slurp(out);
        ASSERT_TRUE(gif);
        const std::vector<uint8_t> rgba = ReadWholeFile(kData + input.oracle);
        ASSERT_EQ(rgba.size(), size_t(gif->SWidth) * gif->SHeight * 4);
        // An opaque picture may have no control extension at all.
        GraphicsControlBlock control{};
        control.TransparentColor = NO_TRANSPARENT_COLOR;
        DGifSavedExtensionToGCB(gif.get(), 0, &control);
        const int transparent = control.TransparentColor;
        const GifByteType* pixels = gif->SavedImages[0].RasterBits;
        int clear = 0;
        for (int i = 0; i < gif->SWidth * gif->SHeight; ++i) {
            const bool seeThrough = rgba[size_t(i) * 4 + 3] < 128;
            clear += seeThrough;
            ASSERT_EQ(transparent != NO_TRANSPARENT_COLOR && pixels[i] == transparent, seeThrough) << i;
        }
        EXPECT_EQ(clear > 0, std::string(input.file) != "/heif/small.heif");
    }
}

TEST_F(GifConvert, SeveralPicturesMakeAnAnimationWithTheirTiming)
{
    const std::string out = Out("anim.gif");
    const ToolRun run = Convert({"--delay", "25", "--loop=3", kJpeg, kBmp, kIco, kAnimation, kEmf, out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Gif gif = Slurp(out);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->ImageCount, 5);
    EXPECT_EQ(LoopCount(gif.get()), 3);
    for (int i = 0; i < gif->ImageCount; ++i) {
        SCOPED_TRACE(i);
        const GraphicsControlBlock gcb = Control(gif.get(), i);
        EXPECT_EQ(gcb.DelayTime, 25);
        EXPECT_EQ(gcb.DisposalMode, DISPOSE_BACKGROUND);
        EXPECT_NE(ColoursOf(gif.get(), i), nullptr);
    }
    // The screen holds the largest picture.
    int widest = 0;
    for (int i = 0; i < gif->ImageCount; ++i)
        widest = std::max(widest, gif->SavedImages[i].ImageDesc.Width);
    EXPECT_EQ(gif->SWidth, widest);
    // A GIF input gives its first frame with its own colours.
    Gif source = Slurp(kAnimation);
    ASSERT_TRUE(source);
    const SavedImage& copied = gif->SavedImages[3];
    const SavedImage& original = source->SavedImages[0];
    ASSERT_EQ(copied.ImageDesc.Width, original.ImageDesc.Width);
    ASSERT_EQ(copied.ImageDesc.Height, original.ImageDesc.Height);
    const ColorMapObject* to = ColoursOf(gif.get(), 3);
    const ColorMapObject* from = ColoursOf(source.get(), 0);
    for (int p = 0; p < original.ImageDesc.Width * original.ImageDesc.Height; ++p) {
        const GifColorType a = to->Colors[copied.RasterBits[p]], b = from->Colors[original.RasterBits[p]];
        ASSERT_TRUE(a.Red == b.Red && a.Green == b.Green && a.Blue == b.Blue) << p;
    }

    // Without --delay and --loop, an animation still plays, for ever.
    const ToolRun plain = Convert({kBmp, kIco, Out("plain.gif")});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    Gif two = Slurp(Out("plain.gif"));
    ASSERT_TRUE(two);
    EXPECT_EQ(LoopCount(two.get()), 0);
    EXPECT_EQ(Control(two.get(), 1).DelayTime, 10);
}

TEST_F(GifConvert, ReductionAndDitherOptionsShapeThePalette)
{
    // Greys: every colour used is grey.
    ASSERT_EQ(Convert({"--reduction", "5", "--dither", "1", kJpeg, Out("grey.gif")}).exitCode, 0);
    Gif grey = Slurp(Out("grey.gif"));
    ASSERT_TRUE(grey);
    for (int index : UsedIndices(grey.get(), 0)) {
        const GifColorType c = ColoursOf(grey.get(), 0)->Colors[index];
        ASSERT_TRUE(c.Red == c.Green && c.Green == c.Blue) << index;
    }
    // An optimised palette of 2^4 colours.
    ASSERT_EQ(Convert({"--reduction", "7", "--bits", "4", kJpeg, Out("sixteen.gif")}).exitCode, 0);
    Gif sixteen = Slurp(Out("sixteen.gif"));
    ASSERT_TRUE(sixteen);
    EXPECT_LE(UsedIndices(sixteen.get(), 0).size(), 16u);
    EXPECT_GT(UsedIndices(sixteen.get(), 0).size(), 8u);
    // Black and white, Burkes dithering.
    ASSERT_EQ(Convert({"--reduction", "4", "--dither", "6", kJpeg, Out("mono.gif")}).exitCode, 0);
    Gif mono = Slurp(Out("mono.gif"));
    ASSERT_TRUE(mono);
    EXPECT_EQ(UsedIndices(mono.get(), 0).size(), 2u);
}

TEST_F(GifConvert, RunLengthCodesDecodeToTheSamePixels)
{
    ASSERT_EQ(Convert({kJpeg, Out("lzw.gif")}).exitCode, 0);
    ASSERT_EQ(Convert({"--rle", kJpeg, Out("rle.gif")}).exitCode, 0);
    Gif lzw = Slurp(Out("lzw.gif")), rle = Slurp(Out("rle.gif"));
    ASSERT_TRUE(lzw);
    ASSERT_TRUE(rle);
    const SavedImage &a = lzw->SavedImages[0], &b = rle->SavedImages[0];
    ASSERT_EQ(a.ImageDesc.Width * a.ImageDesc.Height, b.ImageDesc.Width * b.ImageDesc.Height);
    EXPECT_TRUE(std::equal(a.RasterBits, a.RasterBits + a.ImageDesc.Width * a.ImageDesc.Height, b.RasterBits));
    EXPECT_NE(ReadWholeFile(Out("lzw.gif")), ReadWholeFile(Out("rle.gif")));
}

TEST_F(GifConvert, UsageErrorsExitTwoWithOneLine)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {kJpeg}, {"--dither", "7", kJpeg, Out("x.gif")}, {"--bits", "0", kJpeg, Out("x.gif")},
          {"--reduction", "ten", kJpeg, Out("x.gif")}, {"--loop", "70000", kJpeg, Out("x.gif")}, {"--frobnicate", kJpeg, Out("x.gif")},
          {kJpeg, Out("x.gif"), "--delay"}}) {
        const ToolRun run = Convert(args);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_TRUE(OneLine(run.err)) << run.err;
        EXPECT_EQ(run.err.rfind("gifconvert: ", 0), 0u) << run.err;
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Out("x.gif"))));

    const ToolRun help = Convert({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: gifconvert", 0), 0u);
    EXPECT_TRUE(help.err.empty());
}

TEST_F(GifConvert, FailuresExitOneAndLeaveTheOutputAlone)
{
    const std::string out = Out("kept.gif");
    TMemoryStream(std::vector<uint8_t>{'o', 'l', 'd'}).SaveToFile(out);
    const std::string junk = Out("junk.bmp");
    TMemoryStream(std::vector<uint8_t>{'B', 'M', 1, 2}).SaveToFile(junk);
    const std::string unknown = Out("photo.xyz");
    TMemoryStream(ReadWholeFile(kJpeg)).SaveToFile(unknown);

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{{{Out("missing.jpg"), out}, "Cannot open file"},
                                           {{kBmp, junk, out}, "junk.bmp: "},
                                           {{unknown, out}, "Unknown picture file extension (.xyz)"},
                                           {{"--reduction", "0", kJpeg, out}, "Color table overflow"}}) {
        const ToolRun run = Convert(c.args);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_TRUE(OneLine(run.err)) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(ReadWholeFile(out), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
    // No leftovers of the safe write beside the output.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);

    const ToolRun unwritable = Convert({kBmp, Out("no/such/folder/x.gif")});
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_NE(unwritable.err.find("Cannot create file"), std::string::npos) << unwritable.err;
}
