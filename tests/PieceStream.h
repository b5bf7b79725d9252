#pragma once
// A stream that is not a memory stream, so readers take their piece-by-piece
// path (zlib in pieces instead of the one-call inflater): the reference the
// fast path is checked and measured against.
#include "platform/Stream.h"

#include <cstdint>
#include <vector>

class PieceStream : public TStream {
public:
    explicit PieceStream(const std::vector<uint8_t>& bytes) : inner_(bytes) {}
    int64_t Read(void* buffer, int64_t count) override { return inner_.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override { return inner_.Write(buffer, count); }
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    void SetSize(int64_t newSize) override { inner_.SetSize(newSize); }

private:
    TMemoryStream inner_;
};
