#pragma once
// JPEG images through libjpeg-turbo, into 24-bit bitmaps turned upright by
// the file's EXIF orientation. A decode may ask for less than full size:
// libjpeg then scales in its inverse DCT (eighths of the full size), which
// costs a fraction of a full decode and still reads every byte of the
// image data, so it proves the file as well as a full decode does.
#include "platform/Bitmap.h"

#include <cstdint>
#include <span>
#include <vector>

class TJPEGImage : public TGraphic {
public:
    int Width() const override { return bitmap_.Width(); }
    int Height() const override { return bitmap_.Height(); }
    bool Empty() const override { return bitmap_.Empty(); }
    // "JPEG error #%d" with libjpeg's message code.
    void LoadFromStream(TStream& stream) override;
    void Draw(TBitmap& canvas, const TRect& rect) const override { bitmap_.Draw(canvas, rect); }
    void AssignTo(TBitmap& dest) const override { dest.Assign(bitmap_); }
    const TBitmap& Bitmap() const { return bitmap_; }

private:
    TBitmap bitmap_;
};

// What a JPEG's header and EXIF block say, before any pixel is decoded.
struct TJpegShape {
    int width = 0;       // upright, at full size
    int height = 0;
    int orientation = 1; // 1 to 8, from EXIF
};

struct TJpegScale {
    // The least upright size wanted: the decode picks the smallest eighth
    // of the full size that still covers both (full size when 0).
    int minWidth = 0;
    int minHeight = 0;
    // 0: the file's own EXIF orientation; 1 to 8: this one instead (an
    // embedded thumbnail, which takes its photo's).
    int orientation = 0;
};

// Decodes JPEG bytes into bitmap (24 bits, upright). Raises "JPEG error #%d".
void DecodeJpeg(std::span<const uint8_t> bytes, TBitmap& bitmap, const TJpegScale& scale = {}, TJpegShape* shape = nullptr);
inline void DecodeJpeg(const std::vector<uint8_t>& bytes, TBitmap& bitmap)
{
    DecodeJpeg(std::span<const uint8_t>(bytes), bitmap);
}
// The header's size (upright) and the EXIF orientation; false for bytes
// whose header libjpeg refuses.
bool ReadJpegShape(std::span<const uint8_t> bytes, TJpegShape& shape);
// The eighths (1 to 8) the decoder scales a w x h image by so that it is
// at least minWidth x minHeight, or full size.
int JpegScaleEighths(int w, int h, int minWidth, int minHeight);
