// Copy: the action, where it stands, when it is enabled, and what it puts
// on the clipboard for each kind of record.
#include "FormTestSupport.h"

#include "gif/mygifimage.h"
#include "platform/Clipboard.h"
#include "platform/Stream.h"

#include <QAction>
#include <QListWidget>
#include <QMenu>

namespace {


class CopyFixture : public FormFixture {
protected:
    TMemoryClipboard clipboard;
    ScopedClipboard scoped{clipboard};

    void SetUp() override
    {
        FormFixture::SetUp();
        Start();
    }

    void SelectOnly(int row)
    {
        form->ListView1->clearSelection();
        form->ListView1->item(row)->setSelected(true);
        // The window refreshes its commands once per event-loop turn.
        ProcessEvents();
    }

    int Row(const std::string& captionStart)
    {
        for (int i = 0; i < form->ListView1->count(); ++i)
            if (form->ListView1->item(i)->text().startsWith(QString::fromStdString(captionStart)))
                return i;
        ADD_FAILURE() << captionStart;
        return 0;
    }

    static int IndexIn(const QList<QAction*>& actions, const QAction* a)
    {
        return static_cast<int>(actions.indexOf(const_cast<QAction*>(a)));
    }
};

} // namespace

TEST_F(CopyFixture, StandsAfterExportAndIsEnabledLikeExtract)
{
    QAction* copy = form->ActImageCopy;
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->shortcut(), QKeySequence("Ctrl+C"));
    EXPECT_EQ(copy->toolTip().toStdString(), "Copy");
    EXPECT_EQ(copy->statusTip().toStdString(), "Copy the selected image to the clipboard");
    const auto image = form->MnuImage->actions();
    EXPECT_EQ(IndexIn(image, copy), IndexIn(image, form->ActImageExportGif) + 1);
    const auto popup = form->PopupMenu1->actions();
    EXPECT_EQ(IndexIn(popup, copy), IndexIn(popup, form->ActImageExportGif) + 1);

    EXPECT_FALSE(copy->isEnabled());
    AddRecord("Rose", "J", kData + "/jpeg/testorig.jpg", 227, 149);
    form->RefreshList();
    EXPECT_FALSE(copy->isEnabled());
    SelectOnly(0);
    EXPECT_TRUE(copy->isEnabled());
    EXPECT_EQ(copy->isEnabled(), form->ActImageExtract->isEnabled());
    form->ListView1->clearSelection();
    ProcessEvents();
    EXPECT_FALSE(copy->isEnabled());
}

TEST_F(CopyFixture, PutsThePictureAndForGifTheStoredBytes)
{
    const std::string gifFile = kData + "/gif-suite/animation.gif";
    AddRecord("Rose", "J", kData + "/jpeg/testorig.jpg", 227, 149);
    AddRecord("Anim", "G", gifFile, 2, 2);
    AddRecord("Idle", "I", kData + "/ico/idle.ico", 1, 1);
    form->RefreshList();

    // A JPEG: its picture, nothing else.
    SelectOnly(Row("Rose"));
    form->ActImageCopy->trigger();
    ASSERT_TRUE(clipboard.Bitmap());
    EXPECT_EQ(clipboard.Bitmap()->Width(), 227);
    EXPECT_EQ(clipboard.Bitmap()->Height(), 149);
    EXPECT_FALSE(clipboard.HasFormat("GIF Image"));

    // A GIF: the first frame's picture, and the file's bytes as stored
    // under both formats.
    SelectOnly(Row("Anim"));
    form->ActImageCopy->trigger();
    const std::vector<uint8_t> bytes = ReadWholeFile(gifFile);
    EXPECT_EQ(clipboard.Data("GIF Image"), bytes);
    EXPECT_EQ(clipboard.Data("image/gif"), bytes);
    TMyGIFImage gif;
    TMemoryStream s(bytes);
    gif.LoadFromStream(s);
    ASSERT_TRUE(clipboard.Bitmap());
    EXPECT_EQ(clipboard.Bitmap()->Width(), gif.Width());
    EXPECT_EQ(clipboard.Bitmap()->Pixel(0, 0), gif.ImageBitmap()->Pixel(0, 0));
    TMyGIFImage pasted;
    pasted.LoadFromClipboard();
    EXPECT_EQ(pasted.FrameCount(), gif.FrameCount());

    // An icon: drawn on white at its own size.
    SelectOnly(Row("Idle"));
    form->ActImageCopy->trigger();
    ASSERT_TRUE(clipboard.Bitmap());
    EXPECT_GT(clipboard.Bitmap()->Width(), 1);
    EXPECT_FALSE(clipboard.HasFormat("GIF Image"));
    EXPECT_TRUE(prompts->Records().empty());
}

TEST_F(CopyFixture, ARefusingClipboardIsReported)
{
    AddRecord("Anim", "G", kData + "/gif-suite/animation.gif", 2, 2);
    AddRecord("Rose", "J", kData + "/jpeg/testorig.jpg", 227, 149);
    form->RefreshList();
    clipboard.Refuse = true;
    SelectOnly(Row("Anim"));
    form->ActImageCopy->trigger();
    ASSERT_FALSE(prompts->Records().empty());
    EXPECT_EQ(prompts->Records().back().message.title, "Error");
    EXPECT_EQ(prompts->Records().back().message.text, "Failed to store GIF on clipboard");
    SelectOnly(Row("Rose"));
    form->ActImageCopy->trigger();
    EXPECT_EQ(prompts->Records().back().message.text, "Cannot open clipboard");
    EXPECT_EQ(DMMain->CDS.RecordCount(), 2);
}
