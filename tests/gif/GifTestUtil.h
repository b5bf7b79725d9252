#pragma once
// Helpers for the GIF tests: building streams byte by byte, packing LZW
// codes, loading with the warnings collected.
#include "gif/mygifimage.h"
#include "platform/Stream.h"

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace giftest {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }
inline void Append(Bytes& to, std::initializer_list<int> more)
{
    for (int v : more)
        to.push_back(static_cast<uint8_t>(v));
}
inline void AppendText(Bytes& to, const std::string& s) { to.insert(to.end(), s.begin(), s.end()); }
inline void AppendLE16(Bytes& to, int v) { Append(to, {v & 0xFF, (v >> 8) & 0xFF}); }

// Signature, logical screen descriptor and (when flags bit 7) a global table
// whose entry i is (i, i, i) unless colors are given.
inline Bytes Header(int width, int height, int flags, const Bytes& colors = {}, const char* sig = "GIF89a")
{
    Bytes b;
    AppendText(b, sig);
    AppendLE16(b, width);
    AppendLE16(b, height);
    Append(b, {flags, 0, 0});
    if (flags & 0x80) {
        const int n = 2 << (flags & 7);
        if (!colors.empty()) {
            Append(b, colors);
        } else {
            for (int i = 0; i < n; ++i)
                Append(b, {i, i, i});
        }
    }
    return b;
}

inline Bytes Descriptor(int left, int top, int width, int height, int flags = 0)
{
    Bytes b{0x2C};
    AppendLE16(b, left);
    AppendLE16(b, top);
    AppendLE16(b, width);
    AppendLE16(b, height);
    b.push_back(static_cast<uint8_t>(flags));
    return b;
}

// Codes as (value, width) packed least significant bit first.
inline Bytes PackCodes(const std::vector<std::pair<int, int>>& codes)
{
    Bytes out;
    uint32_t acc = 0;
    int bits = 0;
    for (auto [code, width] : codes) {
        acc |= static_cast<uint32_t>(code) << bits;
        bits += width;
        while (bits >= 8) {
            out.push_back(static_cast<uint8_t>(acc & 0xFF));
            acc >>= 8;
            bits -= 8;
        }
    }
    if (bits > 0)
        out.push_back(static_cast<uint8_t>(acc & 0xFF));
    return out;
}

// Data split into sub-blocks of at most blockSize bytes, with the terminator.
inline Bytes SubBlocks(const Bytes& data, size_t blockSize = 255, bool terminator = true)
{
    Bytes out;
    for (size_t i = 0; i < data.size(); i += blockSize) {
        const size_t n = std::min(blockSize, data.size() - i);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
    }
    if (terminator)
        out.push_back(0);
    return out;
}

// Minimum code size byte, then the packed codes in sub-blocks.
inline Bytes ImageData(int minCodeSize, const std::vector<std::pair<int, int>>& codes, size_t blockSize = 255)
{
    Bytes b{static_cast<uint8_t>(minCodeSize)};
    Append(b, SubBlocks(PackCodes(codes), blockSize));
    return b;
}

inline Bytes GraphicControl(int flags, int delay, int transparentIndex, int blockSize = 4)
{
    Bytes b{0x21, 0xF9, static_cast<uint8_t>(blockSize), static_cast<uint8_t>(flags)};
    AppendLE16(b, delay);
    Append(b, {transparentIndex, 0});
    return b;
}

inline Bytes Comment(const std::vector<std::string>& blocks)
{
    Bytes b{0x21, 0xFE};
    for (const auto& s : blocks) {
        b.push_back(static_cast<uint8_t>(s.size()));
        AppendText(b, s);
    }
    b.push_back(0);
    return b;
}

inline Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::string SuitePath(const std::string& name) { return std::string(GMB_TEST_DATA) + "/gif-suite/" + name; }

// The suite's test names, as its TESTS file lists them.
inline std::vector<std::string> SuiteTests()
{
    std::vector<std::string> names;
    std::ifstream in(SuitePath("TESTS"));
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            names.push_back(line);
    return names;
}

// A suite test name as a test parameter name.
inline std::string SuiteParamName(std::string name)
{
    for (char& c : name)
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9'))
            c = '_';
    return name;
}

// Collects warnings of an image.
struct Warnings {
    std::vector<std::string> list;
    void Attach(TMyGIFImage& image)
    {
        image.OnGIFWarning = [this](TGIFObject&, int severity, const std::string& m) {
            list.push_back(severity == 1 ? m : "severity " + std::to_string(severity) + ": " + m);
        };
    }
    bool Has(const std::string& m) const
    {
        for (const auto& w : list)
            if (w == m)
                return true;
        return false;
    }
    size_t Count(const std::string& m) const
    {
        size_t n = 0;
        for (const auto& w : list)
            n += w == m;
        return n;
    }
};

// Loads bytes; answers the GIFException message, or "" on success.
inline std::string LoadStream(TMyGIFImage& image, TStream& s)
{
    try {
        image.LoadFromStream(s);
    } catch (const GIFException& e) {
        return e.Message();
    }
    return "";
}

inline std::string LoadBytes(TMyGIFImage& image, const Bytes& bytes)
{
    TMemoryStream s(bytes);
    return LoadStream(image, s);
}

// Pixel indices of a frame, row by row.
inline Bytes FramePixels(TGIFSubImage& f)
{
    Bytes out;
    for (int y = 0; y < f.Height(); ++y)
        for (int x = 0; x < f.Width(); ++x)
            out.push_back(f.PixelAt(x, y));
    return out;
}

} // namespace giftest

namespace giftest {

// Each pixel as a clear code followed by the pixel's code, then the end
// code: the table never grows, so the code width stays minCodeSize + 1.
inline std::vector<std::pair<int, int>> LiteralCodes(const std::vector<int>& pixels, int minCodeSize, bool end = true)
{
    const int w = minCodeSize + 1;
    const int clear = 1 << minCodeSize;
    std::vector<std::pair<int, int>> codes;
    for (int p : pixels) {
        codes.emplace_back(clear, w);
        codes.emplace_back(p, w);
    }
    if (end)
        codes.emplace_back(clear + 1, w);
    return codes;
}

// A GIF89a with a 4-entry global table and one frame of the given data.
inline Bytes OneFrame(int width, int height, const Bytes& imageData, const Bytes& before = {}, int descFlags = 0,
                      bool trailer = true)
{
    Bytes b = Header(width, height, 0x81);
    Append(b, before);
    Append(b, Descriptor(0, 0, width, height, descFlags));
    Append(b, imageData);
    if (trailer)
        b.push_back(0x3B);
    return b;
}

// A 20 x 15 24-bit bitmap of 300 distinct colours.
inline TBitmap ManyColours()
{
    TBitmap b(20, 15, TPixelFormat::pf24bit);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x)
            b.SetPixel(x, y, RGBColor(uint8_t(x * 13), uint8_t(y * 17), uint8_t((x * 7 + y * 5) & 0xFF)));
    return b;
}

} // namespace giftest
