// GIF read, written, read again: the writer must give back a stream the
// reader takes, and both reads must hold the same image (screen, tables,
// frames, pixels, extensions). A refusal of the writer ("Color not in
// color table", an image without frames) is a fair outcome; a difference
// or a stream of ours that does not read is a finding.
#include "fuzz/FuzzSupport.h"
#include "gif/mygifimage.h"
#include "platform/Exception.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Frames of more pixels than this in all are not written: the writer
// spends its time on the pixels the header claims, not on the input.
constexpr int64_t kMaxWrittenPixels = int64_t(1) << 18;

[[noreturn]] void Differs(const std::string& what)
{
    std::fprintf(stderr, "read, write, read differ: %s\n", what.c_str());
    std::abort();
}

void Check(bool same, const std::string& what)
{
    if (!same)
        Differs(what);
}

// A table as written: the entries, then zeros up to a power of two.
void SameTable(const TGIFColorMap& first, const TGIFColorMap& second, const std::string& what)
{
    const int n = first.EntryCount();
    Check(second.EntryCount() == (n == 0 ? 0 : 1 << first.ColorBits()), what + " size");
    for (int i = 0; i < second.EntryCount() * 3; ++i)
        Check(second.Entries()[i] == (i < n * 3 ? first.Entries()[i] : 0), what + " entry");
}

std::vector<std::string> Written(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (!line.empty())
            out.push_back(line);
    return out;
}

bool Dropped(TGIFExtension* e)
{
    // An empty comment is not written.
    auto* comment = dynamic_cast<TGIFCommentExtension*>(e);
    return comment && Written(comment->Lines).empty();
}

void SameExtension(TGIFExtension* a, TGIFExtension* b, const std::string& what)
{
    Check(a->ExtensionLabel() == b->ExtensionLabel(), what + " label");
    if (auto* x = dynamic_cast<TGIFGraphicControlExtension*>(a)) {
        auto* y = dynamic_cast<TGIFGraphicControlExtension*>(b);
        Check(y && x->ControlFlags == y->ControlFlags && x->DelayTime() == y->DelayTime() &&
                  x->TransparentIndex() == y->TransparentIndex(),
              what + " graphic control");
    } else if (auto* x = dynamic_cast<TGIFCommentExtension*>(a)) {
        auto* y = dynamic_cast<TGIFCommentExtension*>(b);
        Check(y && Written(x->Lines) == y->Lines, what + " comment");
    } else if (auto* x = dynamic_cast<TGIFTextExtension*>(a)) {
        auto* y = dynamic_cast<TGIFTextExtension*>(b);
        Check(y && Written(x->Lines) == y->Lines && x->TextGrid.Left == y->TextGrid.Left &&
                  x->TextGrid.Width == y->TextGrid.Width && x->TextGrid.ForegroundIndex == y->TextGrid.ForegroundIndex,
              what + " plain text");
    } else if (auto* x = dynamic_cast<TGIFAppExtNSLoop*>(a)) {
        auto* y = dynamic_cast<TGIFAppExtNSLoop*>(b);
        Check(y && x->Identifier == y->Identifier && x->LoopCount == y->LoopCount && x->BufferLength == y->BufferLength,
              what + " loop");
    } else if (auto* x = dynamic_cast<TGIFUnknownAppExtension*>(a)) {
        auto* y = dynamic_cast<TGIFUnknownAppExtension*>(b);
        Check(y && x->Identifier == y->Identifier && x->IdentifierTail == y->IdentifierTail, what + " application");
        std::vector<std::vector<uint8_t>> xs, ys;
        for (const TGIFBlock& block : x->RawBlocks)
            if (block.Size() > 0)
                xs.push_back(block.Data);
        for (const TGIFBlock& block : y->RawBlocks)
            ys.push_back(block.Data);
        Check(xs == ys, what + " application data");
    }
}

void SameImage(TMyGIFImage& a, TMyGIFImage& b)
{
    Check(a.Width() == b.Width() && a.Height() == b.Height(), "screen size");
    Check(a.Header().BackgroundIndex == b.Header().BackgroundIndex && a.Header().AspectRatio == b.Header().AspectRatio,
          "screen descriptor");
    SameTable(a.GlobalColors(), b.GlobalColors(), "global table");
    Check(a.FrameCount() == b.FrameCount(), "frame count");
    for (int i = 0; i < a.FrameCount(); ++i) {
        TGIFSubImage& f = *a.Frame(i);
        TGIFSubImage& g = *b.Frame(i);
        const std::string at = "frame " + std::to_string(i);
        Check(f.Left() == g.Left() && f.Top() == g.Top() && f.Width() == g.Width() && f.Height() == g.Height() &&
                  f.IsInterlaced() == g.IsInterlaced(),
              at + " descriptor");
        SameTable(f.LocalColors(), g.LocalColors(), at + " local table");
        std::vector<TGIFExtension*> kept;
        for (int j = 0; j < f.FrameExtensions().Count(); ++j)
            if (!Dropped(f.FrameExtensions().Extensions(j)))
                kept.push_back(f.FrameExtensions().Extensions(j));
        Check(int(kept.size()) == g.FrameExtensions().Count(), at + " extension count");
        for (size_t j = 0; j < kept.size(); ++j)
            SameExtension(kept[j], g.FrameExtensions().Extensions(int(j)), at + " extension " + std::to_string(j));
        for (int y = 0; y < f.Height(); ++y)
            for (int x = 0; x < f.Width(); ++x)
                Check(f.PixelAt(x, y) == g.PixelAt(x, y), at + " pixel");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TMyGIFImage first;
    try {
        TMemoryStream in = fuzz::StreamOf(data, size);
        first.LoadFromStream(in);
    } catch (const Exception&) {
        return 0;
    }
    int64_t pixels = 0;
    for (int i = 0; i < first.FrameCount(); ++i) {
        // An empty frame writes its extensions alone, which then belong to
        // the next frame: not the same image by design.
        if (first.Frame(i)->IsEmpty())
            return 0;
        pixels += int64_t(first.Frame(i)->Width()) * first.Frame(i)->Height();
    }
    if (pixels > kMaxWrittenPixels)
        return 0;
    TMemoryStream written;
    try {
        first.SaveToStream(written);
    } catch (const Exception&) {
        return 0;
    }
    TMyGIFImage second;
    try {
        written.Seek(0, SeekOrigin::Begin);
        second.LoadFromStream(written);
    } catch (const Exception& e) {
        Differs("our own stream does not read: " + e.Message());
    }
    SameImage(first, second);
    return 0;
}
