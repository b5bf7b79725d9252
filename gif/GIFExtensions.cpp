// Extension blocks: graphic control, plain text, comment and application
// extensions (the loop extension and unknown ones), their registries and the
// reading of a frame's run of extensions.
#include "GIFInternal.h"
#include "mygifimage.h"

#include <cstring>

namespace {

template <class T>
std::unique_ptr<TGIFExtension> CreateExtension(TGIFSubImage* frame)
{
    return std::make_unique<T>(frame);
}

const TGIFExtensionClass* RefineSelf(const TGIFExtensionClass* self, TStream&)
{
    return self;
}

// Application extensions are refined by their identifier block.
const TGIFExtensionClass* RefineApplication(const TGIFExtensionClass* self, TStream& stream)
{
    const int64_t q = stream.Position();
    uint8_t blockSize = 0;
    if (!TryReadByte(stream, blockSize))
        return nullptr;
    if (blockSize == 10) {
        uint8_t skip[10];
        if (stream.Read(skip, 10) != 10)
            return nullptr;
        return &TGIFUnknownAppExtension::Class();
    }
    TGIFAppIdentifier id{};
    if (blockSize != 11 || stream.Read(id.data(), 11) != 11) {
        stream.SetPosition(q);
        return self;
    }
    // Only the identifier block names the kind: asked again after it, a
    // refined class keeps a data sub-block that spells an identifier as
    // data. (Taken as a loop extension it would lose the extension's own
    // identifier and data when written.)
    if (self != &TGIFApplicationExtension::Class())
        return self;
    const TGIFExtensionClass* found = AppExtensionRegistry().Find(id);
    return found ? found : &TGIFUnknownAppExtension::Class();
}

} // namespace

// ---- registries -------------------------------------------------------------

void TExtensionList::Add(uint8_t label, const TGIFExtensionClass* cls)
{
    entries_.emplace_back(label, cls);
}

const TGIFExtensionClass* TExtensionList::Find(uint8_t label) const
{
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->first == label)
            return it->second;
    return nullptr;
}

void TAppExtensionList::Add(const TGIFAppIdentifier& identifier, const TGIFExtensionClass* cls)
{
    entries_.emplace_back(identifier, cls);
}

void TAppExtensionList::Add(const char* identifier11, const TGIFExtensionClass* cls)
{
    TGIFAppIdentifier id{};
    std::memcpy(id.data(), identifier11, id.size());
    Add(id, cls);
}

const TGIFExtensionClass* TAppExtensionList::Find(const TGIFAppIdentifier& identifier) const
{
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->first == identifier)
            return it->second;
    return nullptr;
}

TExtensionList& ExtensionRegistry()
{
    static TExtensionList registry = [] {
        TExtensionList r;
        r.Add(0x01, &TGIFTextExtension::Class());
        r.Add(0xF9, &TGIFGraphicControlExtension::Class());
        r.Add(0xFE, &TGIFCommentExtension::Class());
        r.Add(0xFF, &TGIFApplicationExtension::Class());
        return r;
    }();
    return registry;
}

TAppExtensionList& AppExtensionRegistry()
{
    static TAppExtensionList registry = [] {
        TAppExtensionList r;
        r.Add("NETSCAPE2.0", &TGIFAppExtNSLoop::Class());
        r.Add("ANIMEXTS1.0", &TGIFAppExtNSLoop::Class());
        return r;
    }();
    return registry;
}

const TGIFExtensionClass* ProbeExtension(TStream& stream)
{
    const int64_t p = stream.Position();
    uint8_t label = 0;
    const TGIFExtensionClass* cls = nullptr;
    if (TryReadByte(stream, label)) {
        cls = ExtensionRegistry().Find(label);
        // Each refinement that answers another class has consumed what it
        // looked at, so this ends at the latest with the stream.
        while (cls) {
            const TGIFExtensionClass* refined = cls->Refine(cls, stream);
            if (refined == cls)
                break;
            cls = refined;
        }
    }
    stream.SetPosition(p);
    return cls;
}

void ReadSubBlockText(TStream& stream, std::vector<std::string>& lines, bool exact)
{
    lines.clear();
    uint8_t size = 0;
    if (!TryReadByte(stream, size))
        return;
    char block[255];
    while (size != 0) {
        ReadExact(stream, block, size);
        lines.emplace_back(block, exact ? size : strnlen(block, size));
        if (!TryReadByte(stream, size))
            break;
    }
}

// ---- extension list -----------------------------------------------------------

TGIFExtension* TGIFExtensionList::Extensions(int index) const
{
    return static_cast<TGIFExtension*>(Items(index));
}

void TGIFExtensionList::LoadFromStream(TStream& stream, TGIFSubImage* frame)
{
    uint8_t b = 0;
    if (!TryReadByte(stream, b))
        return;
    while (b != 0x2C && b != 0x3B) {
        if (b != 0x21) {
            Warn(GIFWarningSeverity, gifmsg::InvalidIntroducer);
            break;
        }
        const TGIFExtensionClass* cls = ProbeExtension(stream);
        if (!cls)
            RaiseGIFError(gifmsg::UnknownExtension);
        StepBack(stream);
        std::unique_ptr<TGIFExtension> ext = cls->Create(frame);
        ext->LoadFromStream(stream);
        Add(std::move(ext));
        if (!TryReadByte(stream, b))
            return;
    }
    StepBack(stream);
}

// ---- common start ---------------------------------------------------------------

TGIFExtension::TGIFExtension(TGIFSubImage* frame)
    : TGIFItem(frame ? frame->OwnerImage() : nullptr), ownerFrame_(frame)
{
}

void TGIFExtension::LoadFromStream(TStream& stream)
{
    uint8_t start[2];
    ReadExact(stream, start, 2);
    if (start[0] != 0x21)
        RaiseGIFError(gifmsg::InvalidIntroducer);
    if (start[1] != ExtensionLabel())
        RaiseGIFError(gifmsg::ExtensionMismatch);
}

// ---- graphic control --------------------------------------------------------------

const TGIFExtensionClass& TGIFGraphicControlExtension::Class()
{
    static const TGIFExtensionClass cls{"TGIFGraphicControlExtension", 0xF9,
                                        &CreateExtension<TGIFGraphicControlExtension>, &RefineSelf};
    return cls;
}

TGIFGraphicControlExtension::TGIFGraphicControlExtension(TGIFSubImage* frame) : TGIFExtension(frame)
{
    // The first graphic control extension of a frame is the one that counts.
    if (frame && !frame->ControlExtension())
        frame->SetControlExtension(this);
}

TGIFGraphicControlExtension::~TGIFGraphicControlExtension()
{
    TGIFSubImage* frame = OwnerFrame();
    if (!frame)
        return;
    if (Transparent())
        frame->SetHasTransparency(false);
    if (frame->ControlExtension() == this)
        frame->SetControlExtension(nullptr);
}

void TGIFGraphicControlExtension::LoadFromStream(TStream& stream)
{
    TGIFExtension::LoadFromStream(stream);
    // Block size and terminator are taken as they come.
    uint8_t raw[6] = {BlockSize, ControlFlags, static_cast<uint8_t>(delay_ & 0xFF),
                      static_cast<uint8_t>(delay_ >> 8), transparentIndex_, Terminator};
    const int64_t got = stream.Read(raw, 6);
    BlockSize = raw[0];
    ControlFlags = raw[1];
    delay_ = GetLE16(raw + 2);
    transparentIndex_ = raw[4];
    Terminator = raw[5];
    if (got < 6) {
        Warn(GIFWarningSeverity, gifmsg::PrematureEnd);
        return;
    }
    if (Transparent() && OwnerFrame())
        OwnerFrame()->SetHasTransparency(true);
}

void TGIFGraphicControlExtension::SetTransparent(bool value)
{
    ControlFlags = static_cast<uint8_t>(value ? (ControlFlags | 0x01) : (ControlFlags & ~0x01));
    if (OwnerFrame())
        OwnerFrame()->SetHasTransparency(value);
}

void TGIFGraphicControlExtension::SetWaitForInput(bool value)
{
    ControlFlags = static_cast<uint8_t>(value ? (ControlFlags | 0x02) : (ControlFlags & ~0x02));
}

void TGIFGraphicControlExtension::SetDisposalMethod(int value)
{
    ControlFlags = static_cast<uint8_t>((ControlFlags & ~0x1C) | ((value << 2) & 0x1C));
}

void TGIFGraphicControlExtension::SetTransparentIndex(uint8_t value)
{
    if (OwnerFrame()) {
        const TGIFColorMap& map = OwnerFrame()->EffectiveColorMap();
        if (map.EntryCount() > 0 && value >= map.EntryCount()) {
            Warn(GIFWarningSeverity, gifmsg::InvalidColorIndex);
            value = 0;
        }
    }
    transparentIndex_ = value;
}

// ---- plain text and comment ---------------------------------------------------------

const TGIFExtensionClass& TGIFTextExtension::Class()
{
    static const TGIFExtensionClass cls{"TGIFTextExtension", 0x01, &CreateExtension<TGIFTextExtension>,
                                        &RefineSelf};
    return cls;
}

void TGIFTextExtension::LoadFromStream(TStream& stream)
{
    TGIFExtension::LoadFromStream(stream);
    uint8_t raw[13];
    ReadExact(stream, raw, 13);
    TextGrid.BlockSize = raw[0];
    TextGrid.Left = GetLE16(raw + 1);
    TextGrid.Top = GetLE16(raw + 3);
    TextGrid.Width = GetLE16(raw + 5);
    TextGrid.Height = GetLE16(raw + 7);
    TextGrid.CellWidth = raw[9];
    TextGrid.CellHeight = raw[10];
    TextGrid.ForegroundIndex = raw[11];
    TextGrid.BackgroundIndex = raw[12];
    ReadSubBlockText(stream, Lines);
}

const TGIFExtensionClass& TGIFCommentExtension::Class()
{
    static const TGIFExtensionClass cls{"TGIFCommentExtension", 0xFE, &CreateExtension<TGIFCommentExtension>,
                                        &RefineSelf};
    return cls;
}

void TGIFCommentExtension::LoadFromStream(TStream& stream)
{
    TGIFExtension::LoadFromStream(stream);
    // Byte for byte: a comment may hold zero bytes, and writing it back
    // must not lose them.
    ReadSubBlockText(stream, Lines, true);
}

// ---- application extensions -----------------------------------------------------------

const TGIFExtensionClass& TGIFApplicationExtension::Class()
{
    // Not refined means not known: such a block keeps its data as raw bytes.
    static const TGIFExtensionClass cls{"TGIFApplicationExtension", 0xFF,
                                        &CreateExtension<TGIFUnknownAppExtension>, &RefineApplication};
    return cls;
}

void TGIFApplicationExtension::LoadFromStream(TStream& stream)
{
    TGIFExtension::LoadFromStream(stream);
    const uint8_t blockSize = ReadRawByte(stream);
    IdentifierTail.clear();
    if (blockSize == 10) {
        Identifier.fill(0);
        ReadExact(stream, Identifier.data(), 10);
    } else if (blockSize < 10) {
        RaiseGIFError(gifmsg::AppBlockSize);
    } else {
        ReadExact(stream, Identifier.data(), 11);
        IdentifierTail.resize(blockSize - 11);
        if (!IdentifierTail.empty())
            ReadExact(stream, IdentifierTail.data(), static_cast<int64_t>(IdentifierTail.size()));
    }
    ReadSubBlocks(stream);
}

std::string TGIFApplicationExtension::IdentifierText() const
{
    return std::string(reinterpret_cast<const char*>(Identifier.data()), Identifier.size());
}

const TGIFExtensionClass& TGIFUnknownAppExtension::Class()
{
    static const TGIFExtensionClass cls{"TGIFUnknownAppExtension", 0xFF,
                                        &CreateExtension<TGIFUnknownAppExtension>, &RefineApplication};
    return cls;
}

void TGIFUnknownAppExtension::ReadSubBlocks(TStream& stream)
{
    RawBlocks.clear();
    uint8_t size = 0;
    if (!TryReadByte(stream, size))
        return;
    while (size != 0) {
        TGIFBlock block(size);
        ReadExact(stream, block.Data.data(), size);
        RawBlocks.push_back(std::move(block));
        if (!TryReadByte(stream, size))
            break;
    }
}

const TGIFExtensionClass& TGIFAppExtNSLoop::Class()
{
    static const TGIFExtensionClass cls{"TGIFAppExtNSLoop", 0xFF, &CreateExtension<TGIFAppExtNSLoop>,
                                        &RefineApplication};
    return cls;
}

TGIFAppExtNSLoop::TGIFAppExtNSLoop(TGIFSubImage* frame) : TGIFApplicationExtension(frame)
{
    std::memcpy(Identifier.data(), "NETSCAPE2.0", Identifier.size());
}

void TGIFAppExtNSLoop::ReadSubBlocks(TStream& stream)
{
    constexpr int kLoopId = 1;
    constexpr int kBufferId = 2;
    int size = ReadRawByte(stream);
    while (size != 0) {
        const int id = ReadRawByte(stream) & 7;
        int rest = 0;
        uint8_t value[4];
        if (id == kLoopId) {
            if (size < 3)
                RaiseGIFError(gifmsg::InvalidData);
            ReadExact(stream, value, 2);
            LoopCount = GetLE16(value);
            rest = size - 3;
        } else if (id == kBufferId) {
            if (size < 5)
                RaiseGIFError(gifmsg::InvalidData);
            ReadExact(stream, value, 4);
            BufferLength = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                           (static_cast<uint32_t>(value[2]) << 16) | (static_cast<uint32_t>(value[3]) << 24);
            rest = size - 5;
        } else {
            rest = size - 1;
        }
        if (rest > 0)
            SkipForward(stream, rest);
        size = ReadRawByte(stream);
    }
}
