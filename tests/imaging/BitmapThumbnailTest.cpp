// A bitmap's thumbnail sampled from the file row by row: the same pixels as
// the whole picture decoded and stretched, from a fraction of the bytes.
#include "ImagingTestSupport.h"
#include "imaging/Thumbnail.h"
#include "platform/BmpReader.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

// The way the list made a bitmap's thumbnail before: the whole picture
// decoded, then stretched.
std::optional<TBitmap> WholeReadThumbnail(const std::vector<uint8_t>& bytes, int w, int h, std::string& error)
{
    try {
        TMemoryStream s(bytes);
        TBitmap natural;
        natural.LoadFromStream(s);
        TBitmap thumb(w, h);
        StretchToFit(natural, thumb);
        return thumb;
    } catch (const Exception& e) {
        error = e.Message();
        return std::nullopt;
    }
}

void ExpectSamePixels(const TBitmap& a, const TBitmap& b)
{
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x)
            ASSERT_EQ(a.Pixel(x, y), b.Pixel(x, y)) << "at " << x << "," << y;
}

// Counts what is read through it.
class CountingStream : public TStream {
public:
    explicit CountingStream(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
    int64_t Read(void* buffer, int64_t count) override
    {
        const int64_t n = inner_.Read(buffer, count);
        read += n;
        return n;
    }
    int64_t Write(const void* buffer, int64_t count) override { return inner_.Write(buffer, count); }
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    void SetSize(int64_t newSize) override { inner_.SetSize(newSize); }
    int64_t read = 0;

private:
    TMemoryStream inner_;
};

// A w x h picture of the given depth with a pattern no two neighbouring
// pixels share, written by our own writer.
std::vector<uint8_t> PatternBmp(int w, int h, TPixelFormat format)
{
    TBitmap b(0, 0, format);
    if (format == TPixelFormat::pf8bit) {
        std::vector<TPaletteEntry> colours;
        for (int i = 0; i < 256; ++i)
            colours.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0});
        b.SetPalette(MakePalette(colours));
    }
    b.SetSize(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetRawPixel(x, y, format == TPixelFormat::pf8bit ? uint32_t((x * 3 + y * 5) & 0xFF)
                                                               : uint32_t((x * 2654435761u) ^ (y * 40503u)) & 0xFFFFFF);
    TMemoryStream out;
    b.SaveToStream(out);
    return out.TakeBytes();
}

} // namespace

TEST(BitmapThumbnail, EveryTestBitmapGivesTheWholeReadsPixelsOrItsMessage)
{
    int compared = 0, refused = 0;
    for (const char* folder : {"bmp/g", "bmp/q", "bmp/b"}) {
        for (const auto& entry : std::filesystem::directory_iterator(Data(folder))) {
            if (entry.path().extension() != ".bmp")
                continue;
            const std::vector<uint8_t> bytes = ReadWholeFile(entry.path().string());
            // Reduced and enlarged, square and wide: rows and columns sample differently.
            for (const auto& [w, h] : {std::pair{32, 32}, std::pair{96, 40}, std::pair{320, 200}, std::pair{8, 8}}) {
                SCOPED_TRACE(entry.path().string() + " at " + std::to_string(w) + "x" + std::to_string(h));
                std::string error;
                const std::optional<TBitmap> whole = WholeReadThumbnail(bytes, w, h, error);
                TMemoryStream s(bytes);
                if (!whole) {
                    try {
                        MakeThumbnail(s, 'B', w, h);
                        ADD_FAILURE() << "accepted what the whole read refuses: " << error;
                    } catch (const Exception& e) {
                        EXPECT_EQ(e.Message(), error);
                    }
                    ++refused;
                    continue;
                }
                ExpectSamePixels(MakeThumbnail(s, 'B', w, h), *whole);
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 200);
    EXPECT_GE(refused, 20); // the bad files of bmp/b
}

TEST(BitmapThumbnail, LargePicturesAreReadOnlyWhereTheThumbnailSamplesThem)
{
    for (const TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit, TPixelFormat::pf8bit}) {
        SCOPED_TRACE(static_cast<int>(format));
        const std::vector<uint8_t> bytes = PatternBmp(3001, 1999, format);
        std::string error;
        const std::optional<TBitmap> whole = WholeReadThumbnail(bytes, 96, 96, error);
        ASSERT_TRUE(whole) << error;
        CountingStream s(bytes);
        ExpectSamePixels(MakeThumbnail(s, 'B', 96, 96), *whole);
        // 64 rows of 3001 pixels and the header: about a thirtieth of the file.
        EXPECT_LT(s.read, static_cast<int64_t>(bytes.size() / 25));
    }
}

TEST(BitmapThumbnail, SamplerTakesTheStretchsRowsAndColumns)
{
    const std::vector<uint8_t> bytes = PatternBmp(10, 7, TPixelFormat::pf24bit);
    TMemoryStream s(bytes);
    TBmpSampler sampler(s);
    EXPECT_EQ(sampler.Width(), 10);
    EXPECT_EQ(sampler.Height(), 7);
    ASSERT_TRUE(sampler.CanSample());
    EXPECT_EQ(s.Position(), 0);
    TBitmap natural;
    natural.LoadFromStream(s);
    s.SetPosition(0);
    // Enlarged on one side, reduced on the other.
    const TBitmap part = sampler.Sample(4, 20);
    ASSERT_EQ(part.Width(), 4);
    ASSERT_EQ(part.Height(), 20);
    for (int j = 0; j < 20; ++j)
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(part.Pixel(i, j), natural.Pixel(i * 10 / 4, j * 7 / 20)) << i << "," << j;
    EXPECT_TRUE(sampler.Sample(0, 5).Empty());
}

TEST(BitmapThumbnail, RunLengthPicturesAreDecodedWhole)
{
    const std::vector<uint8_t> bytes = ReadWholeFile(Data("bmp/g/pal8rle.bmp"));
    TMemoryStream s(bytes);
    TBmpSampler sampler(s);
    EXPECT_FALSE(sampler.CanSample());
    EXPECT_THROW(sampler.Sample(4, 4), Exception);
    std::string error;
    const std::optional<TBitmap> whole = WholeReadThumbnail(bytes, 32, 32, error);
    ASSERT_TRUE(whole) << error;
    ExpectSamePixels(MakeThumbnail(s, 'B', 32, 32), *whole);
}
