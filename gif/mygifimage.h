#pragma once
// mygifimage: the program's own GIF codec (GIF87a / GIF89a).
//
// The object model: a TMyGIFImage holds a TGIFHeader (logical screen and
// global colour table) and a list of frames (TGIFSubImage). Each frame owns
// its local colour table, the extensions that preceded its image descriptor
// and its pixels, one colour index a byte.
//
// Fatal errors raise GIFException; tolerated defects go to OnGIFWarning.
#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/Graphic.h"
#include "platform/Thread.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TStream;
class TPicture;
class TMyGIFImage;
class TGIFSubImage;
class TGIFHeader;
class TGIFExtension;

// Every fatal error of the codec.
class GIFException : public Exception {
public:
    using Exception::Exception;
};

[[noreturn]] void RaiseGIFError(const std::string& message);

// Smallest b >= 1 with 2^b >= n; 0 for n = 0.
int BitsForColors(int n);

// The common root of the codec's objects; the sender of warnings and
// progress notifications.
class TGIFObject {
public:
    virtual ~TGIFObject() = default;
    TGIFObject() = default;
    TGIFObject(const TGIFObject&) = delete;
    TGIFObject& operator=(const TGIFObject&) = delete;
};

// ---------------------------------------------------------------- colours --

class TGIFColorMap : public TGIFObject {
public:
    static constexpr int MaxColors = 256;

    ~TGIFColorMap() override = default;

    // Entries as red, green, blue triplets; Allocated() of them exist.
    const uint8_t* Entries() const { return entries_.data(); }
    int EntryCount() const { return count_; }
    int Allocated() const { return static_cast<int>(entries_.size() / 3); }
    bool Sorted() const { return sorted_; }

    void LoadColors(TStream& stream, int n);
    void Reserve(int n);
    void Clear();
    TColor ColorAt(int index);
    int FindColor(TColor color) const;
    int AppendColor(TColor color);
    int AppendUniqueColor(TColor color);
    void RemoveColor(int index);
    int ColorBits() const { return BitsForColors(count_); }
    // Up to 256 entries of a platform palette.
    void FromPalette(const TPalette& palette);
    // quads: n entries of blue, green, red, reserved.
    void FromColorTable(const uint8_t* quads, int n);
    // Up to 256 colours of the bitmap's own colour table.
    void FromDIBColors(const TBitmap& bitmap);
    // A palette of the entries (flags 4, no-collapse); nullptr when empty.
    TPaletteHandle MakePalette() const;
    void Assign(const TGIFColorMap& source);

    virtual void Warn(int severity, const std::string& message) = 0;
    // Orders the entries by use, most used first, and drops unused ones;
    // answers whether it ran.
    virtual bool SortByUse() = 0;
    virtual void ColorsChanged() = 0;

    static TColor TripletToColor(const uint8_t* rgb);

protected:
    TGIFColorMap() = default;
    // (use count, index) for every entry.
    using TUsePairs = std::vector<std::pair<int64_t, int>>;
    virtual void CountUses(TUsePairs& pairs) = 0;
    virtual void RemapPixels(const std::vector<uint8_t>& map) = 0;
    bool SortEntries();

private:
    std::vector<uint8_t> entries_;
    int count_ = 0;
    bool sorted_ = false;
};

class TGIFGlobalColorMap : public TGIFColorMap {
public:
    explicit TGIFGlobalColorMap(TGIFHeader* owner) : owner_(owner) {}
    TGIFHeader* OwnerHeader() const { return owner_; }
    void Warn(int severity, const std::string& message) override;
    bool SortByUse() override;
    void ColorsChanged() override;

protected:
    void CountUses(TUsePairs& pairs) override;
    void RemapPixels(const std::vector<uint8_t>& map) override;

private:
    TGIFHeader* owner_;
};

class TGIFLocalColorMap : public TGIFColorMap {
public:
    explicit TGIFLocalColorMap(TGIFSubImage* owner) : owner_(owner) {}
    TGIFSubImage* OwnerFrame() const { return owner_; }
    void Warn(int severity, const std::string& message) override;
    bool SortByUse() override;
    void ColorsChanged() override;

protected:
    void CountUses(TUsePairs& pairs) override;
    void RemapPixels(const std::vector<uint8_t>& map) override;

private:
    TGIFSubImage* owner_;
};

// ------------------------------------------------------------ items, lists --

class TGIFItem : public TGIFObject {
public:
    explicit TGIFItem(TMyGIFImage* image) : ownerImage_(image) {}
    TMyGIFImage* OwnerImage() const { return ownerImage_; }

    // 1 for "87a", 2 for "89a".
    virtual int Version() const { return 1; }
    virtual void Warn(int severity, const std::string& message);
    virtual void LoadFromStream(TStream& stream) = 0;
    void LoadFromFile(const std::string& path);
    // Writes the item as it stands in a GIF stream.
    virtual void SaveToStream(TStream& stream) const = 0;
    void SaveToFile(const std::string& path) const;

private:
    TMyGIFImage* ownerImage_;
};

// An ordered list that owns its items.
class TGIFList : public TGIFObject {
public:
    explicit TGIFList(TMyGIFImage* image) : ownerImage_(image) {}
    ~TGIFList() override { Clear(); }

    TMyGIFImage* OwnerImage() const { return ownerImage_; }
    int Count() const { return static_cast<int>(items_.size()); }
    TGIFItem* Items(int index) const;
    int Add(std::unique_ptr<TGIFItem> item);
    void Delete(int index);
    // Takes the item out without freeing it; nullptr when not in the list.
    std::unique_ptr<TGIFItem> Remove(TGIFItem* item);
    int IndexOf(const TGIFItem* item) const;
    void Clear();

    virtual void Warn(int severity, const std::string& message);
    // Saves every item in order.
    virtual void SaveToStream(TStream& stream) const;

private:
    std::vector<std::unique_ptr<TGIFItem>> items_;
    TMyGIFImage* ownerImage_;
};

class TGIFExtensionList : public TGIFList {
public:
    using TGIFList::TGIFList;
    TGIFExtension* Extensions(int index) const;
    // The run of extensions at the stream position, owned by frame.
    void LoadFromStream(TStream& stream, TGIFSubImage* frame);
};

class TMyGIFImageList : public TGIFList {
public:
    using TGIFList::TGIFList;
    TGIFSubImage* SubImage(int index) const;
    // Reads frames up to the trailer, or only the first maxFrames when
    // that is above zero.
    void LoadFromStream(TStream& stream, TMyGIFImage* parent, int maxFrames = 0);
};

// ------------------------------------------------------------------ header --

class TGIFHeader : public TGIFItem {
public:
    explicit TGIFHeader(TMyGIFImage* image);

    uint16_t ScreenWidth = 0;
    uint16_t ScreenHeight = 0;
    uint8_t ScreenFlags = 0;
    uint8_t BackgroundIndex = 0;
    uint8_t AspectRatio = 0;

    TGIFGlobalColorMap& GlobalColors() { return globalColors_; }
    const TGIFGlobalColorMap& GlobalColors() const { return globalColors_; }

    void LoadFromStream(TStream& stream) override;
    // Signature and version, the logical screen descriptor with its packed
    // field as ComputeScreenFlags makes it, and the global colour table.
    void SaveToStream(TStream& stream) const override;
    // The packed field of the logical screen descriptor as the writer sets
    // it from the colour tables of the image.
    uint8_t ComputeScreenFlags() const;

private:
    TGIFGlobalColorMap globalColors_;
};

class TGIFTrailer : public TGIFItem {
public:
    using TGIFItem::TGIFItem;
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
};

// --------------------------------------------------------------- sub-image --

enum class TProgressStage { Starting, Running, Ending };

struct TGIFRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
};

// Bit set of drawing options; see the painter.
using TGIFDrawFlags = uint16_t;
constexpr TGIFDrawFlags dfThreaded = 0x0001;         // the painter runs on its own thread
constexpr TGIFDrawFlags dfTransparent = 0x0002;      // frames go through their masks
constexpr TGIFDrawFlags dfAnimate = 0x0004;          // all frames in sequence, else the first
constexpr TGIFDrawFlags dfRepeat = 0x0008;           // passes repeat as the loop count says
constexpr TGIFDrawFlags dfRepeatForever = 0x0010;    // ... or without end
constexpr TGIFDrawFlags dfCheckCanvas = 0x0020;      // stop when the target canvas has gone
constexpr TGIFDrawFlags dfOnTarget = 0x0040;         // paint on the destination, not the image bitmap
constexpr TGIFDrawFlags dfEraseOnRestart = 0x0080;   // frame 0's area back to background first
constexpr TGIFDrawFlags dfTiled = 0x0100;            // repeat at natural size instead of stretching
constexpr TGIFDrawFlags dfDither = 0x0200;           // render frames dithered to the cube
constexpr TGIFDrawFlags dfDitherIfPaletted = 0x0400; // ... but only on a paletted display
constexpr TGIFDrawFlags GIFDefaultDrawFlags = 0x060F;

// The image descriptor as it stands in the stream.
struct TGIFImageDescriptor {
    uint8_t Separator = 0x2C;
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t ImageFlags = 0;
};

class TGIFGraphicControlExtension;

// One frame.
//
// Pixels are Width x Height colour indices, rows top to bottom without gaps.
// Storage is materialised from the front as far as decoding or a caller has
// reached: every index at or beyond StoredPixelCount() is FillIndex(). So a
// descriptor that claims a huge frame costs memory only for the pixels the
// stream actually supplies. An interlaced frame read from a stream keeps its
// rows in the order they came (pass by pass) until a caller asks for the
// rows in place (PixelRow, Pixels), so that its first pass, spread over the
// whole height, does not earn it the whole buffer; StoredRowStart says where
// a row stands.
class TGIFSubImage : public TGIFItem {
public:
    explicit TGIFSubImage(TMyGIFImage* image);
    ~TGIFSubImage() override;

    void LoadFromStream(TStream& stream) override;
    // Extensions, then (unless empty) descriptor, local table and image data.
    void SaveToStream(TStream& stream) const override;
    // The image data with the encoder the image's Compression selects.
    void CompressFrame(TStream& stream) const;
    // ImageFlags as written: interlace and reserved bits kept, the table
    // bits from LocalColors.
    uint8_t ComputeImageFlags() const;
    int Version() const override;
    void Clear();

    const TGIFImageDescriptor& Descriptor() const { return descriptor_; }
    int Left() const { return descriptor_.Left; }
    int Top() const { return descriptor_.Top; }
    int Width() const { return descriptor_.Width; }
    int Height() const { return descriptor_.Height; }
    bool IsInterlaced() const { return (descriptor_.ImageFlags & 0x40) != 0; }
    bool IsEmpty() const;

    // Stores the bounds; a changed size reallocates the pixels (zero) and the
    // image grows to hold the frame.
    void PlaceFrame(int left, int top, int width, int height);

    // Pixels.
    bool HasPixels() const { return allocated_; }
    int64_t PixelCount() const { return pixelCount_; }
    void AllocatePixels();
    void FreePixels();
    void EnsurePixels();
    uint8_t* PixelRow(int row);
    uint8_t PixelAt(int x, int y);
    // The whole buffer, materialised; nullptr when there are no pixels.
    uint8_t* Pixels();
    int64_t StoredPixelCount() const { return static_cast<int64_t>(pixels_.size()); }
    const uint8_t* StoredPixels() const { return pixels_.data(); }
    // Index in StoredPixels() of the first pixel of a row (0 <= row < Height).
    int64_t StoredRowStart(int row) const;
    bool StoredInPassOrder() const { return passOrder_; }
    uint8_t FillIndex() const { return fill_; }

    TGIFLocalColorMap& LocalColors() { return localColors_; }
    const TGIFLocalColorMap& LocalColors() const { return localColors_; }
    TGIFColorMap& EffectiveColorMap();
    TGIFExtensionList& FrameExtensions() { return extensions_; }
    const TGIFExtensionList& FrameExtensions() const { return extensions_; }

    bool HasTransparency() const { return hasTransparency_; }
    void SetHasTransparency(bool value) { hasTransparency_ = value; }
    TGIFGraphicControlExtension* ControlExtension() const { return controlExtension_; }
    void SetControlExtension(TGIFGraphicControlExtension* ext) { controlExtension_ = ext; }

    // Called when the local colour table changed: drops the palette made
    // from it (SetPalette(nullptr)).
    void LocalColorsChanged();

    // ---- rendering (GIFRender.cpp) ----
    // The cached rendering; renders when there is none and the frame is not
    // empty; nullptr for an empty frame. Progress "Rendering..." goes to the
    // image with the frame as sender; a silent abort (EAbort) from a handler
    // is swallowed and leaves no cache.
    TBitmap* RenderedBitmap();
    // Renders again when the mask is still pending on a transparent frame;
    // then answers whether a mask exists.
    bool HasTransparencyMask();
    // 1 bit a pixel, 1 = transparent; nullptr when there is none.
    const TBitmap* TransparencyMask() const { return mask_.get(); }
    bool MaskPending() const { return maskPending_; }
    // The renderers behind RenderedBitmap; each builds the mask when it is
    // pending and returns a new bitmap without caching it.
    std::unique_ptr<TBitmap> RenderPlain();
    std::unique_ptr<TBitmap> RenderDithered();
    void DropRenderedBitmap();
    void DropTransparencyMask();

    // The rendered bitmap's palette, the cached one, the cube when
    // dithering, one made from the local table, or the image's.
    TPaletteHandle PaletteHandle();
    TPaletteHandle CachedPalette() const { return cachedPalette_; }
    // Replaces the cached palette; a rendered bitmap of other colours is
    // dropped and the image told (PaletteReplaced, changed notification).
    void SetPalette(TPaletteHandle palette);

    // Where the frame lands in rect, rect standing for the logical screen.
    TRect FrameRectIn(const TRect& rect) const;
    // Paints the frame into rect of canvas: at FrameRectIn(rect), or
    // repeated across rect at its own size when tiled; through the mask
    // when transparent is asked for and the frame has one.
    void PaintTo(TBitmap& canvas, const TRect& rect, bool transparent, bool tiled);

    // Serialises rendering: the image's lock, or the frame's own without
    // an image.
    std::recursive_mutex& RenderLock();

    // ---- assignment (GIFFrameAssign.cpp) ----
    // Copies another frame: bounds, pixels, colours, extensions.
    void Assign(const TGIFSubImage& source);
    // nullptr clears; a bitmap is imported (deep ones reduced with the
    // image's ColorReduction, DitherMode and ReductionBits); an icon or a
    // metafile is drawn and keeps its transparency; other graphics are
    // copied into a bitmap first. "Color table overflow" when a 24-bit
    // import meets a 257th colour.
    void Assign(const TGraphic* graphic);
    void Assign(const TPicture& picture);
    // A frame or graphic as above; anything else is an assignment error.
    void Assign(const TGIFObject& other);
    // Pixels where the mask is non-zero get a new black entry, made the
    // transparent index of a new graphic control extension. A full table
    // gives up its entry least used by the visible pixels (they take the
    // nearest other colour); a frame without a table of its own takes a
    // copy of the global one ("No global or local color table defined"
    // when there is none).
    void AddTransparencyFromMask(const TBitmap& mask);

private:
    void AssignBitmap(const TBitmap& source);
    void ImportRows(TBitmap& bitmap);
    void ConvertProgress(TProgressStage stage, int percent);
    friend class TGIFDecoderAccess;
    struct TMaskRows;
    void RenderProgress(TProgressStage stage, int percent, bool redraw);
    std::unique_ptr<TBitmap> NewRenderBitmap();
    std::unique_ptr<TBitmap> Render(bool dithered);
    void FinishMask(TMaskRows& rows);
    void MaterialiseTo(int64_t extent);
    // Puts rows stored in pass order in their places.
    void StoreInRowOrder();
    void CheckRow(int row) const;

    TGIFImageDescriptor descriptor_;
    std::vector<uint8_t> pixels_;
    int64_t pixelCount_ = 0;
    bool allocated_ = false;
    bool passOrder_ = false;
    uint8_t fill_ = 0;
    TGIFLocalColorMap localColors_;
    TGIFExtensionList extensions_;
    bool hasTransparency_ = false;
    TGIFGraphicControlExtension* controlExtension_ = nullptr;

    std::unique_ptr<TBitmap> rendered_;
    std::unique_ptr<TBitmap> mask_;
    bool maskPending_ = true;
    TPaletteHandle cachedPalette_;
    std::recursive_mutex ownLock_;
};

// Fills frame.Pixels from the table-based image data at the stream position
// (the minimum code size byte, sub-blocks, terminator).
void DecodePixels(TGIFSubImage& frame, TStream& stream);

// -------------------------------------------------------------- extensions --

// A class reference for an extension kind: its label, how to make one, and
// how to refine the choice from the bytes that follow the label.
struct TGIFExtensionClass {
    const char* Name;
    uint8_t Label;
    std::unique_ptr<TGIFExtension> (*Create)(TGIFSubImage* frame);
    // Answers the refined class, itself, or nullptr; may move the stream.
    const TGIFExtensionClass* (*Refine)(const TGIFExtensionClass* self, TStream& stream);
};

class TGIFExtension : public TGIFItem {
public:
    explicit TGIFExtension(TGIFSubImage* frame);
    TGIFSubImage* OwnerFrame() const { return ownerFrame_; }
    int Version() const override { return 2; }
    virtual uint8_t ExtensionLabel() const = 0;
    virtual const TGIFExtensionClass& ClassRef() const = 0;
    // Reads the introducer and label and checks them.
    void LoadFromStream(TStream& stream) override;

protected:
    // Writes the introducer and label.
    void SaveStart(TStream& stream) const;

private:
    TGIFSubImage* ownerFrame_;
};

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass& Class();
    explicit TGIFGraphicControlExtension(TGIFSubImage* frame);
    ~TGIFGraphicControlExtension() override;
    uint8_t ExtensionLabel() const override { return 0xF9; }
    const TGIFExtensionClass& ClassRef() const override { return Class(); }
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;

    uint8_t BlockSize = 4;
    uint8_t ControlFlags = 0;
    uint8_t Terminator = 0;

    bool Transparent() const { return (ControlFlags & 0x01) != 0; }
    void SetTransparent(bool value);
    bool WaitForInput() const { return (ControlFlags & 0x02) != 0; }
    void SetWaitForInput(bool value);
    int DisposalMethod() const { return (ControlFlags >> 2) & 7; }
    void SetDisposalMethod(int value);
    uint16_t DelayTime() const { return delay_; }
    void SetDelayTime(uint16_t value) { delay_ = value; }
    uint8_t TransparentIndex() const { return transparentIndex_; }
    void SetTransparentIndex(uint8_t value);

private:
    uint16_t delay_ = 0;
    uint8_t transparentIndex_ = 0;
};

struct TGIFTextGrid {
    uint8_t BlockSize = 12;
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t CellWidth = 0;
    uint8_t CellHeight = 0;
    uint8_t ForegroundIndex = 0;
    uint8_t BackgroundIndex = 0;
};

class TGIFTextExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass& Class();
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionLabel() const override { return 0x01; }
    const TGIFExtensionClass& ClassRef() const override { return Class(); }
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;

    TGIFTextGrid TextGrid;
    std::vector<std::string> Lines;
};

class TGIFCommentExtension : public TGIFExtension {
public:
    static const TGIFExtensionClass& Class();
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionLabel() const override { return 0xFE; }
    const TGIFExtensionClass& ClassRef() const override { return Class(); }
    void LoadFromStream(TStream& stream) override;
    // Writes nothing when every line is empty.
    void SaveToStream(TStream& stream) const override;

    // One string a data sub-block, with every byte as read.
    std::vector<std::string> Lines;
};

using TGIFAppIdentifier = std::array<uint8_t, 11>;

class TGIFApplicationExtension : public TGIFExtension {
public:
    // The kind registered for label 0xFF. An application extension that no
    // identifier refines is read as a TGIFUnknownAppExtension.
    static const TGIFExtensionClass& Class();
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionLabel() const override { return 0xFF; }
    void LoadFromStream(TStream& stream) override;
    // Label, block size, the identifier (and its tail), WriteData, the terminator.
    void SaveToStream(TStream& stream) const override;

    // 8-byte application identifier then 3-byte authentication code.
    TGIFAppIdentifier Identifier{};
    // The bytes of an identifier block longer than 11, written back as read:
    // cut to 11, a block starting "NETSCAPE2.0" would name the loop kind,
    // whose reader may refuse this extension's data.
    std::vector<uint8_t> IdentifierTail;
    std::string IdentifierText() const;

protected:
    // The data sub-blocks after the identifier, without the terminator.
    virtual void WriteData(TStream& stream) const = 0;
    virtual void ReadSubBlocks(TStream& stream) = 0;
};

// A data sub-block kept as it was read.
struct TGIFBlock {
    explicit TGIFBlock(uint8_t size) : Data(size, 0) {}
    uint8_t Size() const { return static_cast<uint8_t>(Data.size()); }
    std::vector<uint8_t> Data;
};

class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    static const TGIFExtensionClass& Class();
    using TGIFApplicationExtension::TGIFApplicationExtension;
    const TGIFExtensionClass& ClassRef() const override { return Class(); }

    std::vector<TGIFBlock> RawBlocks;

protected:
    void WriteData(TStream& stream) const override;
    void ReadSubBlocks(TStream& stream) override;
};

// "NETSCAPE2.0" / "ANIMEXTS1.0": loop count (0 = endless) and buffer size.
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    static const TGIFExtensionClass& Class();
    explicit TGIFAppExtNSLoop(TGIFSubImage* frame);
    const TGIFExtensionClass& ClassRef() const override { return Class(); }

    uint16_t LoopCount = 0;
    uint32_t BufferLength = 0;

protected:
    void WriteData(TStream& stream) const override;
    void ReadSubBlocks(TStream& stream) override;
};

// Registries: lookups search from the last registration back to the first.
class TExtensionList {
public:
    void Add(uint8_t label, const TGIFExtensionClass* cls);
    const TGIFExtensionClass* Find(uint8_t label) const;

private:
    std::vector<std::pair<uint8_t, const TGIFExtensionClass*>> entries_;
};

class TAppExtensionList {
public:
    void Add(const TGIFAppIdentifier& identifier, const TGIFExtensionClass* cls);
    void Add(const char* identifier11, const TGIFExtensionClass* cls);
    const TGIFExtensionClass* Find(const TGIFAppIdentifier& identifier) const;

private:
    std::vector<std::pair<TGIFAppIdentifier, const TGIFExtensionClass*>> entries_;
};

TExtensionList& ExtensionRegistry();
TAppExtensionList& AppExtensionRegistry();

// With the stream just after an introducer: the class of the extension
// there, or nullptr. The stream is left where it was.
const TGIFExtensionClass* ProbeExtension(TStream& stream);

// Reads data sub-blocks into lines, one a sub-block, each ending before its
// first zero byte unless exact (comments keep every byte).
void ReadSubBlockText(TStream& stream, std::vector<std::string>& lines, bool exact = false);
// Writes each line as sub-blocks of up to 255 bytes (an empty line gives
// none), then one terminator.
void WriteSubBlockText(TStream& stream, const std::vector<std::string>& lines);

// ------------------------------------------------------------------- image --

class TGIFPainter;
using TGIFPainterEvent = std::function<void(TGIFPainter& sender)>;

// Animation timing, in delay units of DelayUnitMs.
inline constexpr int DelayUnitMs = 12;
inline constexpr int FrameDelayDefault = 10;
inline constexpr int FrameDelayMin = 3;
inline constexpr int FrameDelayMax = 1000; // for a painter that is not threaded
// The platform's "no colour".
inline constexpr uint32_t clNone = 0x1FFFFFFF;

// Registers TMyGIFImage with the picture container for the extension "GIF"
// ("GIF Image") and the clipboard format "GIF Image". Done when the codec is
// loaded; callable again without harm.
void RegisterGIFImage();

// The clipboard formats the codec reads and writes: the registered "GIF
// Image" and image/gif.
inline constexpr const char* GIFClipboardFormat = "GIF Image";
inline constexpr const char* GIFMimeType = "image/gif";


class TMyGIFImage : public TGraphic, public TGIFObject {
public:
    using TWarningEvent = std::function<void(TGIFObject& sender, int severity, const std::string& message)>;
    using TProgressEvent = std::function<void(TGIFObject& sender, TProgressStage stage, int percent,
                                              bool redraw, const TGIFRect& rect, const std::string& message)>;

    TMyGIFImage();
    ~TMyGIFImage() override;

    // TGraphic
    int Width() const override { return header_->ScreenWidth; }
    int Height() const override { return header_->ScreenHeight; }
    bool Empty() const override { return IsEmpty(); }
    void LoadFromStream(TStream& stream) override;
    // The header and only the first maxFrames frames (all of them when
    // maxFrames is 0), for what shows one still picture: a later frame is
    // not read, so its damage goes unnoticed. The stream is left after the
    // last frame read.
    void LoadFromStream(TStream& stream, int maxFrames);
    // Header, frames and trailer, with progress "Saving...". An image
    // without frames fails with "Unsupported GIF version".
    void SaveToStream(TStream& stream) const override;
    // 1 for "87a", 2 for "89a" (the highest frame version); 0 without frames.
    int Version() const;

    // The clipboard: "GIF Image" (or image/gif) bytes are loaded; anything
    // else is "Unsupported clipboard format".
    void LoadFromClipboard();
    // The image bitmap and the saved stream under "GIF Image" and
    // image/gif; an empty image puts nothing there. "Failed to store GIF on
    // clipboard" when the clipboard refuses.
    void SaveToClipboard();

    bool IsEmpty() const { return frames_->Count() == 0; }
    void Clear();
    // Every frame must fit; otherwise "Image width/height too small for
    // contained frames".
    void SetWidth(int value);
    void SetHeight(int value);

    TGIFHeader& Header() { return *header_; }
    const TGIFHeader& Header() const { return *header_; }
    TGIFGlobalColorMap& GlobalColors() { return header_->GlobalColors(); }
    TMyGIFImageList& Frames() { return *frames_; }
    const TMyGIFImageList& Frames() const { return *frames_; }
    int FrameCount() const { return frames_->Count(); }
    TGIFSubImage* Frame(int index) const { return frames_->SubImage(index); }
    // Appends a frame; answers its index.
    int Add(std::unique_ptr<TGIFSubImage> frame);
    // Converts the graphic into a new frame and appends it (the frame is
    // freed when the conversion fails).
    int Add(const TGraphic& graphic);
    // A graphic or a copy of a frame; anything else is "Object type not
    // supported for operation".
    int Add(const TGIFObject& object);

    // The warning handler: calls OnGIFWarning when set.
    virtual void Warning(TGIFObject& sender, int severity, const std::string& message);
    void Progress(TGIFObject& sender, TProgressStage stage, int percent, bool redraw,
                  const TGIFRect& rect, const std::string& message);
    // Sends the changed notification. Handlers hear it on the GUI thread
    // only: told on another thread (a painter rendering ahead), it waits
    // for the GUI thread's next draw or painter step. Progress and warnings
    // told on the thread of the image's painter wait the same way.
    void NotifyChanged();
    // Sends the progress, warnings and change notification that wait, if
    // any (GUI thread).
    void DeliverPendingChange();

    TWarningEvent OnGIFWarning;
    TProgressEvent OnProgress;

    // ---- rendering (GIFRender.cpp) ----
    // The whole picture as the catalogue copies it: the first frame only,
    // opaque, on the logical screen; nullptr without frames. Owned by the
    // image and cached until DropImageBitmap.
    TBitmap* ImageBitmap();
    // The image bitmap, or a new one of the screen's size with the image's
    // palette and nothing painted.
    TBitmap& BlankImageBitmap();
    void DropImageBitmap();
    // The image bitmap's palette, the cached one, the cube when dithering,
    // one made from the global table, or the first frame's. Without any
    // colour table: "No global or local color table defined".
    TPaletteHandle PaletteHandle();
    TPaletteHandle CachedPalette() const { return cachedPalette_; }
    void SetPalette(TPaletteHandle palette);
    // Set while PaletteHandle runs (on the thread that holds RenderLock).
    bool PaletteBusy() const { return paletteBusy_; }
    bool ShouldDither() const;
    // One lock for the render caches of the image and all its frames, so
    // the painter thread and the GUI thread never render at once. (Frame
    // and image palettes ask each other, so per-frame locks would be taken
    // in both orders.)
    std::recursive_mutex& RenderLock() const { return renderLock_; }

    // TGraphic: a single frame painted at once; an animation handed to a
    // painter that paints into the image bitmap, which repaints copy.
    void Draw(TBitmap& canvas, const TRect& rect) const override;
    void AssignTo(TBitmap& dest) const override;
    bool HasImageBitmap() const { return imageBitmap_ != nullptr; }
    // Equal only to itself.
    bool Equals(const TGraphic* other) const { return other == this; }

    // ---- painting (GIFPainter.cpp) ----
    // Halts the current painter, waits until it is gone, drops the image
    // bitmap.
    void StopPainting();
    // Halts every painter, waits until the threaded ones are gone, drops
    // the image bitmap.
    void StopAllPainters();
    // A painter for canvas and rect, not yet running when threaded; nullptr
    // when there is nothing to paint or the painter already ran to its end.
    TGIFPainter* CreatePainter(TGIFPainter** slot, TBitmap& canvas, TGIFDrawFlags flags, const TRect& rect);
    void BlitImageBitmap(TBitmap& canvas, const TRect& rect);
    // The painter that draws for the image bitmap (or the last target).
    TGIFPainter* CurrentPainter() const;
    int PainterCount() const;
    std::recursive_mutex& PainterLock() const { return drawState_->lock; }

    // Settings read by drawing, animation, writing and colour reduction.
    bool PaletteReplaced = false;
    TGIFDrawFlags DrawOptions = GIFDefaultDrawFlags;
    uint8_t ColorReduction = 6;
    int ReductionBits = 8;
    uint8_t DitherMode = 0;
    uint8_t Compression = 0;
    uint8_t PainterPriority = 3; // TThreadPriority::Normal
    int SpeedPercent = 100;
    uint32_t BackgroundOverride = clNone;
    TGIFPainterEvent OnPaintBegin;
    TGIFPainterEvent OnFrameBegin;
    TGIFPainterEvent OnFrameDone;
    TGIFPainterEvent OnLoopBegin;
    TGIFPainterEvent OnPaintEnd;

private:
    friend class TGIFPainter;
    void DrawImage(TBitmap& canvas, const TRect& rect);
    // Halts the current painter (all painters) and waits for the threaded
    // ones, serving the synchronize queue meanwhile.
    void HaltCurrentPainter();
    void HaltAllPainters();
    void FreeImageBitmap();

    std::unique_ptr<TMyGIFImageList> frames_;
    std::unique_ptr<TGIFHeader> header_;

    std::unique_ptr<TBitmap> imageBitmap_;
    TPaletteHandle cachedPalette_;
    bool paletteBusy_ = false;
    mutable std::recursive_mutex renderLock_;

    // What a draw call needs after the image may be gone: a handler run
    // while a synchronous painter pumps messages may destroy the image up
    // the stack, so the draw holds this, not the image.
    struct TDrawState {
        // Guards painters_ and currentPainter_; never taken by a painter thread.
        std::recursive_mutex lock;
        bool drawing = false;
        bool gone = false;
    };
    std::shared_ptr<TDrawState> drawState_ = std::make_shared<TDrawState>();
    std::vector<TGIFPainter*> painters_;
    TGIFPainter* currentPainter_ = nullptr;
    std::atomic<bool> changePending_{false};

    // Progress and warnings told on the thread of a painter (rendering
    // ahead), kept for the GUI thread. Told on any other thread (a worker
    // that loads the image) they reach their handlers at once.
    struct TNotice {
        TGIFObject* sender = nullptr;
        bool progress = false;
        int severity = 0;
        TProgressStage stage = TProgressStage::Starting;
        int percent = 0;
        bool redraw = false;
        TGIFRect rect{};
        std::string message;
    };
    bool Owns(const TGIFObject* object) const;
    std::mutex noticeLock_;
    std::vector<TNotice> notices_;
};

// ----------------------------------------------------------------- painter --

// Shows the frames of an image one after another with their delays,
// disposal methods and loop count, on its own thread (dfThreaded) or inside
// the draw call. The painter's thread renders frames ahead and waits; the
// canvas itself is painted on the GUI thread only. A threaded painter of
// the image bitmap composes each picture on its own thread, in a bitmap of
// its own, and the GUI thread just puts that in place: a large animation
// costs the GUI thread no more than a small one.
class TGIFPainter : public TThread {
public:
    // Writes itself into slot (when given); see TMyGIFImage::CreatePainter.
    TGIFPainter(TMyGIFImage* image, TGIFDrawFlags flags, const TRect& rect, TBitmap& canvas, TGIFPainter** slot);
    ~TGIFPainter() override;

    void Launch();
    void Halt();

    TMyGIFImage* Image() const { return image_; }
    TBitmap& Canvas() const { return canvas_; }
    const TRect& PaintRect() const { return rect_; }
    TGIFDrawFlags DrawOptions() const { return flags_; }
    int Speed() const { return speed_; }
    bool Started() const { return started_.load(); }
    // The frame shown; -1 when not running. OnFrameDone may move it.
    int ActiveImage() const { return activeImage_.load(); }
    void SetActiveImage(int index) { activeImage_.store(index); }
    int Disposal() const { return disposal_; }
    int PreviousDisposal() const { return previousDisposal_; }
    TColor BackgroundColor() const { return background_; }
    bool Buffered() const { return work_ != nullptr; }
    // Composes its pictures on its own thread (see the class).
    bool PaintsAhead() const { return ahead_; }
    bool HasWakeUpEvent() const { return event_ != nullptr; }
    // The failure that ended the run, if any.
    std::exception_ptr Failure() const { return failure_; }
    // Painters made and not yet through ReleaseResources, in the process.
    static int HoldingResources() { return holding_.load(); }

    // The animation loop; a painter that is not threaded runs it from
    // CreatePainter.
    void Execute() override;

private:
    friend class TMyGIFImage;
    bool Stopped() const { return Terminated(); }
    void RunInGuiThread(const std::function<void()>& step);
    void RaiseEvent(const TGIFPainterEvent& event);
    void WaitForFrame(TGIFSubImage& frame);
    void PaintFrame();
    void PaintDirect(TBitmap& target, const TRect& targetRect);
    void PaintBuffered(TBitmap& target, const TRect& targetRect);
    // Painting ahead: the picture composed on the painter's thread (false
    // when it was not), then shown on the GUI thread.
    bool PaintAhead();
    void ShowAhead();
    bool PaintCoversTarget();
    void RestoreFrameArea();
    void ReleaseResources();
    // On the GUI thread, inside one of this painter's steps or events: a
    // halt asked there cannot wait for the painter, which waits for it.
    bool InGuiStep() const { return guiSteps_ > 0; }
    TGIFSubImage& CurrentFrame() const;
    std::unique_ptr<TBitmap> CopyOfTarget() const;

    TMyGIFImage* image_;
    TBitmap& canvas_;
    TRect rect_;
    TGIFDrawFlags flags_;
    int speed_;
    std::atomic<int> activeImage_{-1};
    int disposal_ = 1;
    int previousDisposal_ = 1;
    TColor background_ = clWhite;
    std::unique_ptr<TBitmap> work_;
    std::unique_ptr<TBitmap> scratch_;
    std::unique_ptr<TBitmap> snapshot_;
    const TBitmap* savedCanvas_ = nullptr;
    std::atomic<bool> started_{false};
    // Painting ahead (see the class): the next picture, and whether it
    // still holds what the canvas shows (it holds an older one after each
    // exchange).
    bool ahead_ = false;
    std::unique_ptr<TBitmap> next_;
    bool nextCurrent_ = false;
    TGIFPainter** slot_;
    std::unique_ptr<TEvent> event_;
    std::exception_ptr failure_;
    const TGIFPainterEvent* currentEvent_ = nullptr;
    TGIFPainterEvent onPaintBegin_, onFrameBegin_, onFrameDone_, onLoopBegin_, onPaintEnd_;
    // Frame timing (milliseconds of the clock, delay units).
    int delay_ = 0;
    uint32_t lastTime_ = 0;
    int lastWait_ = 0;
    bool holds_ = false;
    static inline std::atomic<int> holding_{0};
    // GUI thread only (see InGuiStep).
    int guiSteps_ = 0;
    // The image bitmap, when the image let go of it while this painter
    // still ran on it: kept until the painter is released.
    std::unique_ptr<TBitmap> retiredCanvas_;
};

// ---------------------------------------------------------------- render --

// True when the screen shows at most 8 bits a pixel; false without a
// screen. Taken once, on first use.
bool PalettedDisplay();

// 216 entries: 36 i + 6 j + k is (51 i, 51 j, 51 k), flags 0.
TPaletteHandle CubePalette();

// Windows' MulDiv: a * b / c rounded half away from zero; -1 for c = 0.
int GIFMulDiv(int a, int b, int c);

// Maps a colour to a palette index and reports the colour chosen.
class TColorLookup {
public:
    virtual ~TColorLookup() = default;
    virtual int Colors() const = 0;
    // chosen: red, green, blue of the returned index.
    virtual uint8_t MapColor(int red, int green, int blue, uint8_t chosen[3]) const = 0;
};

// The 216-colour cube: each channel to the level (v + 3) div 51.
class TNetscapeColorLookup : public TColorLookup {
public:
    int Colors() const override { return 216; }
    uint8_t MapColor(int red, int green, int blue, uint8_t chosen[3]) const override;
};

// Maps a row of pixels at a time, serpentine: the direction flips with
// every row.
class TDitherEngine {
public:
    TDitherEngine(int width, const TColorLookup& lookup) : width_(width), lookup_(lookup) {}
    virtual ~TDitherEngine() = default;
    TDitherEngine(const TDitherEngine&) = delete;
    TDitherEngine& operator=(const TDitherEngine&) = delete;

    int Width() const { return width_; }
    int Direction() const { return direction_; }
    int Column() const { return column_; }
    // Maps one pixel and moves to the next column; the engine itself takes
    // the nearest colour only.
    virtual uint8_t DitherPixel(int red, int green, int blue, uint8_t chosen[3]);
    // Skips a pixel without taking or giving error.
    void AdvanceColumn() { column_ += direction_; }
    virtual void AdvanceRow();

protected:
    int width_;
    const TColorLookup& lookup_;
    int direction_ = 1;
    int column_ = 0;
};

// Floyd-Steinberg error diffusion (7, 3, 5, 1 sixteenths) with running
// sums per channel and one error row of width + 2 slots.
class TFloydSteinbergDitherer : public TDitherEngine {
public:
    TFloydSteinbergDitherer(int width, const TColorLookup& lookup);
    uint8_t DitherPixel(int red, int green, int blue, uint8_t chosen[3]) override;
    void AdvanceRow() override;

private:
    struct Channel {
        std::vector<int32_t> errors;
        int slot = 0;
        int32_t carried = 0;     // to the next pixel of the row
        int32_t below = 0;       // pending for the pixel below
        int32_t belowBehind = 0; // pending for the pixel below and behind
    };
    std::array<Channel, 3> channels_;
};

// ------------------------------------------------------- colour reduction --

class TDIB;

// The palette's nearest entry, remembered per colour.
class TSlowColorLookup : public TColorLookup {
public:
    explicit TSlowColorLookup(TPaletteHandle palette);
    int Colors() const override { return static_cast<int>(entries_.size()); }
    uint8_t MapColor(int red, int green, int blue, uint8_t chosen[3]) const override;

private:
    // The entry nearest in RGB, the lowest index among equals, as the
    // platform's search answers; found from the entries ordered by green.
    uint8_t Nearest(int red, int green, int blue) const;

    TPaletteHandle palette_;
    std::vector<TPaletteEntry> entries_;
    std::vector<uint8_t> byGreen_; // entry indices, ascending green
    // Direct-mapped: key is colour + 1 (0 = empty slot).
    mutable std::vector<uint32_t> cacheKeys_;
    mutable std::vector<uint8_t> cacheValues_;
};

// 256 greys by luminance (77 R + 150 G + 29 B) / 256.
class TGrayScaleLookup : public TColorLookup {
public:
    int Colors() const override { return 256; }
    uint8_t MapColor(int red, int green, int blue, uint8_t chosen[3]) const override;
};

// Black below the luminance sum 32,513, white from it.
class TMonochromeLookup : public TColorLookup {
public:
    int Colors() const override { return 2; }
    uint8_t MapColor(int red, int green, int blue, uint8_t chosen[3]) const override;
};

// Error diffusion by integer weights over a ring of error rows, one per
// row that receives error (the current one first). Each row has margin
// spare slots at both ends so weights past the edge land harmlessly.
class TKernelDitherer : public TDitherEngine {
public:
    // Offset counts in the row's direction (+1 ahead, -1 behind).
    struct TWeight {
        int Row;
        int Offset;
        int Weight;
    };
    TKernelDitherer(int width, const TColorLookup& lookup, int rows, int margin, int divisor,
                    std::vector<TWeight> weights);
    uint8_t DitherPixel(int red, int green, int blue, uint8_t chosen[3]) override;
    void AdvanceRow() override;
    int Divisor() const { return divisor_; }
    int ErrorRows() const { return rows_; }
    int Margin() const { return margin_; }

private:
    int32_t* ErrorRow(int relative) { return errors_[static_cast<size_t>((head_ + relative) % rows_)].data(); }

    int rows_;
    int margin_;
    int divisor_;
    std::vector<TWeight> weights_;
    // Per row: (width + 2 margin) slots of red, green, blue.
    std::vector<std::vector<int32_t>> errors_;
    int head_ = 0;
};

// The three-row kernels (Stucki, Sierra, JaJuNi): two slots of margin.
class T5by3Ditherer : public TKernelDitherer {
public:
    T5by3Ditherer(int width, const TColorLookup& lookup, int divisor, std::vector<TWeight> weights)
        : TKernelDitherer(width, lookup, 3, 2, divisor, std::move(weights)) {}
};

class TStuckiDitherer : public T5by3Ditherer {
public:
    TStuckiDitherer(int width, const TColorLookup& lookup);
};

class TSierraDitherer : public T5by3Ditherer {
public:
    TSierraDitherer(int width, const TColorLookup& lookup);
};

// Divisor 38, although the weights sum to 48: the reduction has always
// worked this way, and its pictures come out a little brighter for it.
class TJaJuNiDitherer : public T5by3Ditherer {
public:
    TJaJuNiDitherer(int width, const TColorLookup& lookup);
};

class TSteveArcheDitherer : public TKernelDitherer {
public:
    TSteveArcheDitherer(int width, const TColorLookup& lookup);
};

class TBurkesDitherer : public TKernelDitherer {
public:
    TBurkesDitherer(int width, const TColorLookup& lookup);
};

// The ditherer of a dither mode (0 nearest, 1 Floyd-Steinberg, 2 Stucki,
// 3 Sierra, 4 JaJuNi, 5 Steve Arche, 6 Burkes); nullptr above 6.
std::unique_ptr<TDitherEngine> MakeDitherer(int mode, int width, const TColorLookup& lookup);

// Octree colour quantisation.
struct TOctreeNode {
    bool IsLeaf = false;
    int64_t PixelCount = 0;
    int64_t RedSum = 0;
    int64_t GreenSum = 0;
    int64_t BlueSum = 0;
    std::array<std::unique_ptr<TOctreeNode>, 8> Children;
    TOctreeNode* NextReducible = nullptr;
};

class TColorQuantizer {
public:
    TColorQuantizer(int maxColors, int colorBits);
    // Adds one pixel, reducing the tree while it holds too many leaves.
    void AddColor(int red, int green, int blue);
    // Adds rows of 24-bit pixels (blue, green, red).
    void ProcessRow(const uint8_t* bgr, int width);
    int LeafCount() const { return leafCount_; }
    // The leaves' mean colours, depth first, children in index order.
    std::vector<TPaletteEntry> Colors() const;

private:
    void Reduce();

    std::unique_ptr<TOctreeNode> root_;
    std::array<TOctreeNode*, 9> reducible_{};
    int leafCount_ = 0;
    int maxColors_;
    int colorBits_;
};

// A palette of up to colors entries that the quantizer finds in the 24-bit
// rows; with systemColors 256 entries with the 20 system colours at both
// ends and up to 236 found ones between.
TPaletteHandle OptimizedPalette(TDIB& rows, int colors, int colorBits, bool systemColors);

// The bitmap reduced to 8 bits a pixel with the palette of the reduction
// mode (0 to 9) and the ditherer of the dither mode, or for mode 0 a 24-bit
// copy. Modes 1 to 9 switch the source itself to 24 bits. An unknown mode,
// an empty palette or an unknown dither mode gives an empty bitmap.
std::unique_ptr<TBitmap> ReduceBitmapColors(TBitmap& bitmap, int reduction, int ditherMode,
                                            TPaletteHandle palette, int reductionBits);

// Rows between memory and a bitmap (8 bits of palette indices, or 24 bits
// of blue, green, red).
class TDIB {
public:
    TDIB(TBitmap& bitmap, TPixelFormat format) : bitmap_(bitmap), format_(format) {}
    virtual ~TDIB() = default;
    TDIB(const TDIB&) = delete;
    TDIB& operator=(const TDIB&) = delete;
    TBitmap& Bitmap() const { return bitmap_; }
    TPixelFormat PixelFormat() const { return format_; }
    virtual uint8_t* RowPointer(int row) = 0;

protected:
    TBitmap& bitmap_;
    TPixelFormat format_;
};

// Rows written into one block laid out as a BMP file (bottom-up for a
// positive height), handed to the bitmap in one go by FlushToBitmap, which
// the destructor runs unless an exception is unwinding.
class TDIBWriter : public TDIB {
public:
    // "Unsupported PixelFormat" unless 8 or 24 bits; "Invalid image
    // dimensions" for a zero (or negative) width or a zero height.
    TDIBWriter(TBitmap& bitmap, TPaletteHandle palette, int height, int width, TPixelFormat format);
    ~TDIBWriter() override;

    // "Failed to allocate memory for GIF DIB" (EOutOfMemory) when the
    // block cannot be had, "Image has no DIB" after the flush, "Scan line
    // index out of range" (EInvalidGraphicOperation) outside the image.
    uint8_t* RowPointer(int row) override;
    void FlushToBitmap();

    int Width() const { return width_; }
    int Height() const { return height_; }
    int Stride() const { return stride_; }
    int HeaderSize() const { return headerSize_; }
    int64_t PixelSize() const { return pixelSize_; }
    // BITMAPINFOHEADER and colour table; nullptr before the first row.
    const uint8_t* Header() const { return file_.empty() ? nullptr : file_.data() + kFileHeaderSize; }

    static constexpr int kFileHeaderSize = 14;

private:
    void MakeBlocks();
    void ReleaseBlocks();

    TPaletteHandle palette_;
    int width_;
    int height_;
    int stride_;
    int headerSize_ = 0;
    int64_t pixelSize_ = 0;
    bool made_ = false;
    int unwinding_;
    // File header, header block and pixel block in one allocation, so the
    // flush hands the platform's BMP reader the finished file as it is.
    std::vector<uint8_t> file_;
};

// Switches the bitmap to the format and serves the bitmap's own rows.
class TDIBReader : public TDIB {
public:
    TDIBReader(TBitmap& bitmap, TPixelFormat format);
    uint8_t* RowPointer(int row) override;
};

// Copies source (sw x sh) into (x, y, w, h) of dest, stretched, keeping
// the destination where the 1-bit mask is 1.
void MaskedBlit(TBitmap& dest, int x, int y, int w, int h, const TBitmap& source, int sw, int sh,
                const TBitmap& mask);
