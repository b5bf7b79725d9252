#pragma once
// Writing image data: the sub-block writer and the two encoders (LZW with
// its fixed hash table, and run-length codes that need no string table).
#include "platform/Stream.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace gifmsg {
inline constexpr const char* UnsupportedVersion = "Unsupported GIF version";
inline constexpr const char* ColorNotInTable = "Color not in color table";
inline constexpr const char* InvalidStreamOperation = "Invalid stream operation";
inline constexpr const char* Saving = "Saving...";
inline constexpr const char* ClipboardRefused = "Failed to store GIF on clipboard";
inline constexpr const char* UnsupportedClipboardFormat = "Unsupported clipboard format";
} // namespace gifmsg

// A stream that only forwards to a target through its own operations; plain
// reading, writing and seeking fail with "Invalid stream operation".
class TGIFStream : public TStream {
public:
    using TWarning = std::function<void(int severity, const std::string& message)>;

    explicit TGIFStream(TStream& target) : target_(target) {}
    TStream& Target() const { return target_; }
    TWarning OnWarning;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override;
    void SetSize(int64_t newSize) override;

protected:
    void Warn(int severity, const std::string& message);

private:
    TStream& target_;
};

// Packs bytes into data sub-blocks of up to 255 bytes. A full block goes
// out at once; a partial one on Flush or destruction. It never writes an
// empty sub-block: the terminator is the caller's.
class TGIFWriter : public TGIFStream {
public:
    explicit TGIFWriter(TStream& target);
    // Writes a pending partial block unless an exception is unwinding.
    // Callers that must see a write error call Flush first, as the encoder
    // does: a stream's destructor cannot pass an error on.
    ~TGIFWriter() override;

    int64_t Write(const void* buffer, int64_t count) override;
    void PutByte(uint8_t b)
    {
        buffer_[fill_++] = b;
        pending_ = true;
        if (fill_ == kBlockEnd)
            Flush();
    }
    void Flush();
    bool OutputPending() const { return pending_; }
    int Held() const { return fill_ - 1; }

private:
    static constexpr int kBlockEnd = 256;
    std::array<uint8_t, 256> buffer_{}; // [0] length, [1..255] data
    int fill_ = 1;
    bool pending_ = false;
    int unwinding_;
};

// The string table of the LZW encoder: 8009 slots of (key shl 12) or code,
// key = (prefix shl 8) or pixel, probed by secondary hashing. No allocation
// per string; clearing is one fill.
class THashTable {
public:
    static constexpr int kSize = 8009; // a prime
    static constexpr uint32_t kEmpty = 0xFFFFFFFF;

    THashTable() { Clear(); }
    void Clear() { slots_.fill(kEmpty); }
    // Takes the first empty slot on the key's probe path.
    void Insert(uint32_t key, int code)
    {
        int h = FirstSlot(key);
        const int step = Step(h);
        while (slots_[static_cast<size_t>(h)] != kEmpty) {
            h -= step;
            if (h < 0)
                h += kSize;
        }
        slots_[static_cast<size_t>(h)] = (key << 12) | static_cast<uint32_t>(code);
    }
    // The code stored for key, or -1.
    int Lookup(uint32_t key) const
    {
        int slot = 0;
        return Probe(key, slot);
    }
    // The code stored for key, or -1 with emptySlot the first empty slot of
    // the probe path, where Insert would put the key.
    int Probe(uint32_t key, int& emptySlot) const
    {
        const uint32_t tag = key << 12;
        int h = FirstSlot(key);
        // Most look-ups end at the first slot.
        uint32_t v = slots_[static_cast<size_t>(h)];
        if ((v & ~0xFFFu) == tag)
            return static_cast<int>(v & 0xFFF);
        const int step = Step(h);
        for (;;) {
            v = slots_[static_cast<size_t>(h)];
            if (v == kEmpty) {
                emptySlot = h;
                return -1;
            }
            if ((v & ~0xFFFu) == tag)
                return static_cast<int>(v & 0xFFF);
            h -= step;
            if (h < 0)
                h += kSize;
        }
    }
    void SetSlot(int index, uint32_t value) { slots_[static_cast<size_t>(index)] = value; }
    uint32_t Slot(int index) const { return slots_[static_cast<size_t>(index)]; }
    static int FirstSlot(uint32_t key) { return static_cast<int>((key ^ (key >> 4)) % kSize); }
    // The step stays the same along a path; with a prime size the path
    // reaches every slot.
    static int Step(int firstSlot) { return firstSlot == 0 ? 1 : kSize - firstSlot; }

private:
    std::array<uint32_t, kSize> slots_;
};

// One frame's worth of encoding state, shared by both encoders.
class TGIFEncoder {
public:
    virtual ~TGIFEncoder() = default;
    TGIFEncoder() = default;
    TGIFEncoder(const TGIFEncoder&) = delete;
    TGIFEncoder& operator=(const TGIFEncoder&) = delete;

    // Writes the minimum code size byte, the codes in sub-blocks and the
    // block terminator. pixels holds stored of the width x height indices
    // row by row; the rest are fill.
    void EncodeFrame(TStream& stream, int bitsPerPixel, int colorCount, const uint8_t* pixels, int64_t stored,
                     uint8_t fill, bool interlaced, int height, int width);
    // An interlaced frame read from a stream stores its rows pass by pass,
    // which is the order they are written in.
    void SetRowsInPassOrder(bool value) { rowsInPassOrder_ = value; }
    void EncodeFrame(TStream& stream, int bitsPerPixel, int colorCount, const uint8_t* pixels, bool interlaced,
                     int height, int width)
    {
        EncodeFrame(stream, bitsPerPixel, colorCount, pixels, static_cast<int64_t>(width) * height, 0, interlaced,
                    height, width);
    }

protected:
    // Reads the pixels in NextPixel order and emits their codes.
    virtual void Compress() = 0;
    // Emits the end code (each encoder keeps its own code size rules).
    virtual void EmitEnd() { EmitCode(endCode_); }

    // Adds code to the bit bucket at the current code size; whole bytes go
    // to the writer.
    void EmitCode(int code)
    {
        bucket_ |= static_cast<uint64_t>(code) << bits_;
        bits_ += codeSize_;
        while (bits_ >= 8) {
            writer_->PutByte(static_cast<uint8_t>(bucket_));
            bucket_ >>= 8;
            bits_ -= 8;
        }
    }
    void FlushBits();

    // The next row in the frame's row order (top to bottom, or the four
    // interlace passes), or nullptr when every row was given. The row is
    // checked against the colour count.
    const uint8_t* NextRow();

    int bitsPerPixel_ = 0;
    int colorCount_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool interlaced_ = false;
    int initCodeSize_ = 0;
    int codeSize_ = 0;
    int maxCode_ = 0;
    int clearCode_ = 0;
    int endCode_ = 0;
    int firstFree_ = 0;
    bool clearPending_ = false;

private:
    uint64_t bucket_ = 0;
    int bits_ = 0;
    const uint8_t* pixels_ = nullptr;
    int64_t stored_ = 0;
    uint8_t fill_ = 0;
    int row_ = 0;
    int pass_ = 0;
    bool rowsDone_ = false;
    bool rowsInPassOrder_ = false;
    int rowsEmitted_ = 0;
    std::vector<uint8_t> scratchRow_;
    TGIFWriter* writer_ = nullptr;
};

class TLZWEncoder : public TGIFEncoder {
protected:
    void Compress() override;
    void EmitEnd() override { Emit(endCode_); }

private:
    void Emit(int code);
    void ClearTable();

    int nextFree_ = 0;
    THashTable table_;
    // Per string code, the child last looked up or added: (generation or
    // pixel) shl 12, or its code. Entries of an older generation (before
    // the last clear) never match.
    std::array<uint32_t, 4096> lastChild_{};
    uint32_t generation_ = 0; // 1..4095 shl 8, never 0 once running
};

// Codes for runs of one pixel value, built on the decoder's table growing
// by one entry per code after a clear.
class TRLEEncoder : public TGIFEncoder {
public:
    // The codes a run of n takes from a clear on, with u usable codes.
    static int64_t TriangleCost(int64_t n, int64_t usable);
    static int64_t ISqrt(int64_t x);

protected:
    void Compress() override;

private:
    void Clear();
    void OutputPlain(int code);
    void FlushRun(int64_t n);
    void FlushFromClear(int64_t n);
    void FlushWithTable(int64_t n);
    void LiftForcedClear() { forcedClearAt_ = usableCodes_; }
    void RestoreForcedClear();

    int runPixel_ = 0;
    int64_t outCount_ = 0;
    int64_t growAt_ = 0;
    int64_t growStart_ = 0;
    int64_t forcedClearAt_ = 0;
    int64_t forcedClearStart_ = 0;
    int64_t tableRun_ = 0;
    int tablePixel_ = 0;
    int64_t usableCodes_ = 0;
    bool justCleared_ = false;
};
