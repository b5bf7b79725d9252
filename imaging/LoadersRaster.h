#pragma once
// Pictures of the newer kinds (PNG, WebP, TIFF, HEIF, AVIF), each decoded by
// the library made for its format. The pixels are kept at their natural
// size: 24 bits, or 32 with the alpha in the fourth byte when the file has
// transparency. Drawn, they blend over what lies below, as icons do.
#include "platform/Bitmap.h"

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One frame of an animation: the whole canvas and how long it shows.
struct TRasterFrame {
    TBitmap Pixels;
    int DelayMs = 0;
};

// What a format's decoder gives: the first picture, and the frames of an
// animation when the caller asks for them.
struct TDecodedPicture {
    TBitmap Pixels; // pf24bit, or pf32bit with alpha
    std::vector<TRasterFrame> Frames; // empty for a still picture
    int LoopCount = 0;
};

// Decodes a whole file held in memory; raises "<Kind> image is not valid:
// <reason>" for anything it cannot read.
using TRasterDecoder = void (*)(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
// The TIFF-structured EXIF block of a file (from its "II"/"MM" header on),
// empty when the file has none or it cannot be found. Never raises.
using TExifFinder = std::vector<uint8_t> (*)(const uint8_t* data, size_t size);

class TRasterImage : public TGraphic {
public:
    explicit TRasterImage(TRasterDecoder decoder) : decoder_(decoder) {}
    int Width() const override { return picture_.Pixels.Width(); }
    int Height() const override { return picture_.Pixels.Height(); }
    bool Empty() const override { return picture_.Pixels.Empty(); }
    void LoadFromStream(TStream& stream) override;
    // Stretched into rect (pixels dropped or repeated), blended over the
    // canvas where the picture is transparent.
    void Draw(TBitmap& canvas, const TRect& rect) const override;
    // The opaque pixels as they are; a transparent picture over white.
    void AssignTo(TBitmap& dest) const override;
    bool Transparent() const override { return picture_.Pixels.PixelFormat() == TPixelFormat::pf32bit; }

    const TBitmap& Pixels() const { return picture_.Pixels; }
    // The picture with its alpha (ARGB32).
    QImage ToImage() const;

private:
    TRasterDecoder decoder_;
    TDecodedPicture picture_;
};

// Decoded pixels as an ARGB32 image, alpha kept.
QImage RasterToImage(const TBitmap& pixels);
// The natural-size bitmap of a decoded picture: 24 bits, transparent parts
// over white (how icons show in thumbnails and the preview).
void ComposeOverWhite(const TBitmap& pixels, TBitmap& out);
// Blends a 32-bit picture with alpha (or copies a 24-bit one) stretched
// into rect of the canvas.
void DrawRaster(const TBitmap& pixels, TBitmap& canvas, const TRect& rect);

// Turns a decoded picture and its frames upright by the orientation its
// EXIF block gives (none, or a damaged block: as stored).
void OrientDecoded(TDecodedPicture& picture, const std::vector<uint8_t>& exif);
// 32-bit pixels whose alpha is everywhere opaque become 24-bit ones.
void DropOpaqueAlpha(TBitmap& pixels);

// Refuses sizes no file of that many bytes can hold before anything is
// allocated for them: up to 16 Mpixel anything goes; beyond, the file must
// hold a byte for every 1024 pixels (more than any real compressor gains on
// a picture that large), and the pixels must fit a bitmap.
void CheckPictureSize(const char* kindName, int64_t width, int64_t height, size_t fileBytes);
// The same test without raising (for code between a setjmp and its jumps).
bool PictureSizeAllowed(int64_t width, int64_t height, size_t fileBytes);
// "<kindName> image is not valid: <reason>".
[[noreturn]] void RaisePictureError(const char* kindName, const std::string& reason);

// Runs decoder on the stream's bytes and gives the natural-size bitmap
// (what a kind's loader hands the thumbnail).
void LoadRasterFromStream(TRasterDecoder decoder, TStream& stream, TBitmap& bitmap);

// The decoders and EXIF finders of the formats, one file each.
void DecodePng(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
void DecodeWebp(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
void DecodeTiff(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
void DecodeHeif(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
void DecodeAvif(const uint8_t* data, size_t size, TDecodedPicture& out, bool allFrames);
// Whether WebP bytes hold an animation (read from the header alone).
bool IsAnimatedWebp(const uint8_t* data, size_t size);
std::vector<uint8_t> FindPngExif(const uint8_t* data, size_t size);
std::vector<uint8_t> FindWebpExif(const uint8_t* data, size_t size);
std::vector<uint8_t> FindTiffExif(const uint8_t* data, size_t size);
std::vector<uint8_t> FindHeifExif(const uint8_t* data, size_t size); // AVIF too
