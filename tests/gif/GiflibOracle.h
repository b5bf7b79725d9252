#pragma once
// giflib as the reference decoder (and as an encoder of test inputs) for the
// oracle tests and the benchmark. Never part of the codec itself.
#include <gif_lib.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace giflib {

struct Frame {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Interlaced = false;
    std::vector<uint8_t> Pixels; // row by row, de-interlaced
};

struct Decoded {
    bool Ok = false;
    int Width = 0, Height = 0;
    std::vector<Frame> Frames;
};

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

inline int ReadBytes(GifFileType* gif, GifByteType* buf, int n)
{
    auto* r = static_cast<Reader*>(gif->UserData);
    const size_t take = std::min(static_cast<size_t>(n), r->size - r->pos);
    std::memcpy(buf, r->data + r->pos, take);
    r->pos += take;
    return static_cast<int>(take);
}

// Whole-file decode with DGifSlurp (which de-interlaces).
inline Decoded Decode(const std::vector<uint8_t>& bytes, bool keepPixels = true)
{
    Decoded out;
    Reader r{bytes.data(), bytes.size(), 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&r, &ReadBytes, &err);
    if (!gif)
        return out;
    out.Ok = DGifSlurp(gif) == GIF_OK;
    out.Width = gif->SWidth;
    out.Height = gif->SHeight;
    if (out.Ok) {
        for (int i = 0; i < gif->ImageCount; ++i) {
            const SavedImage& s = gif->SavedImages[i];
            Frame f{s.ImageDesc.Left, s.ImageDesc.Top, s.ImageDesc.Width, s.ImageDesc.Height,
                    s.ImageDesc.Interlace, {}};
            if (keepPixels && s.RasterBits)
                f.Pixels.assign(s.RasterBits,
                                s.RasterBits + static_cast<size_t>(f.Width) * static_cast<size_t>(f.Height));
            out.Frames.push_back(std::move(f));
        }
    }
    DGifCloseFile(gif, &err);
    return out;
}

inline int WriteBytes(GifFileType* gif, const GifByteType* buf, int n)
{
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), buf, buf + n);
    return n;
}

// One frame of width x height indices (row by row) with a 256-entry grey
// table; interlaced frames are written in interlace row order.
inline std::vector<uint8_t> Encode(int width, int height, const std::vector<uint8_t>& pixels, bool interlaced,
                                   int colors = 256)
{
    std::vector<uint8_t> out;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, &WriteBytes, &err);
    if (!gif)
        return out;
    std::vector<GifColorType> table(static_cast<size_t>(colors));
    for (int i = 0; i < colors; ++i)
        table[static_cast<size_t>(i)] = {static_cast<GifByteType>(i), static_cast<GifByteType>(255 - i),
                                         static_cast<GifByteType>(i * 7)};
    ColorMapObject* map = GifMakeMapObject(colors, table.data());
    EGifSetGifVersion(gif, true);
    EGifPutScreenDesc(gif, width, height, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, width, height, interlaced, nullptr);
    std::vector<GifPixelType> line(static_cast<size_t>(width));
    auto put = [&](int y) {
        std::memcpy(line.data(), pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width),
                    static_cast<size_t>(width));
        EGifPutLine(gif, line.data(), width);
    };
    if (interlaced) {
        const int start[] = {0, 4, 2, 1};
        const int step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = start[pass]; y < height; y += step[pass])
                put(y);
    } else {
        for (int y = 0; y < height; ++y)
            put(y);
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
    return out;
}

} // namespace giflib
