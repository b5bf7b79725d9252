// The fast decoder against a plain pixel-at-a-time one, on well-formed data
// and on data bent in every way: same pixels, same stream position, same
// warnings, same failure.
#include "GiflibOracle.h"
#include "GifTestUtil.h"
#include "ReferenceDecoder.h"

#include <gtest/gtest.h>

using namespace giftest;

namespace {

struct Rng {
    uint32_t s;
    uint32_t Next()
    {
        s = s * 1664525u + 1013904223u;
        return s >> 8;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

// The image data of the first frame of a giflib-made GIF (code size byte,
// sub-blocks, terminator).
Bytes ImageDataOf(const Bytes& gif)
{
    size_t at = 13 + 3 * 256 + 10; // header, screen, 256-entry table, descriptor
    size_t end = at + 1;
    while (end < gif.size() && gif[end] != 0)
        end += gif[end] + 1;
    return Bytes(gif.begin() + static_cast<long>(at), gif.begin() + static_cast<long>(std::min(end + 1, gif.size())));
}

void Compare(const Bytes& data, int width, int height, bool interlaced, int transparent, const std::string& what)
{
    SCOPED_TRACE(what);
    // A frame with its descriptor (and fill) set, then decoded directly.
    Bytes gif = Header(width, height, 0x87);
    if (transparent >= 0)
        Append(gif, GraphicControl(1, 0, transparent));
    Append(gif, Descriptor(0, 0, width, height, interlaced ? 0x40 : 0));
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 1);
    TGIFSubImage& frame = *image.Frame(0);

    TMemoryStream s(data);
    std::string error;
    try {
        DecodePixels(frame, s);
    } catch (const GIFException& e) {
        error = e.Message();
    }
    ReferenceDecoder ref(data, width, height, interlaced, transparent >= 0 ? static_cast<uint8_t>(transparent) : 0);
    const ReferenceResult r = ref.Run();
    EXPECT_EQ(error, r.error);
    if (!error.empty())
        return;
    EXPECT_EQ(s.Position(), static_cast<int64_t>(r.position));
    // Read where they are stored (interlaced rows in the order they came),
    // then put in their places.
    EXPECT_TRUE(FramePixels(frame) == r.pixels);
    const uint8_t* ours = frame.Pixels();
    ASSERT_NE(ours, nullptr);
    const auto mismatch = std::mismatch(r.pixels.begin(), r.pixels.end(), ours);
    EXPECT_TRUE(mismatch.first == r.pixels.end()) << "first difference at " << (mismatch.first - r.pixels.begin());
    EXPECT_EQ(static_cast<int>(w.Count("Decoder bit buffer under-run")), r.underruns);
    EXPECT_EQ(static_cast<int>(w.Count("Premature end of data")), r.prematureEnds);
}

} // namespace

TEST(GifDifferential, WellFormedAndBentData)
{
    Rng rng{2024};
    int cases = 0;
    for (int round = 0; round < 24; ++round) {
        const int width = 1 + rng.Below(round % 3 == 0 ? 400 : 40);
        const int height = 1 + rng.Below(round % 4 == 0 ? 200 : 30);
        const bool interlaced = rng.Below(2) == 1;
        const int levels = 2 + rng.Below(255);
        Bytes px(static_cast<size_t>(width) * static_cast<size_t>(height));
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = static_cast<uint8_t>(rng.Below(4) == 0 ? rng.Below(levels) : (i / 3) % static_cast<size_t>(levels));
        const Bytes data = ImageDataOf(giflib::Encode(width, height, px, interlaced));
        const int transparent = rng.Below(3) == 0 ? rng.Below(256) : -1;
        const std::string tag = std::to_string(width) + "x" + std::to_string(height);
        Compare(data, width, height, interlaced, transparent, tag + " as made");
        ++cases;
        for (int k = 0; k < 40; ++k) {
            Bytes bent = data;
            switch (k % 5) {
            case 0: // truncated
                bent.resize(static_cast<size_t>(rng.Below(static_cast<int>(bent.size()) + 1)));
                break;
            case 1: // a byte changed
                bent[static_cast<size_t>(rng.Below(static_cast<int>(bent.size())))] = static_cast<uint8_t>(rng.Next());
                break;
            case 2: // several bytes changed
                for (int j = 0; j < 8; ++j)
                    bent[static_cast<size_t>(rng.Below(static_cast<int>(bent.size())))] ^=
                        static_cast<uint8_t>(1u << rng.Below(8));
                break;
            case 3: // another frame size than the data was made for
                Compare(bent, 1 + rng.Below(width * 2), 1 + rng.Below(height * 2), !interlaced, transparent,
                        tag + " resized");
                ++cases;
                continue;
            case 4: // another initial code size
                bent[0] = static_cast<uint8_t>(rng.Below(13));
                break;
            }
            Compare(bent, width, height, interlaced, transparent, tag + " bent " + std::to_string(k));
            ++cases;
        }
    }
    // Pure noise as data, for every code size.
    for (int ics = 0; ics <= 12; ++ics) {
        for (int k = 0; k < 8; ++k) {
            Bytes noise{static_cast<uint8_t>(ics)};
            Bytes raw(static_cast<size_t>(1 + rng.Below(600)));
            for (auto& b : raw)
                b = static_cast<uint8_t>(rng.Next());
            Append(noise, SubBlocks(raw, static_cast<size_t>(1 + rng.Below(255)), rng.Below(2) == 0));
            Compare(noise, 1 + rng.Below(90), 1 + rng.Below(90), rng.Below(2) == 1, -1,
                    "noise ics " + std::to_string(ics));
            ++cases;
        }
    }
    EXPECT_GT(cases, 1000);
}
