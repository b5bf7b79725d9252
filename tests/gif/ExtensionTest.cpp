// Extensions: graphic control, comment, plain text, application (loop and
// unknown), the registries and their refinement.
#include "GifTestUtil.h"

#include <gtest/gtest.h>

using namespace giftest;

namespace {

// A 1x1 frame preceded by the given extension bytes.
Bytes WithExtensions(const Bytes& ext) { return OneFrame(1, 1, ImageData(2, LiteralCodes({1}, 2)), ext); }

TGIFExtension* Ext(TMyGIFImage& image, int frame, int index)
{
    return image.Frame(frame)->FrameExtensions().Extensions(index);
}

Bytes AppExtension(int blockSize, const std::string& id, const std::vector<Bytes>& blocks)
{
    Bytes b{0x21, 0xFF, static_cast<uint8_t>(blockSize)};
    AppendText(b, id);
    for (const auto& blk : blocks) {
        b.push_back(static_cast<uint8_t>(blk.size()));
        Append(b, blk);
    }
    b.push_back(0);
    return b;
}

} // namespace

TEST(GifExtensions, GraphicControlFirstCountsTransparencyFromAny)
{
    TMyGIFImage image;
    Bytes ext = GraphicControl(0x08, 50, 2);
    Append(ext, Comment({"x"}));
    Append(ext, GraphicControl(0x01, 7, 3));
    ASSERT_EQ(LoadBytes(image, WithExtensions(ext)), "");
    TGIFSubImage& f = *image.Frame(0);
    ASSERT_EQ(f.FrameExtensions().Count(), 3);
    EXPECT_NE(dynamic_cast<TGIFCommentExtension*>(Ext(image, 0, 1)), nullptr);
    auto* first = dynamic_cast<TGIFGraphicControlExtension*>(Ext(image, 0, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(f.ControlExtension(), first);
    EXPECT_EQ(first->DelayTime(), 50);
    EXPECT_EQ(first->DisposalMethod(), 2);
    EXPECT_TRUE(f.HasTransparency());
    // The fill comes from the first extension's index.
    EXPECT_EQ(f.FillIndex(), 2);

    // Deleting the transparent one clears the flag; deleting the first the link.
    f.FrameExtensions().Delete(2);
    EXPECT_FALSE(f.HasTransparency());
    f.FrameExtensions().Delete(0);
    EXPECT_EQ(f.ControlExtension(), nullptr);
}

TEST(GifExtensions, GraphicControlBlockSizeIsNotTrusted)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    // Block size 5: still six bytes, and the next byte starts the next block.
    ASSERT_EQ(LoadBytes(image, WithExtensions(GraphicControl(0, 9, 0, 5))), "");
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(dynamic_cast<TGIFGraphicControlExtension*>(Ext(image, 0, 0))->BlockSize, 5);
    EXPECT_FALSE(image.Frame(0)->IsEmpty());

    // Fewer than six bytes left: a warning, not a failure.
    Bytes gif = Header(1, 1, 0x81);
    Append(gif, {0x21, 0xF9, 4, 1, 0});
    ASSERT_EQ(LoadBytes(image, gif), "");
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_FALSE(image.Frame(0)->HasTransparency());
    EXPECT_TRUE(w.Has("Premature end of data"));
}

TEST(GifExtensions, GraphicControlSetters)
{
    TMyGIFImage image;
    Warnings w;
    w.Attach(image);
    for (int i = 0; i < 4; ++i)
        image.GlobalColors().AppendColor(static_cast<TColor>(i));
    TGIFSubImage frame(&image);
    TGIFGraphicControlExtension gce(&frame);
    EXPECT_EQ(frame.ControlExtension(), &gce);
    gce.SetDisposalMethod(9);
    EXPECT_EQ(gce.DisposalMethod(), 1);
    gce.SetWaitForInput(true);
    EXPECT_TRUE(gce.WaitForInput());
    gce.SetTransparent(true);
    EXPECT_TRUE(frame.HasTransparency());
    gce.SetTransparentIndex(3);
    EXPECT_EQ(gce.TransparentIndex(), 3);
    gce.SetTransparentIndex(4);
    EXPECT_EQ(gce.TransparentIndex(), 0);
    EXPECT_EQ(w.list, std::vector<std::string>{"Invalid color index"});
}

TEST(GifExtensions, CommentsKeepEveryByteButPlainTextEndsAtZero)
{
    TMyGIFImage image;
    Bytes ext{0x21, 0xFE, 5, 'a', 'b', 0, 'c', 'd', 1, 0, 2, 'x', 'y', 0};
    ASSERT_EQ(LoadBytes(image, WithExtensions(ext)), "");
    auto* c = dynamic_cast<TGIFCommentExtension*>(Ext(image, 0, 0));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Lines, (std::vector<std::string>{std::string("ab\0cd", 5), std::string(1, '\0'), "xy"}));
    // Written back byte for byte.
    TMemoryStream out;
    c->SaveToStream(out);
    EXPECT_EQ(out.Bytes(), ext);
    // Plain text lines still end at their first zero byte.
    Bytes text{0x21, 0x01, 12, 0, 0, 0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 3, 'h', 0, 'i', 0};
    ASSERT_EQ(LoadBytes(image, WithExtensions(text)), "");
    auto* t = dynamic_cast<TGIFTextExtension*>(Ext(image, 0, 0));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->Lines, std::vector<std::string>{"h"});
    // Cut inside a sub-block: fatal.
    Bytes cut = Header(1, 1, 0x81);
    Append(cut, {0x21, 0xFE, 5, 'a'});
    EXPECT_EQ(LoadBytes(image, cut), "Premature end of data");
}

TEST(GifExtensions, PlainText)
{
    TMyGIFImage image;
    Bytes ext{0x21, 0x01, 12, 1, 0, 2, 0, 40, 0, 8, 0, 8, 8, 1, 0};
    Append(ext, {5, 'H', 'e', 'l', 'l', 'o', 0});
    ASSERT_EQ(LoadBytes(image, WithExtensions(ext)), "");
    auto* t = dynamic_cast<TGIFTextExtension*>(Ext(image, 0, 0));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->TextGrid.Left, 1);
    EXPECT_EQ(t->TextGrid.Width, 40);
    EXPECT_EQ(t->TextGrid.ForegroundIndex, 1);
    EXPECT_EQ(t->Lines, std::vector<std::string>{"Hello"});
}

TEST(GifExtensions, LoopExtension)
{
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, WithExtensions(AppExtension(11, "NETSCAPE2.0", {{1, 0, 0}}))), "");
    auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(Ext(image, 0, 0));
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->LoopCount, 0);
    // Only the low three bits of the id count; the buffer size sub-block too.
    ASSERT_EQ(LoadBytes(image, WithExtensions(AppExtension(11, "ANIMEXTS1.0", {{9, 5, 1}, {2, 0, 4, 0, 0}, {7}}))), "");
    loop = dynamic_cast<TGIFAppExtNSLoop*>(Ext(image, 0, 0));
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->LoopCount, 0x0105);
    EXPECT_EQ(loop->BufferLength, 1024u);
    EXPECT_EQ(loop->IdentifierText(), "ANIMEXTS1.0");

    EXPECT_EQ(LoadBytes(image, WithExtensions(AppExtension(11, "NETSCAPE2.0", {{1, 0}}))), "Invalid GIF data");
    EXPECT_EQ(LoadBytes(image, WithExtensions(AppExtension(11, "NETSCAPE2.0", {{2, 0, 0}}))), "Invalid GIF data");
    // Ending inside the sub-blocks never reads on past the end.
    Bytes cut = Header(1, 1, 0x81);
    Append(cut, {0x21, 0xFF, 11});
    AppendText(cut, "NETSCAPE2.0");
    Append(cut, {3, 1});
    EXPECT_EQ(LoadBytes(image, cut), "Premature end of data");
    // Ending right after the identifier: the refinement finds nothing.
    cut.resize(cut.size() - 2);
    EXPECT_EQ(LoadBytes(image, cut), "Unknown extension type");
}

TEST(GifExtensions, ADataSubBlockThatSpellsAnIdentifierStaysData)
{
    // An unknown identifier, then a first data sub-block of 11 bytes that
    // reads "NETSCAPE2.0": still an unknown extension with all its data,
    // written back as it was read.
    const Bytes ext = AppExtension(11, "XMP DataXMP", {Bytes{'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'}, {1, 0, 0}});
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, WithExtensions(ext)), "");
    auto* u = dynamic_cast<TGIFUnknownAppExtension*>(Ext(image, 0, 0));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->IdentifierText(), "XMP DataXMP");
    ASSERT_EQ(u->RawBlocks.size(), 2u);
    EXPECT_EQ(u->RawBlocks[1].Data, (Bytes{1, 0, 0}));
    TMemoryStream out;
    u->SaveToStream(out);
    EXPECT_EQ(out.Bytes(), ext);
}

TEST(GifExtensions, UnknownApplicationExtensions)
{
    TMyGIFImage image;
    ASSERT_EQ(LoadBytes(image, WithExtensions(AppExtension(11, "XMP DataXMP", {{1, 2, 3}, {4}}))), "");
    auto* u = dynamic_cast<TGIFUnknownAppExtension*>(Ext(image, 0, 0));
    ASSERT_NE(u, nullptr);
    ASSERT_EQ(u->RawBlocks.size(), 2u);
    EXPECT_EQ(u->RawBlocks[0].Data, (Bytes{1, 2, 3}));
    EXPECT_EQ(u->RawBlocks[1].Size(), 1);

    // A 10-byte identifier block: the eleventh byte stays 0.
    ASSERT_EQ(LoadBytes(image, WithExtensions(AppExtension(10, "ABCDEFGHIJ", {{5}}))), "");
    u = dynamic_cast<TGIFUnknownAppExtension*>(Ext(image, 0, 0));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->Identifier[9], 'J');
    EXPECT_EQ(u->Identifier[10], 0);
    ASSERT_EQ(u->RawBlocks.size(), 1u);

    // A longer block: 11 identifier bytes and a tail. Its data is no loop
    // sub-block, so cut to 11 bytes the block would name a kind whose reader
    // refuses the file: it is written back whole and reads as it was.
    const Bytes longBlock = AppExtension(14, "NETSCAPE2.0xyz", {{2, 1}});
    ASSERT_EQ(LoadBytes(image, WithExtensions(longBlock)), "");
    u = dynamic_cast<TGIFUnknownAppExtension*>(Ext(image, 0, 0));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->IdentifierText(), "NETSCAPE2.0");
    EXPECT_EQ(u->IdentifierTail, (Bytes{'x', 'y', 'z'}));
    ASSERT_EQ(u->RawBlocks.size(), 1u);
    EXPECT_FALSE(image.Frame(0)->IsEmpty());
    TMemoryStream tail;
    u->SaveToStream(tail);
    EXPECT_EQ(tail.Bytes(), longBlock);
    TMemoryStream whole;
    image.SaveToStream(whole);
    TMyGIFImage again;
    whole.Seek(0, SeekOrigin::Begin);
    ASSERT_NO_THROW(again.LoadFromStream(whole));
    auto* v = dynamic_cast<TGIFUnknownAppExtension*>(Ext(again, 0, 0));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->IdentifierTail, u->IdentifierTail);

    EXPECT_EQ(LoadBytes(image, WithExtensions(AppExtension(9, "ABCDEFGHI", {}))),
              "Unsupported Application Extension block size");
    // Ending right after the label or inside a 10-byte identifier.
    Bytes cut = Header(1, 1, 0x81);
    Append(cut, {0x21, 0xFF});
    EXPECT_EQ(LoadBytes(image, cut), "Unknown extension type");
    Append(cut, {10, 'A', 'B'});
    EXPECT_EQ(LoadBytes(image, cut), "Unknown extension type");
}

TEST(GifExtensions, UnregisteredLabel)
{
    TMyGIFImage image;
    EXPECT_EQ(LoadBytes(image, WithExtensions({0x21, 0xFD, 1, 0, 0})), "Unknown extension type");
}

TEST(GifExtensions, ProbeLeavesStreamAndObjectsCheckTheirLabel)
{
    Bytes bytes{0xFF, 11};
    AppendText(bytes, "NETSCAPE2.0");
    Append(bytes, {3, 1, 0, 0, 0});
    TMemoryStream s(bytes);
    EXPECT_EQ(ProbeExtension(s), &TGIFAppExtNSLoop::Class());
    EXPECT_EQ(s.Position(), 0);
    TMemoryStream comment(Bytes{0xFE, 0});
    EXPECT_EQ(ProbeExtension(comment), &TGIFCommentExtension::Class());
    TMemoryStream none(Bytes{});
    EXPECT_EQ(ProbeExtension(none), nullptr);

    TMyGIFImage image;
    TGIFSubImage frame(&image);
    TGIFCommentExtension c(&frame);
    TMemoryStream gce(GraphicControl(0, 0, 0));
    try {
        c.LoadFromStream(gce);
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "Internal error: Extension Instance does not match Extension Label");
    }
    TMemoryStream notIntroducer(Bytes{0x20, 0xFE, 0});
    EXPECT_THROW(c.LoadFromStream(notIntroducer), GIFException);
    EXPECT_EQ(c.Version(), 2);
}

TEST(GifExtensions, RegistriesSearchFromTheLast)
{
    static const TGIFExtensionClass mine{"Mine", 0xFE, TGIFCommentExtension::Class().Create,
                                         TGIFCommentExtension::Class().Refine};
    EXPECT_EQ(ExtensionRegistry().Find(0xFE), &TGIFCommentExtension::Class());
    TExtensionList local;
    local.Add(0xFE, &TGIFCommentExtension::Class());
    local.Add(0xFE, &mine);
    EXPECT_EQ(local.Find(0xFE), &mine);
    EXPECT_EQ(local.Find(0x01), nullptr);
    TGIFAppIdentifier id{};
    std::copy_n("NETSCAPE2.0", 11, id.begin());
    EXPECT_EQ(AppExtensionRegistry().Find(id), &TGIFAppExtNSLoop::Class());
    id[10] = '1';
    EXPECT_EQ(AppExtensionRegistry().Find(id), nullptr);
}
