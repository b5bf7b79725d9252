// Writing the object model back as a GIF stream: the sub-block writer, the
// header, frames, extensions, trailer and the image's save with progress.
#include "GIFWriter.h"

#include "GIFInternal.h"
#include "mygifimage.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

void PutByte(TStream& stream, uint8_t b)
{
    stream.WriteBuffer(&b, 1);
}

void PutLE16(TStream& stream, uint16_t v)
{
    const uint8_t b[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)};
    stream.WriteBuffer(b, 2);
}

// The entries, then zero entries up to 2^ColorBits.
void WriteColors(TStream& stream, const TGIFColorMap& map)
{
    const int n = map.EntryCount();
    if (n == 0)
        return;
    std::vector<uint8_t> table(static_cast<size_t>(3) << map.ColorBits(), 0);
    std::memcpy(table.data(), map.Entries(), static_cast<size_t>(n) * 3);
    stream.WriteBuffer(table.data(), static_cast<int64_t>(table.size()));
}

// One data sub-block of up to 255 bytes.
void PutSubBlock(TStream& stream, const uint8_t* data, size_t n)
{
    PutByte(stream, static_cast<uint8_t>(n));
    stream.WriteBuffer(data, static_cast<int64_t>(n));
}

} // namespace

// ---- the streams ---------------------------------------------------------------

int64_t TGIFStream::Read(void*, int64_t)
{
    RaiseGIFError(gifmsg::InvalidStreamOperation);
}

int64_t TGIFStream::Write(const void*, int64_t)
{
    RaiseGIFError(gifmsg::InvalidStreamOperation);
}

int64_t TGIFStream::Seek(int64_t, SeekOrigin)
{
    RaiseGIFError(gifmsg::InvalidStreamOperation);
}

int64_t TGIFStream::Size()
{
    RaiseGIFError(gifmsg::InvalidStreamOperation);
}

void TGIFStream::SetSize(int64_t)
{
    RaiseGIFError(gifmsg::InvalidStreamOperation);
}

void TGIFStream::Warn(int severity, const std::string& message)
{
    if (OnWarning)
        OnWarning(severity, message);
}

TGIFWriter::TGIFWriter(TStream& target) : TGIFStream(target), unwinding_(std::uncaught_exceptions()) {}

TGIFWriter::~TGIFWriter()
{
    // A failed encoding leaves the stream as far as it got; only a normal
    // end writes the partial block.
    if (fill_ > 1 && std::uncaught_exceptions() == unwinding_) {
        try {
            Flush();
        } catch (...) { // NOLINT(bugprone-empty-catch): no caller to tell
        }
    }
}

int64_t TGIFWriter::Write(const void* buffer, int64_t count)
{
    const auto* p = static_cast<const uint8_t*>(buffer);
    for (int64_t i = 0; i < count; ++i)
        PutByte(p[i]);
    return count;
}

void TGIFWriter::Flush()
{
    if (fill_ > 1) {
        buffer_[0] = static_cast<uint8_t>(fill_ - 1);
        Target().WriteBuffer(buffer_.data(), fill_);
    }
    fill_ = 1;
    pending_ = false;
}

// ---- extensions ----------------------------------------------------------------

void WriteSubBlockText(TStream& stream, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        for (size_t at = 0; at < line.size(); at += 255)
            PutSubBlock(stream, reinterpret_cast<const uint8_t*>(line.data()) + at, std::min<size_t>(255, line.size() - at));
    PutByte(stream, 0);
}

void TGIFExtension::SaveStart(TStream& stream) const
{
    PutByte(stream, 0x21);
    PutByte(stream, ExtensionLabel());
}

void TGIFGraphicControlExtension::SaveToStream(TStream& stream) const
{
    SaveStart(stream);
    PutByte(stream, 4);
    PutByte(stream, ControlFlags);
    PutLE16(stream, delay_);
    PutByte(stream, transparentIndex_);
    PutByte(stream, 0);
}

void TGIFTextExtension::SaveToStream(TStream& stream) const
{
    SaveStart(stream);
    PutByte(stream, 12);
    PutLE16(stream, TextGrid.Left);
    PutLE16(stream, TextGrid.Top);
    PutLE16(stream, TextGrid.Width);
    PutLE16(stream, TextGrid.Height);
    const uint8_t rest[4] = {TextGrid.CellWidth, TextGrid.CellHeight, TextGrid.ForegroundIndex,
                             TextGrid.BackgroundIndex};
    stream.WriteBuffer(rest, 4);
    WriteSubBlockText(stream, Lines);
}

void TGIFCommentExtension::SaveToStream(TStream& stream) const
{
    // A comment without text is not written: as an extension without data
    // sub-blocks it would stop readers that expect one.
    if (std::all_of(Lines.begin(), Lines.end(), [](const std::string& line) { return line.empty(); }))
        return;
    SaveStart(stream);
    WriteSubBlockText(stream, Lines);
}

void TGIFApplicationExtension::SaveToStream(TStream& stream) const
{
    SaveStart(stream);
    // The block holds at most 255 bytes.
    const size_t tail = std::min<size_t>(IdentifierTail.size(), 255 - Identifier.size());
    PutByte(stream, static_cast<uint8_t>(Identifier.size() + tail));
    stream.WriteBuffer(Identifier.data(), static_cast<int64_t>(Identifier.size()));
    if (tail > 0)
        stream.WriteBuffer(IdentifierTail.data(), static_cast<int64_t>(tail));
    WriteData(stream);
    PutByte(stream, 0);
}

void TGIFUnknownAppExtension::WriteData(TStream& stream) const
{
    for (const TGIFBlock& block : RawBlocks)
        if (block.Size() > 0)
            PutSubBlock(stream, block.Data.data(), block.Size());
}

void TGIFAppExtNSLoop::WriteData(TStream& stream) const
{
    const uint8_t loop[4] = {3, 1, static_cast<uint8_t>(LoopCount & 0xFF), static_cast<uint8_t>(LoopCount >> 8)};
    stream.WriteBuffer(loop, 4);
    if (BufferLength != 0) {
        const uint8_t buffer[6] = {5,
                                   2,
                                   static_cast<uint8_t>(BufferLength & 0xFF),
                                   static_cast<uint8_t>((BufferLength >> 8) & 0xFF),
                                   static_cast<uint8_t>((BufferLength >> 16) & 0xFF),
                                   static_cast<uint8_t>(BufferLength >> 24)};
        stream.WriteBuffer(buffer, 6);
    }
}

// ---- items -------------------------------------------------------------------------

void TGIFItem::SaveToFile(const std::string& path) const
{
    TFileStream stream(path, FileMode::Create);
    SaveToStream(stream);
}

void TGIFList::SaveToStream(TStream& stream) const
{
    for (const auto& item : items_)
        item->SaveToStream(stream);
}

void TGIFTrailer::SaveToStream(TStream& stream) const
{
    PutByte(stream, 0x3B);
}

void TGIFHeader::SaveToStream(TStream& stream) const
{
    const int version = OwnerImage() ? OwnerImage()->Version() : 0;
    if (version < 1)
        RaiseGIFError(gifmsg::UnsupportedVersion);
    stream.WriteBuffer(version >= 2 ? "GIF89a" : "GIF87a", 6);
    const uint8_t flags = ComputeScreenFlags();
    PutLE16(stream, ScreenWidth);
    PutLE16(stream, ScreenHeight);
    PutByte(stream, flags);
    PutByte(stream, BackgroundIndex);
    PutByte(stream, AspectRatio);
    if (flags & 0x80)
        WriteColors(stream, globalColors_);
}

// ---- frames ----------------------------------------------------------------------------

uint8_t TGIFSubImage::ComputeImageFlags() const
{
    // Interlace and the two reserved bits stay as they are.
    auto flags = static_cast<uint8_t>(descriptor_.ImageFlags & 0x58);
    if (localColors_.EntryCount() > 0) {
        flags |= 0x80;
        if (localColors_.Sorted())
            flags |= 0x20;
        flags |= static_cast<uint8_t>((localColors_.ColorBits() - 1) & 7);
    }
    return flags;
}

void TGIFSubImage::SaveToStream(TStream& stream) const
{
    extensions_.SaveToStream(stream);
    if (IsEmpty())
        return;
    PutByte(stream, 0x2C);
    PutLE16(stream, descriptor_.Left);
    PutLE16(stream, descriptor_.Top);
    PutLE16(stream, descriptor_.Width);
    PutLE16(stream, descriptor_.Height);
    PutByte(stream, ComputeImageFlags());
    WriteColors(stream, localColors_);
    CompressFrame(stream);
}

void TGIFSubImage::CompressFrame(TStream& stream) const
{
    int bits = 0;
    int colors = 0;
    if (localColors_.EntryCount() > 0) {
        bits = localColors_.ColorBits();
        colors = localColors_.EntryCount();
    } else {
        const TMyGIFImage* image = OwnerImage();
        if (image) {
            bits = image->Header().GlobalColors().ColorBits();
            for (int i = 0; i < image->FrameCount(); ++i)
                bits = std::max(bits, image->Frame(i)->LocalColors().ColorBits());
        }
        colors = 1 << bits;
    }
    const bool runLength = OwnerImage() && OwnerImage()->Compression == 1;
    TLZWEncoder lzw;
    TRLEEncoder rle;
    TGIFEncoder& encoder = runLength ? static_cast<TGIFEncoder&>(rle) : lzw;
    // Pixels not yet materialised are the fill index; the encoder reads them
    // as such instead of growing the buffer.
    static const uint8_t kNone = 0;
    const uint8_t* pixels = StoredPixelCount() > 0 ? StoredPixels() : &kNone;
    encoder.SetRowsInPassOrder(StoredInPassOrder());
    encoder.EncodeFrame(stream, bits, colors, pixels, StoredPixelCount(), fill_, IsInterlaced(), Height(), Width());
}

// ---- the image ---------------------------------------------------------------------------

int TMyGIFImage::Version() const
{
    int version = 0;
    for (int i = 0; i < FrameCount(); ++i) {
        version = std::max(version, Frame(i)->Version());
        if (version >= 2)
            break;
    }
    return version;
}

void TMyGIFImage::SaveToStream(TStream& stream) const
{
    // Progress goes through the notification path, which takes a sender it
    // may change; saving itself changes nothing.
    auto& self = const_cast<TMyGIFImage&>(*this);
    self.Progress(self, TProgressStage::Starting, 0, false, {}, gifmsg::Saving);
    try {
        header_->SaveToStream(stream);
        const int count = FrameCount();
        for (int i = 0; i < count; ++i) {
            Frame(i)->SaveToStream(stream);
            self.Progress(self, TProgressStage::Running, GIFMulDiv(i + 1, 100, count), false, {}, gifmsg::Saving);
        }
        TGIFTrailer trailer(&self);
        trailer.SaveToStream(stream);
    } catch (...) {
        self.Progress(self, TProgressStage::Ending, 0, true, {}, gifmsg::Saving);
        throw;
    }
    self.Progress(self, TProgressStage::Ending, 100, true, {}, gifmsg::Saving);
}
