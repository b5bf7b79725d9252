// Files and folders dropped on the window, Add Folder, and items dragged out
// of the list.
#include "FormTestSupport.h"

#include "platform/Stream.h"
#include "platform/Text.h"
#include "widgets/ErrorGuard.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <algorithm>
#include <set>

namespace {

const std::string kDepth8Gif = kData + "/gif-suite/depth8.gif";

class DropFixture : public StartedFormFixture {
protected:
    std::string Put(const std::string& relative, const std::string& source) { return PutFile(relative, source); }
    std::string Write(const std::string& relative, const std::string& text)
    {
        const std::string path = Path(relative);
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).path());
        WriteWholeFile(std::vector<uint8_t>(text.begin(), text.end()), path);
        return path;
    }
    // A vault file holding one record.
    std::string MakeVault(const std::string& relative)
    {
        AddRecord("InVault", "B", kBmp);
        const std::string path = Path(relative);
        form->SaveFile(path);
        form->Modified = false;
        form->ActFileNew->trigger();
        return path;
    }

    void Drop(const std::vector<std::string>& paths)
    {
        QList<QUrl> urls;
        for (const std::string& p : paths)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
        DropUrls(urls);
    }

    std::vector<std::string> Messages(const char* title) const
    {
        std::vector<std::string> out;
        for (const auto& r : prompts->Records())
            if (r.kind == TScriptedPrompts::Record::Kind::Message && r.message.title == title)
                out.push_back(r.message.text);
        return out;
    }
    bool Logged(const std::string& text) const { return std::find(status.begin(), status.end(), text) != status.end(); }
};

} // namespace

TEST_F(DropFixture, DroppedImageFilesAreAddedAsAddAddsThem)
{
    const std::string a = Put("in/Sunset.jpg", kJpeg);
    const std::string b = Put("in/anim.gif", kDepth8Gif);
    const std::string notes = Write("in/notes.txt", "hello");
    prompts->AnswerMessage(MsgButton::Ok);
    Drop({a, notes, b});
    EXPECT_EQ(AllRecords(), (std::vector<std::string>{"Sunset/J", "anim/G"}));
    EXPECT_EQ(form->ListView1->count(), 2);
    EXPECT_TRUE(form->Modified);
    EXPECT_TRUE(Logged("Adding new images... (33% of 3)"));
    EXPECT_TRUE(Logged("Adding new images... (100% of 3)"));
    // The file of no image kind is named with the loader's own message.
    EXPECT_EQ(Messages("Warning"),
              std::vector<std::string>{"Unknown picture file extension (.txt)\r\rThe file \"notes.txt\" cannot be added."});
    EXPECT_EQ(prompts->PendingAnswers(), 0u);

    // Dropped again: the same replace question as Add, once for Yes to All.
    prompts->AnswerMessage(MsgButton::YesToAll);
    Drop(std::vector<std::string>{a, b});
    const std::vector<std::string> asked = Messages("Information");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked.front(), "\"Sunset\" already exists.\r\rDo you want to replace existing image?");
    EXPECT_EQ(AllRecords().size(), 2u);
}

TEST_F(DropFixture, DroppedFolderAddsItsImagesRecursivelyAndReportsTheRest)
{
    Put("pics/a.jpg", kJpeg);
    Put("pics/deeper/still/b.gif", kDepth8Gif);
    Put("pics/stored.bmp", kBmp);
    Put("pics/.hidden.jpg", kGray);
    Write("pics/bad.jpg", "not a JPEG at all");
    Write("pics/deeper/readme.txt", "text");
    // A vault inside the folder is reported, not added and not opened.
    QFile::copy(QString::fromStdString(MakeVault("v.gmb")), QString::fromStdString(Path("pics/deeper/old.gmb")));
    AddRecord("stored", "B", kBmp);
    form->RefreshList();

    prompts->AnswerMessage(MsgButton::No); // keep the stored one
    prompts->AnswerMessage(MsgButton::Ok); // the report
    Drop(std::vector<std::string>{Path("pics")});
    EXPECT_TRUE(form->CurrentFileName.empty());
    // The good files are in, the bad one did not stop the ones after it.
    EXPECT_EQ(AllRecords(), (std::vector<std::string>{"a/J", "b/G", "stored/B"}));
    EXPECT_EQ(Messages("Information"),
              std::vector<std::string>{"\"stored\" already exists.\r\rDo you want to replace existing image?"});
    const std::vector<std::string> report = Messages("Warning");
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report.front().substr(0, report.front().find('\r')), "3 files cannot be added.");
    EXPECT_NE(report.front().find("\"old.gmb\": It is a vault, not an image"), std::string::npos) << report.front();
    EXPECT_NE(report.front().find("\"readme.txt\": Unknown picture file extension (.txt)"), std::string::npos);
    EXPECT_NE(report.front().find("\"bad.jpg\": "), std::string::npos);
    EXPECT_EQ(report.front().find("hidden"), std::string::npos);
    // Four image files walked: a, bad, stored, b.
    EXPECT_TRUE(Logged("Adding new images... (25% of 4)"));
}

// Cancel in the replace question ends the drop there, quietly.
TEST_F(DropFixture, CancelledReplaceQuestionEndsTheDropWithoutAReport)
{
    Put("pics/a.jpg", kJpeg);
    Put("pics/b.jpg", kGray);
    Put("pics/c.jpg", kJpeg);
    Write("pics/notes.txt", "text");
    AddRecord("b", "J", kGray);
    prompts->AnswerMessage(MsgButton::Cancel);
    Drop(std::vector<std::string>{Path("pics")});
    EXPECT_EQ(AllRecords(), (std::vector<std::string>{"a/J", "b/J"}));
    EXPECT_EQ(prompts->Records().size(), 1u); // the question only
    EXPECT_EQ(form->ListView1->count(), 2);   // the list was rebuilt
}

TEST_F(DropFixture, DroppedVaultIsOpenedWhenItComesAlone)
{
    const std::string vault = MakeVault("v.gmb");
    Drop(std::vector<std::string>{vault});
    EXPECT_EQ(form->CurrentFileName, vault);
    EXPECT_EQ(AllRecords(), std::vector<std::string>{"InVault/B"});
    EXPECT_TRUE(prompts->Records().empty());

    // Known by its first bytes too, whatever its name.
    form->ActFileNew->trigger();
    const std::string renamed = Path("vault-without-extension");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(vault), QString::fromStdString(renamed)));
    Drop(std::vector<std::string>{renamed});
    EXPECT_EQ(form->CurrentFileName, renamed);
    // The open vault dropped on itself is known without being read.
    Drop(std::vector<std::string>{renamed});
    EXPECT_EQ(form->CurrentFileName, renamed);
    form->ActFileNew->trigger();

    // Among images: the images are added, the vault is named and left alone.
    const std::string a = Put("in/a.jpg", kJpeg);
    prompts->AnswerMessage(MsgButton::Ok);
    Drop(std::vector<std::string>{vault, a});
    EXPECT_TRUE(form->CurrentFileName.empty());
    EXPECT_EQ(AllRecords(), std::vector<std::string>{"a/J"});
    EXPECT_EQ(Messages("Warning"),
              std::vector<std::string>{"It is a vault, not an image: drop it on its own to open it.\r\rThe file \"v.gmb\" cannot be added."});

    // A file that is neither is reported as Add reports it, not opened.
    const std::string pdf = Write("doc.pdf", "%PDF-1.4");
    prompts->AnswerMessage(MsgButton::Ok);
    Drop(std::vector<std::string>{pdf});
    EXPECT_EQ(Messages("Warning").back(), "Unknown picture file extension (.pdf)\r\rThe file \"doc.pdf\" cannot be added.");
    EXPECT_EQ(Messages("Error").size(), 0u);
}

TEST_F(DropFixture, AddFolderAddsEveryImageInTheChosenFolder)
{
    // Beside Add in the Image menu, with its caption and hint.
    const QList<QAction*> menu = form->MnuImage->actions();
    const qsizetype at = menu.indexOf(form->ActImageAdd);
    ASSERT_GE(at, 0);
    ASSERT_LT(at + 1, menu.size());
    EXPECT_EQ(menu[at + 1], form->ActImageAddFolder);
    EXPECT_EQ(form->ActImageAddFolder->text().toStdString(), "Add Folder...");
    EXPECT_FALSE(form->ActImageAddFolder->statusTip().isEmpty());

    Put("shots/2019/one.jpg", kJpeg);
    Put("shots/two.jpg", kGray);
    prompts->AnswerFolder(Path("shots"));
    form->ActImageAddFolder->trigger();
    EXPECT_EQ(prompts->Records().front().kind, TScriptedPrompts::Record::Kind::BrowseFolder);
    EXPECT_EQ(prompts->Records().front().title, "Select the folder whose images are added.");
    EXPECT_EQ(AllRecords(), (std::vector<std::string>{"one/J", "two/J"}));
    EXPECT_EQ(prompts->Records().size(), 1u); // nothing to report
    EXPECT_EQ(form->ListView1->count(), 2);

    // Cancelled: nothing happens. An empty folder: said so.
    prompts->Cancel();
    form->ActImageAddFolder->trigger();
    QDir().mkpath(QString::fromStdString(Path("empty")));
    prompts->AnswerFolder(Path("empty"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageAddFolder->trigger();
    EXPECT_EQ(Messages("Information"), std::vector<std::string>{"No image files were found."});
    EXPECT_EQ(AllRecords().size(), 2u);
}

TEST_F(DropFixture, DragOutOffersExtractedFilesWithTheVaultsBytes)
{
    const std::string a = Put("in/Sunset.jpg", kJpeg);
    const std::string b = Put("in/anim.gif", kDepth8Gif);
    form->AddFiles({a, b});
    SelectRows({0, 1});
    std::unique_ptr<QMimeData> mime;
    ASSERT_TRUE(Guarded([&] { mime = form->MakeDragOutData(); }));
    const QList<QUrl> urls = mime->urls();
    ASSERT_EQ(urls.size(), 2);
    const QString scratch = QDir(QString::fromStdString(form->TempDir)).canonicalPath();
    std::vector<std::string> names;
    for (const QUrl& url : urls) {
        ASSERT_TRUE(url.isLocalFile());
        const QFileInfo file(url.toLocalFile());
        EXPECT_TRUE(file.canonicalFilePath().startsWith(scratch + "/")) << file.filePath().toStdString();
        names.push_back(file.fileName().toStdString());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Sunset.jpg", "anim.gif"}));
    EXPECT_EQ(ReadWholeFile(urls[0].toLocalFile().toStdString()), ReadWholeFile(a));
    EXPECT_EQ(ReadWholeFile(urls[1].toLocalFile().toStdString()), ReadWholeFile(b));

    // Each drag has a folder of its own; the earlier ones go once they are
    // old enough, when a later drag begins.
    std::unique_ptr<QMimeData> second;
    ASSERT_TRUE(Guarded([&] { second = form->MakeDragOutData(); }));
    EXPECT_NE(second->urls()[0], urls[0]);
    EXPECT_TRUE(QFile::exists(urls[0].toLocalFile()));
    form->KeepDragFilesSeconds = 0;
    std::unique_ptr<QMimeData> third;
    ASSERT_TRUE(Guarded([&] { third = form->MakeDragOutData(); }));
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(urls[0].toLocalFile()).path()));
    EXPECT_FALSE(QFileInfo::exists(second->urls()[0].toLocalFile()));
    EXPECT_TRUE(QFile::exists(third->urls()[0].toLocalFile()));
}

TEST_F(DropFixture, DraggedOutHostileNamesStayInsideTheScratchFolder)
{
    for (const char* name : {"../x", "..", "a/b", "a_b", "/etc/passwd"})
        AddRecord(name, "J", kJpeg);
    form->RefreshList();
    form->ActImageSelectAll->trigger();
    std::unique_ptr<QMimeData> mime;
    ASSERT_TRUE(Guarded([&] { mime = form->MakeDragOutData(); }));
    ASSERT_EQ(mime->urls().size(), 5);
    const QString scratch = QDir(QString::fromStdString(form->TempDir)).canonicalPath();
    std::set<QString> files;
    for (const QUrl& url : mime->urls()) {
        const QFileInfo file(url.toLocalFile());
        EXPECT_TRUE(file.exists()) << url.toString().toStdString();
        EXPECT_TRUE(file.canonicalFilePath().startsWith(scratch + "/drag-")) << file.filePath().toStdString();
        EXPECT_EQ(ReadWholeFile(file.filePath().toStdString()), ReadWholeFile(kJpeg));
        files.insert(file.canonicalFilePath());
    }
    EXPECT_EQ(files.size(), 5u); // "a/b" and "a_b" do not share a file
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Path("x.jpg"))));
}

TEST_F(DropFixture, FailedDragOutLeavesNothingBehind)
{
    AddRecord("good", "J", kJpeg);
    AddRecord("zbroken", "J", kJpeg);
    // The second record's bytes are no zlib stream: it cannot be extracted.
    ASSERT_TRUE(DMMain->LocateRecord("zbroken", "J"));
    DMMain->CDS.Edit();
    DMMain->CDSImage.SetBytes({0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF});
    DMMain->CDS.Post();
    prompts->AnswerMessage(MsgButton::Ok); // the fill's warning
    form->RefreshList();
    ProcessEvents();
    form->ActImageSelectAll->trigger();
    prompts->AnswerMessage(MsgButton::Ok);
    std::unique_ptr<QMimeData> mime;
    EXPECT_FALSE(Guarded([&] { mime = form->MakeDragOutData(); }));
    EXPECT_FALSE(mime);
    EXPECT_TRUE(QDir(QString::fromStdString(form->TempDir)).entryList({"drag-*"}, QDir::Dirs).isEmpty());
}

// A press on a selected item keeps the selection for a drag; a press and
// release without moving selects that item alone, as before.
TEST_F(DropFixture, PressOnASelectedItemKeepsTheSelectionForADrag)
{
    for (const char* name : {"a", "b", "c"})
        AddRecord(name, "J", kJpeg);
    form->RefreshList();
    SelectRows({0, 1});
    QWidget* viewport = form->ListView1->viewport();
    const QPointF at = QPointF(form->ListView1->visualItemRect(form->ListView1->item(1)).center());
    auto send = [&](QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, pos, viewport->mapToGlobal(pos), button, held, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
        ProcessEvents();
    };
    send(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, at + QPointF(1, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(form->ListView1->selectedItems().size(), 2);
    send(QEvent::MouseButtonRelease, at + QPointF(1, 0), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(form->SelectedRows(), std::vector<int>{1});
}
