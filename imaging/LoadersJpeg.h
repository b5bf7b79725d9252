#pragma once
// JPEG images through libjpeg-turbo: decoded once, at full size, into a
// 24-bit bitmap.
#include "platform/Bitmap.h"

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

// Decodes JPEG bytes into bitmap (24 bits, full size).
void DecodeJpeg(const std::vector<uint8_t>& bytes, TBitmap& bitmap);
