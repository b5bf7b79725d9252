// The LZW decoder of a frame's image data.
//
// The decoder reads the stream one data sub-block at a time into a bit
// buffer whose first two bytes carry the last two bytes of the previous
// sub-block, so a code may span the border. Strings of the table are
// expanded straight into the frame's pixel rows when they fit; a string that
// would cross the end of the row (or of the materialised pixels) goes
// through the Pending stack and is handed out from there, which is also
// what keeps the behaviour at the end of a frame exact.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>
#include <cstring>

class TGIFDecoderAccess {
public:
    static void SetFill(TGIFSubImage& frame, uint8_t fill) { frame.fill_ = fill; }
    static uint8_t* Materialise(TGIFSubImage& frame, int64_t extent)
    {
        frame.MaterialiseTo(extent);
        return frame.pixels_.data();
    }
};

namespace {

constexpr int kTableSize = 4096;
constexpr int kPendingSize = 2 * kTableSize;
constexpr int kMaxCodeSize = 12;
// Initial code sizes above this leave no room in the table for the roots.
constexpr int kMaxInitialCodeSize = 11;
constexpr int kCarried = 2;
constexpr int kBufferSize = kCarried + 255 + 7; // slack for the 3-byte code fetch

// Pixels are materialised in growing steps, never much ahead of the data.
constexpr int64_t kMinGrowth = 64;

// Interlaced rows: every 8th from 0, every 8th from 4, every 4th from 2, every 2nd from 1.
constexpr int kInterlaceFirstStep = 8;

enum : int { kExhausted = -1, kEndCode = -2 };

class TDecoder {
public:
    TDecoder(TGIFSubImage& frame, TStream& stream, int initialCodeSize)
        : stream_(stream), frame_(frame), initialCodeSize_(initialCodeSize)
    {
        clearCode_ = 1 << initialCodeSize;
        endCode_ = clearCode_ + 1;
        codeSize_ = initialCodeSize + 1;
        growAt_ = 2 * clearCode_;
        nextFree_ = clearCode_ + 2;
        for (int i = 0; i < kTableSize; ++i) {
            prefix_[i] = 0;
            suffix_[i] = i < clearCode_ ? static_cast<uint8_t>(i) : 0;
            // An entry at or above the clear code that nothing has defined
            // reads as the string (0, 0).
            length_[i] = i < clearCode_ ? 1 : 2;
        }
        std::memset(buffer_, 0, sizeof buffer_);
    }

    // Writes up to n pixels at out; answers how many. Fewer than n means the
    // data ended (status() says how).
    int64_t Fill(uint8_t* out, int64_t n);
    int Status() const { return status_; }
    void ResetStatus() { status_ = 0; }
    bool EndCodeMet() const { return endMet_; }

private:
    int ReadCode(int w)
    {
        if (firstCall_) {
            firstCall_ = false;
            return clearCode_;
        }
        if (bitPos_ + w >= bitEnd_) {
            if (!Refill())
                return kExhausted;
        }
        const uint8_t* p = buffer_ + (bitPos_ >> 3);
        const uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16);
        const int code = static_cast<int>((bits >> (bitPos_ & 7)) & ((1u << w) - 1));
        bitPos_ += w;
        return code;
    }

    bool Refill();
    void ResetTable();
    void SkipRest();
    void AddEntry();
    void Push(uint8_t pixel)
    {
        // A chain that loops through several codes would grow without end.
        if (pendingTop_ >= kPendingSize)
            RaiseGIFError(gifmsg::CircularEntry);
        pending_[pendingTop_++] = pixel;
    }

    TStream& stream_;
    TGIFSubImage& frame_;

    int initialCodeSize_;
    int clearCode_;
    int endCode_;
    int codeSize_;
    int growAt_;
    int nextFree_;
    int prevCode_ = 0;
    int firstChar_ = 0;

    // Entry i is the string Prefix[i] followed by the pixel Suffix[i]; its
    // Length is the string's length when the chain strictly descends to a
    // root (always, for well-formed data), 0 when it must be walked with the
    // checks of the general path.
    uint16_t prefix_[kTableSize];
    uint8_t suffix_[kTableSize];
    uint16_t length_[kTableSize];

    uint8_t pending_[kPendingSize];
    int pendingTop_ = 0;

    uint8_t buffer_[kBufferSize];
    int bitPos_ = 0;
    int bitEnd_ = 0;
    int byteEnd_ = kCarried;
    bool inputDone_ = false;
    bool firstCall_ = true;
    bool endMet_ = false;
    int status_ = 0;
};

bool TDecoder::Refill()
{
    if (inputDone_) {
        if (bitPos_ >= bitEnd_)
            frame_.Warn(GIFWarningSeverity, gifmsg::BitBufferUnderrun);
        return false;
    }
    buffer_[0] = buffer_[byteEnd_ - 2];
    buffer_[1] = buffer_[byteEnd_ - 1];
    uint8_t n = 0;
    if (!TryReadByte(stream_, n))
        return false;
    int got = 0;
    if (n == 0) {
        inputDone_ = true;
    } else {
        got = static_cast<int>(stream_.Read(buffer_ + kCarried, n));
        if (got < n)
            frame_.Warn(GIFWarningSeverity, gifmsg::PrematureEnd);
    }
    byteEnd_ = got + kCarried;
    bitPos_ = bitPos_ - bitEnd_ + 8 * kCarried;
    bitEnd_ = byteEnd_ * 8;
    return true;
}

void TDecoder::ResetTable()
{
    // Entries below the clear code never change; those above it that were
    // defined go back to (0, 0).
    for (int i = clearCode_; i < nextFree_; ++i) {
        prefix_[i] = 0;
        suffix_[i] = 0;
        length_[i] = 2;
    }
    codeSize_ = initialCodeSize_ + 1;
    growAt_ = 2 * clearCode_;
    nextFree_ = clearCode_ + 2;
    pendingTop_ = 0;
}

void TDecoder::SkipRest()
{
    uint8_t n = 0;
    while (TryReadByte(stream_, n) && n != 0)
        SkipForward(stream_, n);
}

void TDecoder::AddEntry()
{
    if (nextFree_ >= kTableSize)
        return;
    prefix_[nextFree_] = static_cast<uint16_t>(prevCode_);
    suffix_[nextFree_] = static_cast<uint8_t>(firstChar_);
    // Only an entry built on an older, itself descending entry descends.
    length_[nextFree_] = (prevCode_ < nextFree_ && length_[prevCode_] != 0)
                             ? static_cast<uint16_t>(length_[prevCode_] + 1)
                             : 0;
    ++nextFree_;
    if (nextFree_ >= growAt_ && growAt_ < kTableSize) {
        growAt_ *= 2;
        ++codeSize_;
    }
}

int64_t TDecoder::Fill(uint8_t* out, int64_t n)
{
    uint8_t* p = out;
    uint8_t* const end = out + n;
    if (endMet_) {
        status_ = kEndCode;
        return 0;
    }
    while (p < end) {
        if (pendingTop_ > 0) {
            const int take = static_cast<int>(std::min<int64_t>(pendingTop_, end - p));
            for (int i = 0; i < take; ++i)
                *p++ = pending_[--pendingTop_];
            continue;
        }
        int code = ReadCode(codeSize_);
        if (code < 0) {
            status_ = kExhausted;
            break;
        }
        if (code == clearCode_) {
            ResetTable();
            do {
                code = ReadCode(codeSize_);
                if (code < 0) {
                    status_ = kExhausted;
                    return p - out;
                }
                firstChar_ = prevCode_ = code;
            } while (code == clearCode_);
            // The first code after a clear is a pixel as it stands.
            *p++ = static_cast<uint8_t>(code);
            continue;
        }
        if (code == endCode_) {
            if (!inputDone_)
                SkipRest();
            endMet_ = true;
            status_ = kEndCode;
            break;
        }

        const int incoming = code;
        int extra = -1;
        if (code >= nextFree_) {
            // The string being defined (or an undefined code): the previous
            // string followed by the previous first pixel.
            extra = firstChar_;
            code = prevCode_;
        }
        const int len = length_[code];
        const int total = len + (extra >= 0 ? 1 : 0);
        if (len != 0 && total <= end - p) {
            uint8_t* q = p + len;
            if (extra >= 0)
                *q = static_cast<uint8_t>(extra);
            int c = code;
            while (c >= clearCode_) {
                *--q = suffix_[c];
                c = prefix_[c];
            }
            *--q = suffix_[c];
            firstChar_ = suffix_[c];
            p += total;
        } else {
            if (extra >= 0)
                Push(static_cast<uint8_t>(extra));
            int c = code;
            while (c >= clearCode_) {
                Push(suffix_[c]);
                if (prefix_[c] == c)
                    RaiseGIFError(gifmsg::CircularEntry);
                c = prefix_[c];
            }
            firstChar_ = suffix_[c];
            Push(static_cast<uint8_t>(firstChar_));
        }
        AddEntry();
        prevCode_ = incoming;
    }
    return p - out;
}

uint8_t FillIndexOf(TGIFSubImage& frame)
{
    if (frame.HasTransparency() && frame.ControlExtension())
        return frame.ControlExtension()->TransparentIndex();
    return 0;
}

} // namespace

void DecodePixels(TGIFSubImage& frame, TStream& stream)
{
    frame.AllocatePixels();
    TGIFDecoderAccess::SetFill(frame, FillIndexOf(frame));

    uint8_t initialCodeSize = 0;
    if (!TryReadByte(stream, initialCodeSize))
        return;
    if (initialCodeSize > kMaxInitialCodeSize) {
        // No table can hold the roots: the pixels keep their fill and the
        // data is passed over so that reading goes on after it.
        uint8_t n = 0;
        while (TryReadByte(stream, n) && n != 0)
            SkipForward(stream, n);
        return;
    }
    static_assert(kMaxInitialCodeSize + 1 == kMaxCodeSize);

    auto decoder = std::make_unique<TDecoder>(frame, stream, initialCodeSize);
    const int64_t width = frame.Width();
    const int height = frame.Height();
    const int64_t total = frame.PixelCount();

    // Decodes [pos, stop) of the pixel buffer, materialising it as it goes.
    auto decodeRange = [&](int64_t pos, int64_t stop) {
        while (pos < stop) {
            int64_t want = frame.StoredPixelCount();
            if (want <= pos)
                want = std::max({pos + std::min<int64_t>(stop - pos, kMinGrowth), 2 * want});
            uint8_t* data = TGIFDecoderAccess::Materialise(frame, std::min(want, total));
            const int64_t stored = frame.StoredPixelCount();
            const int64_t chunk = std::min(stop, stored) - pos;
            const int64_t got = decoder->Fill(data + pos, chunk);
            pos += got;
            if (got < chunk)
                return false;
        }
        return true;
    };

    if (total > 0) {
        if (!frame.IsInterlaced()) {
            decodeRange(0, total);
        } else {
            int row = 0;
            int pass = 0;
            int step = kInterlaceFirstStep;
            for (int i = 0; i < height; ++i) {
                const int64_t start = static_cast<int64_t>(row) * width;
                if (!decodeRange(start, start + width))
                    break;
                row += step;
                while (row >= height) {
                    if (pass > 0)
                        step /= 2;
                    ++pass;
                    row = step / 2;
                }
            }
        }
    }

    // One more pixel is asked for after the frame: normally it meets the end
    // code, which passes over the rest of the image data.
    uint8_t discard = 0;
    decoder->ResetStatus();
    decoder->Fill(&discard, 1);
}
