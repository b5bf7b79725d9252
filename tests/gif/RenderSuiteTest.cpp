// The GIF suite rendered as the catalogue does it (the image bitmap: the
// first frame on the logical screen, opaque), against the suite's first
// frames; and every suite file, truncated and bent, renders or fails with a
// codec message.
#include "GifTestUtil.h"
#include "platform/GdiExtras.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

using namespace giftest;

namespace {

std::string ConfValue(const std::string& conf, const std::string& section, const std::string& key)
{
    std::ifstream in(SuitePath(conf));
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[')
            current = line.substr(1, line.find(']') - 1);
        else if (current == section && line.rfind(key + " = ", 0) == 0)
            return line.substr(key.size() + 3);
    }
    return "";
}

// Where the suite's first frame is not our first frame: several images
// without a delay between them make it, ours is the first image alone.
const std::map<std::string, std::string>& Disagreements()
{
    static const std::map<std::string, std::string> d = {
        {"images-combine", "four images"},
        {"images-overlap", "two overlapping images"},
        {"high-color", "four images"},
        {"dispose-restore-previous", "a background image and the first animated one"},
    };
    return d;
}

// The codec's messages that rendering may add to the reader's.
bool IsCodecMessage(const std::string& m)
{
    static const std::set<std::string> known = {
        "Premature end of data", "Invalid GIF signature", "Unknown extension type",
        "Internal error: Extension Instance does not match Extension Label",
        "Unsupported Application Extension block size", "Invalid GIF data", "Circular decoder table entry",
        "Invalid extension introducer", "No global or local color table defined",
        "Failed to allocate memory for GIF DIB",
    };
    return known.count(m) > 0;
}

// The logical screen as the file declares it, grown to its frames' extents
// (the reader widens the screen for a frame that does not fit).
struct TDeclaredScreen {
    int width = 0;
    int height = 0;
};

// The catalogue's road: load, copy the image bitmap. "" or the message.
std::string RenderBytes(const Bytes& bytes, TBitmap& out, TDeclaredScreen& screen)
{
    screen = {};
    if (bytes.size() >= 10) {
        screen.width = bytes[6] | bytes[7] << 8;
        screen.height = bytes[8] | bytes[9] << 8;
    }
    TMyGIFImage image;
    TMemoryStream s(bytes);
    try {
        image.LoadFromStream(s);
        for (int i = 0; i < image.FrameCount(); ++i) {
            const TGIFSubImage& f = *image.Frame(i);
            screen.width = std::max(screen.width, f.Left() + f.Width());
            screen.height = std::max(screen.height, f.Top() + f.Height());
        }
        image.AssignTo(out);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "";
}

} // namespace

class GifSuiteRender : public ::testing::TestWithParam<std::string> {};

TEST_P(GifSuiteRender, FirstFrameAsTheSuiteShowsIt)
{
    const std::string name = GetParam();
    const std::string conf = name + ".conf";
    TMyGIFImage image;
    if (LoadBytes(image, ReadFile(SuitePath(ConfValue(conf, "config", "input")))) != "")
        GTEST_SKIP() << "does not load; the reader's tests cover it";
    TBitmap bitmap;
    try {
        image.AssignTo(bitmap);
    } catch (const GIFException& e) {
        // Only an image without any colour table cannot be rendered.
        EXPECT_EQ(e.Message(), "No global or local color table defined") << name;
        EXPECT_EQ(image.GlobalColors().EntryCount(), 0) << name;
        EXPECT_EQ(image.Frame(0)->LocalColors().EntryCount(), 0) << name;
        return;
    }
    if (image.FrameCount() == 0) {
        EXPECT_TRUE(bitmap.Empty());
        return;
    }
    ASSERT_EQ(bitmap.Width(), image.Width()) << name;
    ASSERT_EQ(bitmap.Height(), image.Height()) << name;

    std::string frames = ConfValue(conf, "config", "frames");
    const std::string first = frames.substr(0, frames.find(','));
    const std::string pixels = ConfValue(conf, first, "pixels");
    if (pixels.empty())
        return;
    const Bytes rgba = ReadFile(SuitePath(pixels));
    ASSERT_EQ(rgba.size(), size_t(bitmap.Width()) * size_t(bitmap.Height()) * 4) << name;

    TGIFSubImage& f = *image.Frame(0);
    const bool fullScreen = f.Width() == image.Width() && f.Height() == image.Height();
    int compared = 0, mismatches = 0;
    for (int y = 0; y < bitmap.Height(); ++y) {
        for (int x = 0; x < bitmap.Width(); ++x) {
            const uint8_t* want = &rgba[(size_t(y) * size_t(bitmap.Width()) + size_t(x)) * 4];
            const bool inside = x >= f.Left() && x < f.Left() + f.Width() && y >= f.Top() && y < f.Top() + f.Height();
            const TColor got = bitmap.Pixel(x, y);
            if (!inside) {
                // Outside the first frame: the white of a new bitmap, where
                // the suite shows nothing.
                mismatches += !fullScreen && got != clWhite;
                mismatches += want[3] != 0;
                continue;
            }
            if (want[3] != 255)
                continue; // transparent there; ours shows the index's colour
            ++compared;
            mismatches += got != RGBColor(want[0], want[1], want[2]);
        }
    }
    if (Disagreements().count(name)) {
        EXPECT_GT(mismatches, 0) << name << ": " << Disagreements().at(name);
    } else {
        EXPECT_EQ(mismatches, 0) << name << " (" << compared << " pixels compared)";
    }
}

INSTANTIATE_TEST_SUITE_P(All, GifSuiteRender, ::testing::ValuesIn(SuiteTests()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return SuiteParamName(param.param); });

TEST(GifRenderRobustness, SuiteFilesTruncatedAndFlippedRenderOrFail)
{
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(std::string(GMB_TEST_DATA) + "/gif-suite"))
        if (e.path().extension() == ".gif")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    ASSERT_GT(files.size(), 80u);
    uint32_t rng = 987654321;
    auto next = [&] {
        rng = rng * 1103515245u + 12345u;
        return rng >> 8;
    };
    int rendered = 0, failed = 0;
    auto check = [&](const Bytes& bytes, const std::string& what) {
        TBitmap out;
        TDeclaredScreen screen;
        try {
            const std::string m = RenderBytes(bytes, out, screen);
            if (m.empty())
                ++rendered;
            else
                ++failed;
            EXPECT_TRUE(m.empty() || IsCodecMessage(m)) << what << ": " << m;
            // Nothing larger than the screen the file declares.
            EXPECT_LE(out.Width(), screen.width) << what;
            EXPECT_LE(out.Height(), screen.height) << what;
        } catch (const std::exception& e) {
            ADD_FAILURE() << what << ": foreign exception " << e.what();
        }
    };
    for (const auto& path : files) {
        const Bytes original = ReadFile(path);
        const std::string name = std::filesystem::path(path).filename().string();
        check(original, name);
        for (int i = 1; i < 16; ++i) {
            const size_t n = original.size() * size_t(i) / 16;
            check(Bytes(original.begin(), original.begin() + long(n)), name + " cut at " + std::to_string(n));
        }
        for (int i = 0; i < 24 && !original.empty(); ++i) {
            Bytes bent = original;
            const size_t at = next() % bent.size();
            const uint8_t values[] = {0x00, 0xFF, static_cast<uint8_t>(bent[at] ^ (1u << (next() % 8))),
                                      static_cast<uint8_t>(next())};
            bent[at] = values[i % 4];
            check(bent, name + " byte " + std::to_string(at) + "=" + std::to_string(bent[at]));
        }
    }
    EXPECT_GT(rendered, 1000);
    EXPECT_GT(failed, 0);
}
