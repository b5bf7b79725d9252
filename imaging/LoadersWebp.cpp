// WebP through libwebp: a still picture (lossy, lossless, with or without
// alpha) is decoded straight into the bitmap's rows; an animation goes
// through the demux library's animation decoder, which composes every frame
// on the full canvas. libwebp reports failures as status codes, never by
// jumping or aborting.
#include "LoadersRaster.h"

#include "platform/Exception.h"
#include "platform/Text.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kKind = "WebP";
// The frames of an animation kept for playing, at most this many bytes in
// all; a longer one plays the frames that fit.
constexpr int64_t kAnimationBudget = int64_t(256) << 20;

const char* StatusText(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_OK: return "no error";
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "the bitstream is damaged";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "it uses a feature libwebp does not support";
    case VP8_STATUS_SUSPENDED: return "decoding was suspended";
    case VP8_STATUS_USER_ABORT: return "decoding was aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "the file ends too early";
    }
    return "unknown error";
}

void DecodeStill(const uint8_t* data, size_t size, const WebPBitstreamFeatures& features, TDecodedPicture& out)
{
    const bool alpha = features.has_alpha != 0;
    TBitmap pixels(features.width, features.height, alpha ? TPixelFormat::pf32bit : TPixelFormat::pf24bit);
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        RaisePictureError(kKind, "libwebp is not the version it was built with");
    config.output.colorspace = alpha ? MODE_BGRA : MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = pixels.ScanLine(0);
    config.output.u.RGBA.stride = pixels.RowBytes();
    config.output.u.RGBA.size = size_t(pixels.RowBytes()) * size_t(pixels.Height());
    const VP8StatusCode status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        RaisePictureError(kKind, StatusText(status));
    DropOpaqueAlpha(pixels);
    out.Pixels.TakeFrom(pixels);
}

struct AnimDecoder {
    WebPAnimDecoder* decoder = nullptr;
    ~AnimDecoder() { WebPAnimDecoderDelete(decoder); }
};

void DecodeAnimation(const uint8_t* data, size_t size, const WebPBitstreamFeatures& features, TDecodedPicture& out, bool allFrames)
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        RaisePictureError(kKind, "libwebp is not the version it was built with");
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData input = {data, size};
    AnimDecoder anim{WebPAnimDecoderNew(&input, &options)};
    WebPAnimInfo info;
    if (!anim.decoder || !WebPAnimDecoderGetInfo(anim.decoder, &info))
        RaisePictureError(kKind, "the animation is damaged");
    if (int(info.canvas_width) != features.width || int(info.canvas_height) != features.height)
        RaisePictureError(kKind, "the animation's canvas does not match its header");
    const int w = int(info.canvas_width), h = int(info.canvas_height);
    const int64_t frameBytes = int64_t(w) * h * 4;
    out.LoopCount = int(info.loop_count);
    int previous = 0;
    int64_t kept = 0;
    while (WebPAnimDecoderHasMoreFrames(anim.decoder)) {
        uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(anim.decoder, &canvas, &timestamp)) {
            // A damaged later frame ends the animation; a damaged first
            // frame is a damaged file.
            if (out.Pixels.Empty())
                RaisePictureError(kKind, "the first frame is damaged");
            break;
        }
        TRasterFrame frame;
        frame.DelayMs = std::max(0, timestamp - previous);
        previous = timestamp;
        frame.Pixels = TBitmap(w, h, TPixelFormat::pf32bit);
        for (int y = 0; y < h; ++y)
            std::memcpy(frame.Pixels.ScanLine(y), canvas + size_t(y) * size_t(w) * 4, size_t(w) * 4);
        if (out.Pixels.Empty())
            out.Pixels = frame.Pixels;
        if (!allFrames)
            break;
        kept += frameBytes;
        if (kept > kAnimationBudget)
            break;
        out.Frames.push_back(std::move(frame));
    }
    if (!features.has_alpha) {
        DropOpaqueAlpha(out.Pixels);
        for (TRasterFrame& f : out.Frames)
            DropOpaqueAlpha(f.Pixels);
    }
}

} // namespace

void DecodeWebp(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames)
{
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WEBP", 4) != 0)
        RaisePictureError(kKind, "the RIFF WEBP header is missing");
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(data, size, &features);
    if (status != VP8_STATUS_OK)
        RaisePictureError(kKind, StatusText(status));
    CheckPictureSize(kKind, features.width, features.height, size);
    if (features.has_animation)
        DecodeAnimation(data, size, features, out, allFrames);
    else
        DecodeStill(data, size, features, out);
    OrientDecoded(out, FindWebpExif(data, size));
}

bool IsAnimatedWebp(const uint8_t* data, size_t size)
{
    WebPBitstreamFeatures features;
    return WebPGetFeatures(data, size, &features) == VP8_STATUS_OK && features.has_animation;
}

std::vector<uint8_t> FindWebpExif(const uint8_t* data, size_t size)
{
    const WebPData input = {data, size};
    WebPDemuxer* demux = WebPDemux(&input);
    if (!demux)
        return {};
    std::vector<uint8_t> exif;
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        const uint8_t* p = chunk.chunk.bytes;
        size_t n = chunk.chunk.size;
        // Some writers keep JPEG's "Exif\0\0" in front of the TIFF header.
        if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
            p += 6;
            n -= 6;
        }
        exif.assign(p, p + n);
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    WebPDemuxDelete(demux);
    return exif;
}
