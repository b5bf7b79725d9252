// Every suite file, and deterministic truncations and byte flips of them,
// ends in an image or in one of the codec's messages: never another
// exception, and never memory beyond what the stream can account for.
#include "GifTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using namespace giftest;

namespace {

const std::set<std::string>& CodecMessages()
{
    static const std::set<std::string> m = {
        "Premature end of data", "Invalid GIF signature", "Unknown extension type",
        "Internal error: Extension Instance does not match Extension Label",
        "Unsupported Application Extension block size", "Invalid GIF data", "Circular decoder table entry",
        "Invalid extension introducer",
    };
    return m;
}

std::vector<std::string> SuiteGifs()
{
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(std::string(GMB_TEST_DATA) + "/gif-suite"))
        if (e.path().extension() == ".gif")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Loads and checks the outcome; answers whether the load succeeded.
bool LoadSurvives(const Bytes& bytes, const std::string& what)
{
    TMyGIFImage image;
    size_t warnings = 0;
    image.OnGIFWarning = [&](TGIFObject&, int, const std::string&) { ++warnings; };
    TMemoryStream s(bytes);
    bool ok = false;
    try {
        image.LoadFromStream(s);
        ok = true;
    } catch (const GIFException& e) {
        EXPECT_TRUE(CodecMessages().count(e.Message())) << what << ": " << e.Message();
        EXPECT_EQ(s.Position(), 0) << what;
    } catch (const std::exception& e) {
        ADD_FAILURE() << what << ": foreign exception " << e.what();
    }
    // A byte of LZW data yields at most a few thousand pixels; storage runs
    // at most a growth step and an interlace stride ahead of them.
    int64_t stored = 0;
    for (int i = 0; i < image.FrameCount(); ++i) {
        TGIFSubImage& f = *image.Frame(i);
        stored += f.StoredPixelCount();
        EXPECT_LE(f.StoredPixelCount(), f.PixelCount()) << what;
        if (f.HasPixels() && f.Width() > 0 && f.Height() > 0)
            (void)f.PixelAt(f.Width() - 1, f.Height() - 1);
    }
    EXPECT_LE(stored, static_cast<int64_t>(bytes.size()) * 8 * 8192 * 2 + 64 * image.FrameCount()) << what;
    return ok;
}

} // namespace

TEST(GifRobustness, SuiteFilesTruncatedAndFlipped)
{
    const auto files = SuiteGifs();
    ASSERT_GT(files.size(), 80u);
    uint32_t rng = 12345;
    auto next = [&] {
        rng = rng * 1103515245u + 12345u;
        return rng >> 8;
    };
    int loads = 0;
    for (const auto& path : files) {
        const Bytes original = ReadFile(path);
        const std::string name = std::filesystem::path(path).filename().string();
        LoadSurvives(original, name);
        // Every length for the first 64 bytes (header, tables, first
        // blocks), then 32 more spread over the rest.
        std::set<size_t> cuts;
        for (size_t n = 0; n < std::min<size_t>(original.size(), 64); ++n)
            cuts.insert(n);
        for (int i = 1; i < 32; ++i)
            cuts.insert(original.size() * static_cast<size_t>(i) / 32);
        for (size_t n : cuts) {
            LoadSurvives(Bytes(original.begin(), original.begin() + static_cast<long>(n)),
                         name + " cut at " + std::to_string(n));
            ++loads;
        }
        // Byte flips: extremes and bit flips at spread positions.
        for (int i = 0; i < 48 && !original.empty(); ++i) {
            Bytes bent = original;
            const size_t at = next() % bent.size();
            const uint8_t values[] = {0x00, 0xFF, static_cast<uint8_t>(bent[at] ^ (1u << (next() % 8))),
                                      static_cast<uint8_t>(next())};
            bent[at] = values[i % 4];
            LoadSurvives(bent, name + " byte " + std::to_string(at) + "=" + std::to_string(bent[at]));
            ++loads;
        }
    }
    EXPECT_GT(loads, 5000);
}

TEST(GifRobustness, HostileSizesAndLoops)
{
    // Screen and frame claiming 65535 x 65535 with data for three pixels.
    Bytes gif = OneFrame(65535, 65535, ImageData(2, LiteralCodes({1, 2, 3}, 2)));
    EXPECT_TRUE(LoadSurvives(gif, "huge frame"));
    // Many such frames in a row cost little each.
    Bytes many = Header(65535, 65535, 0x81);
    for (int i = 0; i < 2000; ++i) {
        Append(many, Descriptor(0, 0, 65535, 65535, i % 2 ? 0x40 : 0));
        Append(many, ImageData(2, LiteralCodes({1}, 2)));
    }
    EXPECT_TRUE(LoadSurvives(many, "many huge frames"));
    // A loop extension of zero-size sub-blocks that ends with the stream.
    Bytes loop = Header(1, 1, 0x81);
    Append(loop, {0x21, 0xFF, 11});
    AppendText(loop, "NETSCAPE2.0");
    for (int i = 0; i < 100; ++i)
        Append(loop, {1, 7});
    EXPECT_FALSE(LoadSurvives(loop, "endless loop sub-blocks"));
    // An unknown application extension whose sub-blocks look like
    // identifiers again and again: its identifier block decides once, the
    // look-alikes stay its data, and the frame after it loads.
    Bytes ext = {0x21, 0xFF, 10};
    AppendText(ext, "ABCDEFGHIJ");
    for (int i = 0; i < 200; ++i) {
        ext.push_back(11);
        AppendText(ext, i % 2 ? "NETSCAPE2.0" : "XXXXXXXXXXX");
    }
    ext.push_back(0);
    const Bytes app = OneFrame(1, 1, ImageData(2, LiteralCodes({1}, 2)), ext);
    EXPECT_TRUE(LoadSurvives(app, "refinement chain"));
    TMyGIFImage image;
    TMemoryStream s(app);
    image.LoadFromStream(s);
    ASSERT_EQ(image.FrameCount(), 1);
    TGIFExtensionList& extensions = image.Frame(0)->FrameExtensions();
    ASSERT_EQ(extensions.Count(), 1);
    const auto* unknown = dynamic_cast<const TGIFUnknownAppExtension*>(extensions.Extensions(0));
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(unknown->RawBlocks.size(), 200u);
    EXPECT_EQ(unknown->IdentifierText().substr(0, 10), "ABCDEFGHIJ");
}
