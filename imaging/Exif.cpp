#include "Exif.h"

#include <algorithm>
#include <optional>

namespace {

constexpr uint16_t kTagOrientation = 0x0112;
constexpr uint16_t kTagThumbnailOffset = 0x0201; // JPEGInterchangeFormat
constexpr uint16_t kTagThumbnailLength = 0x0202; // JPEGInterchangeFormatLength
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kEntryBytes = 12;
// Real blocks hold a few dozen entries per directory; more is damage.
constexpr uint16_t kMaxEntries = 1000;

class TiffReader {
public:
    explicit TiffReader(std::span<const uint8_t> bytes) : b_(bytes) {}

    // Reads the byte order and the offset of the first directory.
    std::optional<uint32_t> Header()
    {
        if (b_.size() < kHeaderBytes)
            return std::nullopt;
        if (b_[0] == 'I' && b_[1] == 'I')
            little_ = true;
        else if (b_[0] == 'M' && b_[1] == 'M')
            little_ = false;
        else
            return std::nullopt;
        if (U16(2) != 42)
            return std::nullopt;
        return U32(4);
    }

    uint16_t U16(size_t at) const
    {
        return little_ ? uint16_t(b_[at] | b_[at + 1] << 8) : uint16_t(b_[at] << 8 | b_[at + 1]);
    }
    uint32_t U32(size_t at) const
    {
        const uint32_t a = U16(at), b = U16(at + 2);
        return little_ ? a | b << 16 : a << 16 | b;
    }
    size_t Size() const { return b_.size(); }

    // Whether a directory of its entry count and next-directory offset fits.
    bool DirectoryFits(uint32_t at) const
    {
        if (at < kHeaderBytes || size_t(at) + 2 > b_.size())
            return false;
        const uint16_t n = U16(at);
        return n <= kMaxEntries && size_t(at) + 2 + size_t(n) * kEntryBytes + 4 <= b_.size();
    }

    // An entry's single SHORT or LONG value, held in the entry itself.
    std::optional<uint32_t> Value(size_t entry) const
    {
        const uint16_t type = U16(entry + 2);
        if (U32(entry + 4) != 1)
            return std::nullopt;
        if (type == kTypeShort)
            return U16(entry + 8);
        if (type == kTypeLong)
            return U32(entry + 8);
        return std::nullopt;
    }

private:
    std::span<const uint8_t> b_;
    bool little_ = true;
};

bool IsJpeg(std::span<const uint8_t> bytes) { return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8; }

} // namespace

TExifInfo ReadExif(std::span<const uint8_t> tiff)
{
    TExifInfo info;
    TiffReader r(tiff);
    const std::optional<uint32_t> ifd0 = r.Header();
    if (!ifd0 || !r.DirectoryFits(*ifd0))
        return info;
    int orientation = 1;
    const uint16_t n0 = r.U16(*ifd0);
    for (uint16_t i = 0; i < n0; ++i) {
        const size_t e = size_t(*ifd0) + 2 + size_t(i) * kEntryBytes;
        if (r.U16(e) != kTagOrientation)
            continue;
        const std::optional<uint32_t> v = r.Value(e);
        if (!v)
            return info; // a malformed orientation is damage
        orientation = (*v >= 1 && *v <= 8) ? int(*v) : 1;
    }
    // IFD1, the thumbnail's directory, follows IFD0; 0 means none.
    const uint32_t ifd1 = r.U32(size_t(*ifd0) + 2 + size_t(n0) * kEntryBytes);
    if (ifd1 != 0 && (ifd1 == *ifd0 || !r.DirectoryFits(ifd1)))
        return info;
    info.orientation = orientation;
    if (ifd1 == 0)
        return info;
    std::optional<uint32_t> offset, length;
    const uint16_t n1 = r.U16(ifd1);
    for (uint16_t i = 0; i < n1; ++i) {
        const size_t e = size_t(ifd1) + 2 + size_t(i) * kEntryBytes;
        const uint16_t tag = r.U16(e);
        if (tag == kTagThumbnailOffset)
            offset = r.Value(e);
        else if (tag == kTagThumbnailLength)
            length = r.Value(e);
    }
    // A thumbnail that is not wholly inside the block (some cameras cut the
    // block at 64 KB) or is no JPEG is simply not there.
    if (!offset || !length || *length == 0 || *offset < kHeaderBytes || size_t(*offset) > tiff.size() ||
        size_t(*length) > tiff.size() - size_t(*offset))
        return info;
    const std::span<const uint8_t> thumbnail = tiff.subspan(*offset, *length);
    if (IsJpeg(thumbnail))
        info.thumbnail = thumbnail;
    return info;
}

std::span<const uint8_t> FindJpegExif(std::span<const uint8_t> jpeg)
{
    static constexpr uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!IsJpeg(jpeg))
        return {};
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != 0xFF)
            return {};
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        // The image data begins (or ends): EXIF comes before it.
        if (marker == 0xDA || marker == 0xD9)
            return {};
        const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size())
            return {};
        const std::span<const uint8_t> payload = jpeg.subspan(at + 4, length - 2);
        if (marker == 0xE1 && payload.size() > sizeof kExifId && std::equal(kExifId, kExifId + 6, payload.begin()))
            return payload.subspan(sizeof kExifId);
        at += 2 + length;
    }
    return {};
}
