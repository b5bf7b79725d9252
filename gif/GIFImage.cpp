// The image, its header, the frame list and the block loop of the reader.
#include "GIFInternal.h"
#include "mygifimage.h"
#include "platform/Clipboard.h"
#include "platform/Picture.h"

#include <algorithm>
#include <cmath>
#include <exception>

void RegisterGIFImage()
{
    RegisterFileFormat("GIF", "GIF Image", [] { return std::make_unique<TMyGIFImage>(); });
    RegisterClipboardFormat(GIFClipboardFormat);
}

namespace {
// Pictures that open a .gif file get a TMyGIFImage.
const bool kRegistered = (RegisterGIFImage(), true);
} // namespace

void RaiseGIFError(const std::string& message)
{
    throw GIFException(message);
}

void ReadExact(TStream& stream, void* buffer, int64_t n)
{
    if (n > 0 && stream.Read(buffer, n) != n)
        RaiseGIFError(gifmsg::PrematureEnd);
}

uint8_t ReadRawByte(TStream& stream)
{
    uint8_t b = 0;
    if (!TryReadByte(stream, b))
        RaiseGIFError(gifmsg::PrematureEnd);
    return b;
}

// ---- items and lists --------------------------------------------------------

void TGIFItem::Warn(int severity, const std::string& message)
{
    if (ownerImage_)
        ownerImage_->Warning(*this, severity, message);
}

void TGIFItem::LoadFromFile(const std::string& path)
{
    TFileStream stream(path, FileMode::OpenRead);
    LoadFromStream(stream);
}

TGIFItem* TGIFList::Items(int index) const
{
    return items_.at(static_cast<size_t>(index)).get();
}

int TGIFList::Add(std::unique_ptr<TGIFItem> item)
{
    items_.push_back(std::move(item));
    return Count() - 1;
}

void TGIFList::Delete(int index)
{
    // Taken out first, so that the item's destructor sees a list without it.
    std::unique_ptr<TGIFItem> item = std::move(items_.at(static_cast<size_t>(index)));
    items_.erase(items_.begin() + index);
}

std::unique_ptr<TGIFItem> TGIFList::Remove(TGIFItem* item)
{
    const int index = IndexOf(item);
    if (index < 0)
        return nullptr;
    std::unique_ptr<TGIFItem> out = std::move(items_[static_cast<size_t>(index)]);
    items_.erase(items_.begin() + index);
    return out;
}

int TGIFList::IndexOf(const TGIFItem* item) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == item)
            return static_cast<int>(i);
    return -1;
}

void TGIFList::Clear()
{
    while (!items_.empty())
        Delete(0);
}

void TGIFList::Warn(int severity, const std::string& message)
{
    if (ownerImage_)
        ownerImage_->Warning(*this, severity, message);
}

TGIFSubImage* TMyGIFImageList::SubImage(int index) const
{
    return static_cast<TGIFSubImage*>(Items(index));
}

void TMyGIFImageList::LoadFromStream(TStream& stream, TMyGIFImage* parent, int maxFrames)
{
    while (maxFrames <= 0 || Count() < maxFrames) {
        uint8_t b = 0;
        // Zero bytes between blocks are padding.
        do {
            if (!TryReadByte(stream, b))
                return;
        } while (b == 0);
        StepBack(stream);
        if (b == 0x3B)
            return;
        if (b != 0x21 && b != 0x2C) {
            Warn(GIFWarningSeverity, gifmsg::UnknownBlockType);
            return;
        }
        auto frame = std::make_unique<TGIFSubImage>(parent);
        frame->LoadFromStream(stream);
        Add(std::move(frame));
        if (parent) {
            const int64_t size = stream.Size();
            const int percent = size > 0 ? static_cast<int>(std::lround(
                                               static_cast<double>(stream.Position()) * 100.0 / static_cast<double>(size)))
                                         : 0;
            parent->Progress(*this, TProgressStage::Running, percent, false, {}, gifmsg::Loading);
        }
    }
}

// ---- header and trailer -------------------------------------------------

TGIFHeader::TGIFHeader(TMyGIFImage* image) : TGIFItem(image), globalColors_(this) {}

void TGIFHeader::LoadFromStream(TStream& stream)
{
    const int64_t start = stream.Position();
    auto signatureMatches = [](const uint8_t* s) {
        auto up = [](uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c; };
        return up(s[0]) == 'G' && up(s[1]) == 'I' && up(s[2]) == 'F';
    };
    uint8_t signature[6];
    ReadExact(stream, signature, 6);
    if (!signatureMatches(signature)) {
        // Some writers put four bytes before the signature.
        stream.SetPosition(start + 4);
        ReadExact(stream, signature, 6);
        if (!signatureMatches(signature))
            RaiseGIFError(gifmsg::InvalidSignature);
    }
    // The version bytes are not looked at: any version loads.
    uint8_t lsd[7];
    ReadExact(stream, lsd, 7);
    ScreenWidth = GetLE16(lsd);
    ScreenHeight = GetLE16(lsd + 2);
    ScreenFlags = lsd[4];
    BackgroundIndex = lsd[5];
    AspectRatio = lsd[6];
    if (ScreenFlags & 0x80)
        globalColors_.LoadColors(stream, 2 << (ScreenFlags & 7));
    else
        globalColors_.Clear();
}

uint8_t TGIFHeader::ComputeScreenFlags() const
{
    const TMyGIFImage* image = OwnerImage();
    const int globalBits = globalColors_.ColorBits();
    int maxBits = globalBits;
    int localMax = 0;
    if (image) {
        for (int i = 0; i < image->FrameCount(); ++i) {
            const int bits = image->Frame(i)->LocalColors().ColorBits();
            maxBits = std::max(maxBits, bits);
            localMax = std::max(localMax, bits);
        }
    }
    uint8_t flags = 0;
    if (globalColors_.EntryCount() > 0) {
        flags |= 0x80;
        if (globalColors_.Sorted())
            flags |= 0x08;
    }
    // An empty table has 0 bits a pixel, so all-empty tables give 7 (mod 8).
    flags |= static_cast<uint8_t>(((maxBits - 1) & 7) << 4);
    const int sizeBits = globalColors_.EntryCount() > 0 ? globalBits : localMax;
    flags |= static_cast<uint8_t>((sizeBits - 1) & 7);
    return flags;
}

void TGIFTrailer::LoadFromStream(TStream& stream)
{
    uint8_t b = 0;
    if (TryReadByte(stream, b) && b != 0x3B)
        Warn(GIFWarningSeverity, gifmsg::InvalidTrailer);
}

// ---- image ----------------------------------------------------------------

TMyGIFImage::TMyGIFImage()
    : frames_(std::make_unique<TMyGIFImageList>(this)), header_(std::make_unique<TGIFHeader>(this))
{
    Clear();
}

TMyGIFImage::~TMyGIFImage()
{
    // A draw call up the stack notices (see TDrawState).
    drawState_->gone = true;
    StopAllPainters();
    {
        // Painters still listed (only ones running up the stack) forget us.
        std::lock_guard guard(drawState_->lock);
        for (TGIFPainter* painter : painters_)
            painter->image_ = nullptr;
        painters_.clear();
        currentPainter_ = nullptr;
    }
    // Frames first: their colour tables look at the header while they go.
    frames_->Clear();
}

void TMyGIFImage::Clear()
{
    StopAllPainters();
    // What the painters told from their threads, while its senders exist.
    DeliverPendingChange();
    cachedPalette_.reset();
    frames_->Clear();
    header_->GlobalColors().Clear();
    header_->ScreenWidth = 0;
    header_->ScreenHeight = 0;
    header_->ScreenFlags = header_->ComputeScreenFlags();
}

void TMyGIFImage::LoadFromStream(TStream& stream)
{
    LoadFromStream(stream, 0);
}

void TMyGIFImage::LoadFromStream(TStream& stream, int maxFrames)
{
    Progress(*this, TProgressStage::Starting, 0, false, {}, gifmsg::Loading);
    bool ok = false;
    try {
        Clear();
        const int64_t start = stream.Position();
        try {
            header_->LoadFromStream(stream);
            frames_->LoadFromStream(stream, this, maxFrames);
            if (maxFrames <= 0 || FrameCount() < maxFrames) {
                TGIFTrailer trailer(this);
                trailer.LoadFromStream(stream);
            }
        } catch (...) {
            // What was read before the failure stays; the stream goes back.
            stream.SetPosition(start);
            throw;
        }
        ok = true;
    } catch (...) {
        Progress(*this, TProgressStage::Ending, 0, true, {}, gifmsg::Loading);
        throw;
    }
    if (ok)
        Progress(*this, TProgressStage::Ending, 100, true, {}, gifmsg::Loading);
}

void TMyGIFImage::SetWidth(int value)
{
    for (int i = 0; i < FrameCount(); ++i)
        if (Frame(i)->Left() + Frame(i)->Width() > value)
            RaiseGIFError(gifmsg::WidthTooSmall);
    if (value != header_->ScreenWidth) {
        DropImageBitmap();
        header_->ScreenWidth = static_cast<uint16_t>(std::clamp(value, 0, 0xFFFF));
        Changed();
    }
}

void TMyGIFImage::SetHeight(int value)
{
    for (int i = 0; i < FrameCount(); ++i)
        if (Frame(i)->Top() + Frame(i)->Height() > value)
            RaiseGIFError(gifmsg::HeightTooSmall);
    if (value != header_->ScreenHeight) {
        DropImageBitmap();
        header_->ScreenHeight = static_cast<uint16_t>(std::clamp(value, 0, 0xFFFF));
        Changed();
    }
}

int TMyGIFImage::Add(std::unique_ptr<TGIFSubImage> frame)
{
    DropImageBitmap();
    const int index = frames_->Add(std::move(frame));
    Changed();
    return index;
}

void TMyGIFImage::Warning(TGIFObject& sender, int severity, const std::string& message)
{
    if (!OnGIFWarning)
        return;
    if (IsPainterThreadOf(this)) {
        std::lock_guard guard(noticeLock_);
        notices_.push_back({.sender = &sender, .progress = false, .severity = severity, .message = message});
        return;
    }
    OnGIFWarning(sender, severity, message);
}

void TMyGIFImage::Progress(TGIFObject& sender, TProgressStage stage, int percent, bool redraw,
                           const TGIFRect& rect, const std::string& message)
{
    if (!OnProgress)
        return;
    // A painter rendering ahead: handlers hear it on the GUI thread, at its
    // next step there (and cannot cancel from there).
    if (IsPainterThreadOf(this)) {
        std::lock_guard guard(noticeLock_);
        notices_.push_back({.sender = &sender,
                            .progress = true,
                            .stage = stage,
                            .percent = percent,
                            .redraw = redraw,
                            .rect = rect,
                            .message = message});
        return;
    }
    OnProgress(sender, stage, percent, redraw, rect, message);
}
