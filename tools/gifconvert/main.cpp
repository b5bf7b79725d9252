// gifconvert: any picture the program reads made into a GIF file; several
// pictures make an animation with one frame each.
#include "gif/mygifimage.h"
#include "imaging/GifExport.h"
#include "platform/Exception.h"
#include "platform/Picture.h"
#include "platform/QtMessages.h"
#include "platform/Stream.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr uint16_t kAnimationDelay = 10; // hundredths, when several inputs give no --delay
constexpr int kDisposeToBackground = 2;

const char* const kHelp =
    "usage: gifconvert [options] INPUT... OUTPUT.gif\n"
    "Makes a GIF of any picture Glimmerbox reads (BMP, ICO, EMF, WMF, GIF, JPEG, PNG, WebP, TIFF, HEIF, AVIF).\n"
    "Several inputs make an animated GIF with one frame each; a GIF input gives its first frame.\n"
    "\n"
    "  --reduction N  colour reduction of deep pictures, 0-9 (default 6):\n"
    "                 0 none (fails beyond 256 colours), 1 system 20 colours, 2 halftone,\n"
    "                 3 four greys, 4 black and white, 5 256 greys, 6 web-safe 216 colours,\n"
    "                 7 optimised 2^bits colours, 8 optimised 256 with system colours\n"
    "  --dither N     0 nearest colour (default), 1 Floyd-Steinberg, 2 Stucki, 3 Sierra,\n"
    "                 4 Jarvis-Judice-Ninke, 5 Stevenson-Arce, 6 Burkes\n"
    "  --bits N       colour bits of reduction 7, 1-8 (default 8)\n"
    "  --rle          run-length codes instead of LZW compression\n"
    "  --delay N      frame delay in hundredths of a second (default 10 with several inputs)\n"
    "  --loop N       times the animation plays, 0 for ever (default 0 with several inputs)\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 written, 1 an input could not be converted or the output written, 2 usage.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    uint8_t reduction = 6;
    uint8_t dither = 0;
    int bits = 8;
    bool runLength = false;
    std::optional<uint16_t> delay;
    std::optional<uint16_t> loop;
    std::vector<std::string> inputs;
    std::string output;
    bool help = false;
};

int Number(const std::string& option, const std::string& text, int low, int high)
{
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < low || value > high)
        throw UsageError(option + " wants a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + text + "\"");
    return static_cast<int>(value);
}

Options Parse(int argc, char** argv)
{
    Options o;
    std::vector<std::string> files;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            return o;
        }
        if (arg == "--rle") {
            o.runLength = true;
            continue;
        }
        std::string value;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.erase(eq);
        } else if (arg == "--reduction" || arg == "--dither" || arg == "--bits" || arg == "--delay" || arg == "--loop") {
            if (i + 1 >= argc)
                throw UsageError(arg + " wants a value");
            value = argv[++i];
        } else {
            throw UsageError("unknown option " + arg);
        }
        if (arg == "--reduction")
            o.reduction = static_cast<uint8_t>(Number(arg, value, 0, 9));
        else if (arg == "--dither")
            o.dither = static_cast<uint8_t>(Number(arg, value, 0, 6));
        else if (arg == "--bits")
            o.bits = Number(arg, value, 1, 8);
        else if (arg == "--delay")
            o.delay = static_cast<uint16_t>(Number(arg, value, 0, 65535));
        else if (arg == "--loop")
            o.loop = static_cast<uint16_t>(Number(arg, value, 0, 65535));
        else
            throw UsageError("unknown option " + arg);
    }
    if (files.size() < 2)
        throw UsageError("give one or more input pictures and the output file");
    o.output = files.back();
    files.pop_back();
    o.inputs = std::move(files);
    return o;
}

std::string ExtensionOfPath(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    return path.substr(dot + 1);
}

void Convert(const Options& o)
{
    TMyGIFImage image;
    image.ColorReduction = o.reduction;
    image.DitherMode = o.dither;
    image.ReductionBits = o.bits;
    image.Compression = o.runLength ? 1 : 0;
    const bool animation = o.inputs.size() > 1;
    for (const std::string& input : o.inputs) {
        try {
            TFileStream stream(input, FileMode::OpenRead);
            const int index = AddPictureAsFrame(image, stream, ExtensionOfPath(input));
            if (animation || o.delay) {
                TGIFGraphicControlExtension& control = FrameControl(*image.Frame(index));
                control.SetDelayTime(o.delay.value_or(kAnimationDelay));
                // Each picture is shown alone, not over the one before.
                if (animation)
                    control.SetDisposalMethod(kDisposeToBackground);
            }
        } catch (const std::exception& e) {
            throw std::runtime_error(input + ": " + e.what());
        }
    }
    if (animation || o.loop)
        SetLoopCount(image, o.loop.value_or(0));
    TMemoryStream out;
    image.SaveToStream(out);
    WriteWholeFile(out.Bytes(), o.output);
}

// Messages of the program's own texts may hold "\r" line breaks: one line here.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    InstallQuietQtMessages();
    Options options;
    try {
        options = Parse(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "gifconvert: %s (see gifconvert --help)\n", e.what());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kHelp, stdout);
        return EXIT_SUCCESS;
    }
    // Icons are read through Qt's image plugins; nothing is shown, so no
    // display is needed.
    QCoreApplication app(argc, argv);
    try {
        Convert(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gifconvert: %s\n", OneLine(e.what()).c_str());
        return kExitFailed;
    }
    return EXIT_SUCCESS;
}
