// The GIF suite: where our rules and the suite agree, the suite's
// dimensions, frames, loop counts, delays, comments and pixels; where they
// differ, our own behaviour.
#include "GifTestUtil.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace giftest;

namespace {

using Section = std::map<std::string, std::string>;
using Conf = std::map<std::string, Section>;

Conf ReadConf(const std::string& path)
{
    Conf conf;
    std::ifstream in(path);
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const auto eq = line.find(" = ");
        if (eq != std::string::npos)
            conf[section][line.substr(0, eq)] = line.substr(eq + 3);
        else if (line.size() > 2 && line.substr(line.size() - 2) == " =")
            conf[section][line.substr(0, line.size() - 2)] = "";
    }
    return conf;
}

std::vector<std::string> SplitComma(const std::string& s)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ','))
        if (!item.empty())
            out.push_back(item);
    return out;
}

// Frames that carry an image (extension-only frames are ours, not the suite's).
std::vector<TGIFSubImage*> ImageFrames(TMyGIFImage& image)
{
    std::vector<TGIFSubImage*> out;
    for (int i = 0; i < image.FrameCount(); ++i)
        if (!image.Frame(i)->IsEmpty())
            out.push_back(image.Frame(i));
    return out;
}

TGIFAppExtNSLoop* LoopExtension(TMyGIFImage& image)
{
    for (int i = 0; i < image.FrameCount(); ++i) {
        auto& list = image.Frame(i)->FrameExtensions();
        for (int j = 0; j < list.Count(); ++j)
            if (auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(list.Extensions(j)))
                return loop;
    }
    return nullptr;
}

std::string FirstComment(TMyGIFImage& image)
{
    for (int i = 0; i < image.FrameCount(); ++i) {
        auto& list = image.Frame(i)->FrameExtensions();
        for (int j = 0; j < list.Count(); ++j)
            if (auto* c = dynamic_cast<TGIFCommentExtension*>(list.Extensions(j))) {
                std::string all;
                for (const auto& l : c->Lines)
                    all += l;
                return all;
            }
    }
    return {};
}

// The suite writes comments in Python's quoting.
std::string Unquote(std::string s)
{
    if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'')
        s = s.substr(1, s.size() - 2);
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Our outcome where it differs from what the suite expects of a browser.
struct Difference {
    const char* error = "";          // the load fails with this message
    int imageFrames = -1;            // frames with an image, when not the suite's count
    bool pixelsDiffer = false;       // the single frame is not the suite's picture
    const char* comment = nullptr;   // the comment we read
    bool noLoopExtension = false;    // the suite assumes a loop the file does not hold
};

const std::map<std::string, Difference>& Differences()
{
    static const std::map<std::string, Difference> d = {
        // An unknown extension label fails the whole load.
        {"unknown-extension", {"Unknown extension type"}},
        // A local table flag with the stream ending inside the table is fatal.
        {"image-zero-height", {"Premature end of data"}},
        {"image-zero-size", {"Premature end of data"}},
        // No image descriptor: no frame (a browser shows an empty one).
        {"no-data", {"", 0}},
        // A zero width takes the logical screen's size; the image data is a
        // code size of 0x3B, so the pixel keeps index 0 (opaque).
        {"image-zero-width", {"", -1, true}},
        // Defective image data is tolerated: the frame is kept.
        {"invalid-code", {"", 1}},
        {"invalid-colors", {"", 1}},
        {"overflow-codes", {"", 1}},
        {"overflow-codes-max", {"", 1}},
        {"plain-text", {"", 1}},
        // Every image descriptor is a frame of its own: nothing is composited.
        {"images-combine", {"", 4}},
        {"images-overlap", {"", 2}},
        {"high-color", {"", 4}},
        {"dispose-restore-previous", {"", 5}},
        {"animation-multi-image", {"", 7}},
        {"animation-multi-image-explicit-zero-delay", {"", 7}},
        // Without a loop extension there is no loop count.
        {"gif87a-animation", {"", -1, false, nullptr, true}},
    };
    return d;
}

} // namespace

class GifSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(GifSuite, MatchesWhereOurRulesAgree)
{
    const std::string name = GetParam();
    Conf conf = ReadConf(SuitePath(name + ".conf"));
    Section& config = conf["config"];
    TMyGIFImage image;
    Warnings warnings;
    warnings.Attach(image);
    const std::string error = LoadBytes(image, ReadFile(SuitePath(config["input"])));

    const auto diff = Differences().find(name);
    const Difference ours = diff != Differences().end() ? diff->second : Difference{};
    if (*ours.error) {
        EXPECT_EQ(error, diff->second.error);
        return;
    }
    ASSERT_EQ(error, "");
    EXPECT_EQ(image.Width(), std::stoi(config["width"]));
    EXPECT_EQ(image.Height(), std::stoi(config["height"]));

    const auto frameNames = SplitComma(config["frames"]);
    const auto frames = ImageFrames(image);
    const int expectedFrames = ours.imageFrames >= 0 ? ours.imageFrames : static_cast<int>(frameNames.size());
    ASSERT_EQ(static_cast<int>(frames.size()), expectedFrames);

    // Loop count: "infinite" is a loop extension with count 0.
    const std::string loop = config["loop-count"];
    TGIFAppExtNSLoop* loopExt = LoopExtension(image);
    if (ours.noLoopExtension) {
        EXPECT_EQ(loopExt, nullptr);
    } else if (loop == "infinite") {
        ASSERT_NE(loopExt, nullptr);
        EXPECT_EQ(loopExt->LoopCount, 0);
    } else if (loop != "0") {
        ASSERT_NE(loopExt, nullptr);
        EXPECT_EQ(loopExt->LoopCount, std::stoi(loop));
    }
    if (config.count("buffer-size")) {
        ASSERT_NE(loopExt, nullptr);
        EXPECT_EQ(loopExt->BufferLength, std::stoul(config["buffer-size"]));
    }
    if (config.count("comment")) {
        EXPECT_EQ(FirstComment(image), ours.comment ? std::string(ours.comment) : Unquote(config["comment"]));
    }

    for (size_t i = 0; frames.size() == frameNames.size() && i < frames.size(); ++i) {
        Section& fs = conf[frameNames[i]];
        if (fs.count("delay")) {
            ASSERT_NE(frames[i]->ControlExtension(), nullptr);
            EXPECT_EQ(frames[i]->ControlExtension()->DelayTime(), std::stoi(fs["delay"]));
        }
    }

    // Pixels and colours of single-frame images: every pixel of the frame
    // against the composited picture (transparent ones by their index).
    if (frameNames.size() == 1 && frames.size() == 1 && conf[frameNames[0]].count("pixels")) {
        TGIFSubImage& f = *frames[0];
        const Bytes rgba = ReadFile(SuitePath(conf[frameNames[0]]["pixels"]));
        ASSERT_EQ(rgba.size(), static_cast<size_t>(image.Width()) * image.Height() * 4);
        TGIFColorMap& colors = f.EffectiveColorMap();
        int mismatches = 0;
        for (int y = 0; y < f.Height() && f.Top() + y < image.Height(); ++y) {
            for (int x = 0; x < f.Width() && f.Left() + x < image.Width(); ++x) {
                const size_t at = (static_cast<size_t>(f.Top() + y) * image.Width() + f.Left() + x) * 4;
                const uint8_t index = f.PixelAt(x, y);
                if (rgba[at + 3] == 0) {
                    mismatches += !(f.HasTransparency() && index == f.ControlExtension()->TransparentIndex());
                    continue;
                }
                ASSERT_LT(index, colors.EntryCount()) << name << " at " << x << "," << y;
                const uint8_t* rgb = colors.Entries() + index * 3;
                mismatches += rgb[0] != rgba[at] || rgb[1] != rgba[at + 1] || rgb[2] != rgba[at + 2];
            }
        }
        if (ours.pixelsDiffer)
            EXPECT_GT(mismatches, 0) << name;
        else
            EXPECT_EQ(mismatches, 0) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(All, GifSuite, ::testing::ValuesIn(SuiteTests()),
                         [](const ::testing::TestParamInfo<std::string>& param) { return SuiteParamName(param.param); });
