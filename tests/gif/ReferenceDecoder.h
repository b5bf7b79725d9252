#pragma once
// The decoder written plainly, one pixel at a time through the Pending
// stack, for differential tests of the codec's fast decoder.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace giftest {

struct ReferenceResult {
    std::vector<uint8_t> pixels;
    std::string error;        // "Circular decoder table entry" or ""
    int underruns = 0;
    int prematureEnds = 0;
    size_t position = 0;      // where the data was left
};

class ReferenceDecoder {
public:
    ReferenceDecoder(const std::vector<uint8_t>& data, int width, int height, bool interlaced, uint8_t fill)
        : data_(data), width_(width), height_(height), interlaced_(interlaced), fill_(fill)
    {
    }

    ReferenceResult Run()
    {
        ReferenceResult r;
        r.pixels.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), fill_);
        try {
            Decode(r);
        } catch (const std::runtime_error& e) {
            r.error = e.what();
        }
        r.underruns = underruns_;
        r.prematureEnds = premature_;
        r.position = pos_;
        return r;
    }

private:
    bool Byte(uint8_t& b)
    {
        if (pos_ >= data_.size())
            return false;
        b = data_[pos_++];
        return true;
    }

    void Decode(ReferenceResult& r)
    {
        uint8_t ics = 0;
        if (!Byte(ics))
            return;
        if (ics > 11) {
            // Nothing to decode with: the data is passed over.
            uint8_t n = 0;
            while (Byte(n) && n != 0)
                pos_ += n;
            return;
        }
        initial_ = ics;
        clear_ = 1 << ics;
        end_ = clear_ + 1;
        codeSize_ = ics + 1;
        growAt_ = 2 * clear_;
        nextFree_ = clear_ + 2;
        const size_t total = r.pixels.size();
        if (!interlaced_) {
            for (size_t i = 0; i < total; ++i) {
                const int px = Pixel();
                if (px < 0)
                    break;
                r.pixels[i] = static_cast<uint8_t>(px);
            }
        } else {
            int row = 0, pass = 0, step = 8;
            bool stop = false;
            for (int i = 0; i < height_ && !stop; ++i) {
                for (int x = 0; x < width_; ++x) {
                    const int px = Pixel();
                    if (px < 0) {
                        stop = true;
                        break;
                    }
                    r.pixels[static_cast<size_t>(row) * static_cast<size_t>(width_) + static_cast<size_t>(x)] =
                        static_cast<uint8_t>(px);
                }
                row += step;
                while (row >= height_) {
                    if (pass > 0)
                        step /= 2;
                    ++pass;
                    row = step / 2;
                }
            }
        }
        Pixel();
    }

    int Pixel()
    {
        if (!pending_.empty()) {
            const int v = pending_.back();
            pending_.pop_back();
            return v;
        }
        return Step();
    }

    void Push(int v)
    {
        if (pending_.size() >= 8192)
            throw std::runtime_error("Circular decoder table entry");
        pending_.push_back(v);
    }

    int Code(int w)
    {
        if (firstCall_) {
            firstCall_ = false;
            return clear_;
        }
        // A sub-block may be shorter than a code: refill until it is whole.
        for (bool refill = bitPos_ + w >= bitEnd_; refill; refill = !inputDone_ && bitPos_ + w > bitEnd_) {
            if (inputDone_) {
                if (bitPos_ >= bitEnd_)
                    ++underruns_;
                return -1;
            }
            buf_[0] = buf_[byteEnd_ - 2];
            buf_[1] = buf_[byteEnd_ - 1];
            uint8_t n = 0;
            if (!Byte(n))
                return -1;
            int got = 0;
            if (n == 0) {
                inputDone_ = true;
            } else {
                for (; got < n && pos_ < data_.size(); ++got)
                    buf_[2 + got] = data_[pos_++];
                if (got < n)
                    ++premature_;
            }
            byteEnd_ = got + 2;
            bitPos_ = bitPos_ - bitEnd_ + 16;
            bitEnd_ = (got + 2) * 8;
        }
        int code = 0;
        for (int i = 0; i < w; ++i) {
            const int bit = bitPos_ + i;
            code |= ((buf_[bit / 8] >> (bit % 8)) & 1) << i;
        }
        bitPos_ += w;
        return code;
    }

    int Step()
    {
        if (endMet_)
            return -2;
        int code = Code(codeSize_);
        if (code < 0)
            return code;
        if (code == clear_) {
            for (int i = 0; i < 4096; ++i) {
                prefix_[i] = 0;
                suffix_[i] = i < clear_ ? i : 0;
            }
            codeSize_ = initial_ + 1;
            growAt_ = 2 * clear_;
            nextFree_ = clear_ + 2;
            pending_.clear();
            do {
                code = Code(codeSize_);
                if (code < 0)
                    return code;
                firstChar_ = prevCode_ = code;
            } while (code == clear_);
            return code;
        }
        if (code == end_) {
            if (!inputDone_) {
                uint8_t n = 0;
                while (Byte(n) && n != 0)
                    pos_ += n;
            }
            endMet_ = true;
            return -2;
        }
        const int incoming = code;
        if (code >= nextFree_) {
            Push(firstChar_);
            code = prevCode_;
        }
        while (code >= clear_) {
            Push(suffix_[code]);
            if (prefix_[code] == code)
                throw std::runtime_error("Circular decoder table entry");
            code = prefix_[code];
        }
        firstChar_ = suffix_[code];
        Push(firstChar_);
        if (nextFree_ <= 4095) {
            prefix_[nextFree_] = prevCode_;
            suffix_[nextFree_] = firstChar_;
            ++nextFree_;
            if (nextFree_ >= growAt_ && growAt_ <= 4095) {
                growAt_ *= 2;
                ++codeSize_;
            }
        }
        prevCode_ = incoming;
        const int v = pending_.back();
        pending_.pop_back();
        return v;
    }

    const std::vector<uint8_t>& data_;
    size_t pos_ = 0;
    int width_, height_;
    bool interlaced_;
    uint8_t fill_;
    int initial_ = 0, clear_ = 0, end_ = 0, codeSize_ = 0, growAt_ = 0, nextFree_ = 0;
    int prevCode_ = 0, firstChar_ = 0;
    int prefix_[4096] = {}, suffix_[4096] = {};
    std::vector<int> pending_;
    uint8_t buf_[2 + 255 + 8] = {};
    int bitPos_ = 0, bitEnd_ = 0, byteEnd_ = 2;
    bool inputDone_ = false, firstCall_ = true, endMet_ = false;
    int underruns_ = 0, premature_ = 0;
};

} // namespace giftest
