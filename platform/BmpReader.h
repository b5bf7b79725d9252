#pragma once
// Decodes the bytes of a BMP file into a bitmap of the file's own depth
// (1, 4 or 8 bits with the colour table; 2-bit files become 4 bits; 16 and
// 24 bits become 24; 32 bits stay 32). "Bitmap image is not valid" for
// anything that cannot be read; the bitmap is untouched then.
#include "platform/Bitmap.h"

#include <memory>
#include <vector>

void ReadBmp(const std::vector<uint8_t>& data, TBitmap& bitmap);

class TStream;

// The picture ReadBmp gives, read from a stream only as far as a smaller
// copy of it needs: the header first, then, for Sample, just the rows kept.
// Raises "Bitmap image is not valid" for what ReadBmp refuses by its
// header and size.
class TBmpSampler {
public:
    // The stream stands at the start of the file; it is left there.
    explicit TBmpSampler(TStream& stream);
    ~TBmpSampler();
    TBmpSampler(const TBmpSampler&) = delete;
    TBmpSampler& operator=(const TBmpSampler&) = delete;

    int Width() const;
    int Height() const;
    // Run-length pictures are decoded whole: their rows are not at known places.
    bool CanSample() const;
    // A width x height bitmap of the picture's format and colours whose
    // pixel (i, j) is the picture's (i * Width() / width, j * Height() /
    // height): what a stretch that drops or repeats pixels takes of it.
    TBitmap Sample(int width, int height);

private:
    struct TState;
    TStream& stream_;
    std::unique_ptr<TState> state_;
};
