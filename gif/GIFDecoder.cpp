// The LZW decoder of a frame's image data.
//
// The decoder reads the stream one data sub-block at a time into a bit
// buffer whose first two bytes carry the last two bytes of the previous
// sub-block, so a code may span the border. A table string that fits in the
// materialised pixels is written straight into the frame: copied from where
// the decoder wrote it before, or, failing that, by walking its chain. A string that does not fit goes through the
// Pending stack and is handed out from there, which is also what keeps the
// behaviour at the end of a frame exact.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

class TGIFDecoderAccess {
public:
    static void SetFill(TGIFSubImage& frame, uint8_t fill) { frame.fill_ = fill; }
    static void SetPassOrder(TGIFSubImage& frame) { frame.passOrder_ = frame.IsInterlaced(); }
    static void Reserve(TGIFSubImage& frame, int64_t n) { frame.pixels_.reserve(static_cast<size_t>(n)); }
    // Gives back room that the data did not fill.
    static void Trim(TGIFSubImage& frame)
    {
        auto& v = frame.pixels_;
        if (v.capacity() > v.size() + v.size() / 2 + 4096)
            v.shrink_to_fit();
    }
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
constexpr int kWord = 8;
constexpr int32_t kNoString = INT32_MIN;
// Strings are found by a 32-bit position; frames beyond it walk the chain.
constexpr int64_t kMaxOffset = INT32_MAX;
constexpr int kBufferSize = kCarried + 255 + 8; // slack for the 4-byte code fetch

// Pixels are materialised in growing steps, never much ahead of the data.
constexpr int64_t kMinGrowth = 64;
// Room is set aside up front for this many pixels per byte left in the
// stream: real images rarely compress better, and a few hundred bytes
// claiming a huge frame get no more than this.
constexpr int64_t kReservePerByte = 64;

enum : int { kExhausted = -1, kEndCode = -2 };

class TDecoder {
public:
    TDecoder(TGIFSubImage& frame, TStream& stream, int initialCodeSize)
        : stream_(stream), frame_(frame), fill_(frame.FillIndex()), initialCodeSize_(initialCodeSize)
    {
        clearCode_ = 1 << initialCodeSize;
        endCode_ = clearCode_ + 1;
        codeSize_ = initialCodeSize + 1;
        growAt_ = 2 * clearCode_;
        nextFree_ = clearCode_ + 2;
        for (int i = 0; i < kTableSize; ++i) {
            table_[i].Prefix = 0;
            suffix_[i] = i < clearCode_ ? static_cast<uint8_t>(i) : 0;
            // An entry at or above the clear code that nothing has defined
            // reads as the string (0, 0).
            table_[i].Length = i < clearCode_ ? 1 : 2;
            table_[i].Offset = i < clearCode_ ? RootOffset(i) : kNoString;
        }
        std::memset(suffix_ + kTableSize, 0, kWord);
        std::memset(buffer_, 0, sizeof buffer_);
    }

    // Writes up to n pixels at base + pos; answers how many. Fewer than n
    // means the data ended (Status() says how). The buffer holds stored
    // bytes; those that earlier calls wrote must still hold what they wrote.
    int64_t Fill(uint8_t* base, int64_t stored, int64_t pos, int64_t n);
    int Status() const { return status_; }
    void ResetStatus() { status_ = 0; }

private:
    bool Refill();
    void ResetTable();
    void SkipRest();
    void Push(uint8_t pixel)
    {
        // A chain that loops through several codes would grow without end.
        if (pendingTop_ >= kPendingSize)
            RaiseGIFError(gifmsg::CircularEntry);
        pending_[pendingTop_++] = pixel;
    }

    TStream& stream_;
    TGIFSubImage& frame_;
    uint8_t fill_;

    int initialCodeSize_;
    int clearCode_;
    int endCode_;
    int codeSize_;
    int growAt_;
    int nextFree_;
    int prevCode_ = 0;
    int firstChar_ = 0;

    // Entry i is the string Prefix[i] followed by the pixel Suffix[i]. Its
    // Length is the string's length when the chain strictly descends to a
    // root (always, for well-formed data), 0 when it must be walked with the
    // checks of the general path. Offset is where the string already stands,
    // whole and in order, in the pixel buffer (negative for a root, whose
    // string is its Suffix entry; kNoString when it stands nowhere). Length
    // and offset sit together: the fast path reads both.
    struct TEntry {
        int32_t Offset;
        uint16_t Length;
        uint16_t Prefix;
    };
    TEntry table_[kTableSize];
    uint8_t suffix_[kTableSize + kWord];

    // A root's one-pixel string is its Suffix entry (Suffix[i] = i), found
    // through a negative offset from the end of that table.
    static int32_t RootOffset(int i) { return i - kTableSize; }
    const uint8_t* RootBase() const { return suffix_ + kTableSize; }

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
        table_[i].Prefix = 0;
        suffix_[i] = 0;
        table_[i].Length = 2;
        table_[i].Offset = kNoString;
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

int64_t TDecoder::Fill(uint8_t* base, int64_t stored, int64_t pos, int64_t n)
{
    if (endMet_) {
        status_ = kEndCode;
        return 0;
    }
    // The hot state lives in locals: stores of pixels through a byte pointer
    // would otherwise force every member to be reloaded.
    uint8_t* const out = base + pos;
    uint8_t* p = out;
    uint8_t* const end = out + n;
    int bitPos = bitPos_;
    int bitEnd = bitEnd_;
    int codeSize = codeSize_;
    int nextFree = nextFree_;
    int growAt = growAt_;
    int prevCode = prevCode_;
    int firstChar = firstChar_;
    const int clearCode = clearCode_;
    // Where the previous step's output began, when it is that code's string
    // standing whole in this call's stretch of the buffer.
    int64_t prevStart = -1;
    // Word copies may have written a few bytes past p.
    bool overrun = false;

    uint32_t codeMask = (1u << codeSize) - 1;
    auto readCode = [&]() -> int {
        const int w = codeSize;
        if (bitPos + w >= bitEnd) {
            // A sub-block may hold fewer bits than one code (a single byte
            // against codes of up to 12 bits), so refill until the code is
            // whole or the terminator came. Fewer than w bits are left over
            // each time, and the two carried bytes hold them.
            bitPos_ = bitPos;
            bitEnd_ = bitEnd;
            bool ok;
            do
                ok = Refill();
            while (ok && !inputDone_ && bitPos_ + w > bitEnd_);
            bitPos = bitPos_;
            bitEnd = bitEnd_;
            if (!ok)
                return kExhausted;
        }
        // One load of four bytes (the buffer has slack), little-endian.
        const uint8_t* b = buffer_ + (bitPos >> 3);
        uint32_t bits;
        std::memcpy(&bits, b, sizeof bits);
        if constexpr (std::endian::native == std::endian::big)
            bits = __builtin_bswap32(bits);
        const int shift = bitPos & 7;
        bitPos += w;
        return static_cast<int>((bits >> shift) & codeMask);
    };

    // Pixels of a string that did not fit go out first.
    auto drainPending = [&] {
        const int take = static_cast<int>(std::min<int64_t>(pendingTop_, end - p));
        for (int i = 0; i < take; ++i)
            *p++ = pending_[--pendingTop_];
    };
    drainPending();
    // Decoding always starts with a table reset.
    bool injectClear = firstCall_;
    firstCall_ = false;
    const uint8_t* const rootBase = RootBase();
    const uint8_t* const storedEnd = base + stored;

    while (p < end) {
        int code;
        if (injectClear) {
            injectClear = false;
            code = clearCode;
        } else {
            code = readCode();
        }
        if (code < 0) {
            status_ = kExhausted;
            break;
        }
        if (code == clearCode) {
            nextFree_ = nextFree;
            ResetTable();
            codeSize = codeSize_;
            codeMask = (1u << codeSize) - 1;
            nextFree = nextFree_;
            growAt = growAt_;
            do {
                code = readCode();
                if (code < 0)
                    break;
                firstChar = prevCode = code;
            } while (code == clearCode);
            if (code < 0) {
                status_ = kExhausted;
                break;
            }
            // The first code after a clear is a pixel as it stands.
            prevStart = code < clearCode ? (p - base) : -1;
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
        const int oldNextFree = nextFree;
        int extra = -1;
        if (code >= nextFree) {
            // The string being defined (or an undefined code): the previous
            // string followed by the previous first pixel.
            extra = firstChar;
            code = prevCode;
        }
        const int len = table_[code].Length;
        const int total = len + (extra >= 0 ? 1 : 0);
        const int oldFirst = firstChar;
        int64_t start = -1;
        if (len != 0 && total <= end - p) {
            start = p - base;
            const int32_t from = table_[code].Offset;
            if (from != kNoString) {
                // The string stands elsewhere in the buffer (decoded before,
                // so never in the stretch still to be written) or is a root:
                // copy it in words when there is room to run over, the
                // overrun being overwritten by what follows.
                // Reads past a string are bounded by what is stored.
                // Roots and longer strings come mixed at random: selects,
                // not branches.
                const bool root = from < 0;
                const uint8_t* const origin = root ? rootBase : base;
                const uint8_t* const limit = root ? rootBase + kWord : storedEnd;
                const uint8_t* src = origin + from;
                const int64_t readable = limit - src;
                if (len <= 4 && kWord <= end - p && readable >= 4) {
                    // Short strings were mostly written moments ago: byte
                    // moves, because a word load across those recent stores
                    // would stall.
                    p[0] = src[0];
                    p[1] = src[1];
                    p[2] = src[2];
                    p[3] = src[3];
                    overrun = true;
                } else if (len + kWord <= end - p && len + kWord <= readable) {
                    for (int i = 0; i < len; i += kWord) {
                        uint64_t word;
                        std::memcpy(&word, src + i, kWord);
                        std::memcpy(p + i, &word, kWord);
                    }
                    overrun = true;
                } else {
                std::memmove(p, src, static_cast<size_t>(len));
                }
                firstChar = src[0];
            } else {
                uint8_t* q = p + len;
                int c = code;
                while (c >= clearCode) {
                    *--q = suffix_[c];
                    c = table_[c].Prefix;
                }
                *--q = suffix_[c];
                firstChar = suffix_[c];
            }
            if (extra >= 0)
                p[len] = static_cast<uint8_t>(extra);
            p += total;
        } else {
            if (extra >= 0)
                Push(static_cast<uint8_t>(extra));
            int c = code;
            while (c >= clearCode) {
                Push(suffix_[c]);
                if (table_[c].Prefix == c)
                    RaiseGIFError(gifmsg::CircularEntry);
                c = table_[c].Prefix;
            }
            firstChar = suffix_[c];
            Push(static_cast<uint8_t>(firstChar));
            drainPending();
        }

        if (nextFree < kTableSize) {
            table_[nextFree].Prefix = static_cast<uint16_t>(prevCode);
            suffix_[nextFree] = static_cast<uint8_t>(firstChar);
            // Only an entry built on an older, itself descending entry descends.
            const bool descends = prevCode < nextFree && table_[prevCode].Length != 0;
            table_[nextFree].Length = descends ? static_cast<uint16_t>(table_[prevCode].Length + 1) : 0;
            // The new string is the previous output followed by this one's
            // first pixel, which went to the very next position.
            table_[nextFree].Offset = (descends && prevStart >= 0) ? static_cast<int32_t>(prevStart) : kNoString;
            ++nextFree;
            if (nextFree >= growAt && growAt < kTableSize) {
                growAt *= 2;
                ++codeSize;
                codeMask = (1u << codeSize) - 1;
            }
        }
        // This step's output is its code's string: a defined code, or the
        // code of the entry just made when the first pixels agree.
        const bool isString = extra < 0 || (incoming == oldNextFree && oldFirst == firstChar);
        prevStart = (start >= 0 && isString && start <= kMaxOffset) ? start : -1;
        prevCode = incoming;
    }

    // Pixels past the last one decoded keep the fill.
    if (overrun)
        std::memset(p, fill_, static_cast<size_t>(std::min<int64_t>(kWord, end - p)));
    bitPos_ = bitPos;
    bitEnd_ = bitEnd;
    codeSize_ = codeSize;
    nextFree_ = nextFree;
    growAt_ = growAt;
    prevCode_ = prevCode;
    firstChar_ = firstChar;
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
    const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
    TGIFDecoderAccess::Reserve(frame, std::min(frame.PixelCount(), left * kReservePerByte));
    // String offsets are 32-bit: beyond that a frame's pixels keep their fill
    // (no bitmap of that size can be made from it anyway).
    const int64_t total = std::min(frame.PixelCount(), kMaxOffset);

    // The pixels in the order they come, the buffer materialised as decoding
    // reaches it. An interlaced frame's rows are stored in that order too,
    // pass by pass, so that it earns storage only by the pixels the stream
    // supplies, as any other frame.
    TGIFDecoderAccess::SetPassOrder(frame);
    for (int64_t pos = 0; pos < total;) {
        int64_t want = frame.StoredPixelCount();
        if (want <= pos)
            want = std::max({pos + std::min<int64_t>(total - pos, kMinGrowth), 2 * want});
        uint8_t* data = TGIFDecoderAccess::Materialise(frame, std::min(want, total));
        const int64_t stored = frame.StoredPixelCount();
        const int64_t chunk = stored - pos;
        const int64_t got = decoder->Fill(data, stored, pos, chunk);
        pos += got;
        if (got < chunk)
            break;
    }

    // One more pixel is asked for after the frame: normally it meets the end
    // code, which passes over the rest of the image data.
    uint8_t discard = 0;
    decoder->ResetStatus();
    decoder->Fill(&discard, 1, 0, 1);
    TGIFDecoderAccess::Trim(frame);
}
