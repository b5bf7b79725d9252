// The image data encoders: the frame's pixels in writing order, the bit
// packing, the LZW encoder and the run-length encoder.
#include "GIFInternal.h"
#include "GIFWriter.h"
#include "mygifimage.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kMaxCode = 4095;
// Interlace passes: every 8th row from 0, every 8th from 4, every 4th from
// 2, every 2nd from 1.
constexpr int kPassStart[4] = {0, 4, 2, 1};
constexpr int kPassStep[4] = {8, 8, 4, 2};

} // namespace

// ---- common part ------------------------------------------------------------

void TGIFEncoder::EncodeFrame(TStream& stream, int bitsPerPixel, int colorCount, const uint8_t* pixels, int64_t stored,
                              uint8_t fill, bool interlaced, int height, int width)
{
    bitsPerPixel_ = std::max(bitsPerPixel, 2);
    colorCount_ = colorCount;
    width_ = width;
    height_ = height;
    interlaced_ = interlaced;
    initCodeSize_ = bitsPerPixel_ + 1;
    codeSize_ = initCodeSize_;
    maxCode_ = (1 << codeSize_) - 1;
    clearCode_ = 1 << bitsPerPixel_;
    endCode_ = clearCode_ + 1;
    firstFree_ = clearCode_ + 2;
    clearPending_ = false;
    bucket_ = 0;
    bits_ = 0;
    pixels_ = pixels;
    stored_ = pixels ? std::max<int64_t>(stored, 0) : 0;
    fill_ = fill;
    row_ = 0;
    pass_ = 0;
    rowsDone_ = false;
    rowsEmitted_ = 0;

    const auto minCodeSize = static_cast<uint8_t>(bitsPerPixel_);
    stream.WriteBuffer(&minCodeSize, 1);
    {
        TGIFWriter writer(stream);
        writer_ = &writer;
        if (pixels && width > 0 && height > 0) {
            Compress();
            EmitEnd();
        } else {
            EmitCode(endCode_);
        }
        FlushBits();
        writer.Flush();
        writer_ = nullptr;
    }
    const uint8_t terminator = 0;
    stream.WriteBuffer(&terminator, 1);
}

void TGIFEncoder::FlushBits()
{
    while (bits_ > 0) {
        writer_->PutByte(static_cast<uint8_t>(bucket_));
        bucket_ >>= 8;
        bits_ = std::max(bits_ - 8, 0);
    }
    bucket_ = 0;
}

const uint8_t* TGIFEncoder::NextRow()
{
    if (rowsDone_)
        return nullptr;
    const int y = row_;
    if (!interlaced_) {
        rowsDone_ = ++row_ >= height_;
    } else {
        row_ += kPassStep[pass_];
        // A pass without a row inside the frame is passed over.
        while (row_ >= height_) {
            if (++pass_ > 3) {
                rowsDone_ = true;
                break;
            }
            row_ = kPassStart[pass_];
        }
    }

    const int stored = interlaced_ && rowsInPassOrder_ ? rowsEmitted_ : y;
    ++rowsEmitted_;
    const int64_t start = static_cast<int64_t>(stored) * width_;
    const uint8_t* row = nullptr;
    if (start + width_ <= stored_) {
        row = pixels_ + start;
    } else {
        // Rows past what the frame holds read as its fill index.
        scratchRow_.assign(static_cast<size_t>(width_), fill_);
        if (start < stored_)
            std::memcpy(scratchRow_.data(), pixels_ + start, static_cast<size_t>(stored_ - start));
        row = scratchRow_.data();
    }
    if (colorCount_ < 256) {
        uint8_t highest = 0;
        for (int x = 0; x < width_; ++x)
            highest = std::max(highest, row[x]);
        if (highest >= colorCount_)
            RaiseGIFError(gifmsg::ColorNotInTable);
    }
    return row;
}

// ---- LZW ----------------------------------------------------------------------

void TLZWEncoder::Emit(int code)
{
    EmitCode(code);
    if (clearPending_) {
        codeSize_ = initCodeSize_;
        maxCode_ = (1 << codeSize_) - 1;
        clearPending_ = false;
    } else if (nextFree_ > maxCode_) {
        ++codeSize_;
        maxCode_ = codeSize_ >= 12 ? kMaxCode + 1 : (1 << codeSize_) - 1;
    }
}

void TLZWEncoder::ClearTable()
{
    clearPending_ = true;
    Emit(clearCode_);
    table_.Clear();
    // A new generation empties the memo without touching it.
    generation_ += 1u << 8;
    if (generation_ >= 1u << 20) {
        lastChild_.fill(0);
        generation_ = 1u << 8;
    }
    nextFree_ = firstFree_;
}

void TLZWEncoder::Compress()
{
    ClearTable();
    const uint8_t* row = NextRow();
    // The loop keeps its state in locals: emitting is rare, looking up is
    // what every pixel costs.
    uint32_t prefix = row[0];
    int nextFree = nextFree_;
    int x = 1;
    while (row) {
        const uint8_t* const end = row + width_;
        for (const uint8_t* p = row + x; p < end; ++p) {
            const uint32_t pixel = *p;
            // The last child met of each string answers most look-ups
            // without hashing; it holds only what the table holds.
            uint32_t& last = lastChild_[prefix];
            const uint32_t tag = generation_ | pixel;
            if ((last >> 12) == tag) {
                prefix = last & 0xFFF;
                continue;
            }
            const uint32_t key = (prefix << 8) | pixel;
            int slot = 0;
            const int code = table_.Probe(key, slot);
            if (code >= 0) {
                last = (tag << 12) | static_cast<uint32_t>(code);
                prefix = static_cast<uint32_t>(code);
                continue;
            }
            nextFree_ = nextFree;
            Emit(static_cast<int>(prefix));
            prefix = pixel;
            // The decoder's table ends at 4095: start over before it does.
            if (nextFree > kMaxCode - 1) {
                ClearTable();
                nextFree = nextFree_;
            } else {
                table_.SetSlot(slot, (key << 12) | static_cast<uint32_t>(nextFree));
                last = (tag << 12) | static_cast<uint32_t>(nextFree);
                ++nextFree;
            }
        }
        row = NextRow();
        x = 0;
    }
    nextFree_ = nextFree;
    Emit(static_cast<int>(prefix));
}

// ---- run-length ------------------------------------------------------------------

int64_t TRLEEncoder::ISqrt(int64_t x)
{
    if (x < 2)
        return x;
    int64_t r = 1;
    for (int64_t v = x; v; v >>= 2)
        r <<= 1;
    for (;;) {
        const int64_t v = (x / r + r) / 2;
        if (v == r || v == r + 1)
            return r;
        r = v;
    }
}

int64_t TRLEEncoder::TriangleCost(int64_t n, int64_t usable)
{
    // From a clear, codes stand for runs of 1, 2, ... usable pixels.
    const int64_t full = usable * (usable + 1) / 2;
    int64_t cost = 0;
    if (full > 0 && n >= full) {
        cost += (n / full) * usable;
        n %= full;
    }
    if (n > 0) {
        int64_t m = ISqrt(n);
        while (m > 0 && m * (m + 1) >= 2 * n)
            --m;
        while (m * (m + 1) < 2 * n)
            ++m;
        cost += m;
    }
    return cost;
}

void TRLEEncoder::Clear()
{
    growAt_ = growStart_;
    forcedClearAt_ = forcedClearStart_;
    outCount_ = 0;
    tableRun_ = 0;
    EmitCode(clearCode_);
    justCleared_ = true;
    codeSize_ = initCodeSize_;
}

void TRLEEncoder::OutputPlain(int code)
{
    justCleared_ = false;
    EmitCode(code);
    ++outCount_;
    // The decoder widens its codes when its table reaches the next power of
    // two, one entry per code after the first.
    if (outCount_ >= growAt_) {
        growAt_ += int64_t{1} << codeSize_;
        ++codeSize_;
    }
    if (outCount_ >= forcedClearAt_)
        Clear();
}

void TRLEEncoder::RestoreForcedClear()
{
    forcedClearAt_ = forcedClearStart_;
    if (outCount_ >= forcedClearAt_)
        Clear();
}

void TRLEEncoder::FlushFromClear(int64_t n)
{
    LiftForcedClear();
    tablePixel_ = runPixel_;
    int64_t k = 1;
    while (n > 0) {
        if (k == 1) {
            tableRun_ = 1;
            OutputPlain(runPixel_);
            n -= 1;
        } else if (n < k) {
            ++tableRun_;
            OutputPlain(n == 1 ? runPixel_ : static_cast<int>(firstFree_ + n - 2));
            n = 0;
        } else {
            tableRun_ = k;
            OutputPlain(static_cast<int>(firstFree_ + k - 2));
            n -= k;
        }
        k = outCount_ == 0 ? 1 : k + 1;
    }
    RestoreForcedClear();
}

void TRLEEncoder::FlushWithTable(int64_t n)
{
    const int64_t m = tableRun_;
    int64_t repeats = n / m;
    int64_t rest = n % m;
    int64_t restCost = rest > 0 ? 1 : 0;
    if (usableCodes_ < repeats + outCount_ + restCost) {
        repeats = usableCodes_ - outCount_;
        rest = n - m * repeats;
        restCost = TriangleCost(rest, usableCodes_) + 1;
    }
    if (TriangleCost(n, usableCodes_) + 1 < repeats + restCost) {
        Clear();
        FlushFromClear(n);
        return;
    }
    LiftForcedClear();
    for (int64_t i = 0; i < repeats; ++i)
        OutputPlain(static_cast<int>(firstFree_ + m - 2));
    if (rest > 0) {
        if (justCleared_)
            FlushFromClear(rest);
        else
            OutputPlain(rest == 1 ? runPixel_ : static_cast<int>(firstFree_ + rest - 2));
    }
    RestoreForcedClear();
}

void TRLEEncoder::FlushRun(int64_t n)
{
    if (n == 1) {
        OutputPlain(runPixel_);
    } else if (justCleared_) {
        FlushFromClear(n);
    } else if (tableRun_ > 1 && tablePixel_ == runPixel_) {
        FlushWithTable(n);
    } else if (TriangleCost(n, usableCodes_) + 1 < n) {
        Clear();
        FlushFromClear(n);
    } else {
        for (int64_t i = 0; i < n; ++i)
            OutputPlain(runPixel_);
    }
}

void TRLEEncoder::Compress()
{
    growStart_ = clearCode_ - 1;
    forcedClearStart_ = bitsPerPixel_ > 3 ? clearCode_ - 2 : 9;
    usableCodes_ = kMaxCode - firstFree_;
    tablePixel_ = 0;
    Clear();
    int64_t run = 0;
    for (const uint8_t* row = NextRow(); row; row = NextRow()) {
        for (int x = 0; x < width_; ++x) {
            const int p = row[x];
            if (run > 0 && p == runPixel_) {
                ++run;
                continue;
            }
            if (run > 0)
                FlushRun(run);
            runPixel_ = p;
            run = 1;
        }
    }
    if (run > 0)
        FlushRun(run);
}
