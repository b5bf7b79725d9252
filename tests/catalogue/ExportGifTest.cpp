// Export as GIF: where the command stands, the names and dialogs it uses,
// what the files hold (transparency of icons and metafiles, every frame of
// an animation) and what a picture it cannot convert leaves behind.
#include "FormTestSupport.h"

#include "gif/mygifimage.h"
#include "imaging/LoadersMetafile.h"
#include "platform/Icon.h"
#include "platform/Paths.h"
#include "platform/Picture.h"
#include "platform/Stream.h"

#include <QAction>
#include <QDir>
#include <QListWidget>
#include <QMenu>
#include <set>

namespace {

const std::string kEmf = kData + "/emf/test-008.emf";
const std::string kAnimation = kData + "/gif-suite/animation.gif";

class ExportFixture : public StartedFormFixture {
protected:
    void SetUp() override
    {
        StartedFormFixture::SetUp();
        QDir().mkpath(QString::fromStdString(Path("out")));
    }

    void SelectAll()
    {
        form->ListView1->selectAll();
        ProcessEvents();
    }

    std::string Out(const std::string& name) const { return Path("out/" + name); }

    QStringList Written() const
    {
        QStringList files = QDir(QString::fromStdString(Path("out"))).entryList(QDir::Files | QDir::Hidden);
        files.sort();
        return files;
    }

    const TScriptedPrompts::Record& LastPrompt() { return prompts->Records().back(); }
};

std::unique_ptr<TMyGIFImage> ReadGif(const std::string& path)
{
    auto image = std::make_unique<TMyGIFImage>();
    image->LoadFromFile(path);
    return image;
}

int IndexIn(const QList<QAction*>& actions, const QAction* a)
{
    return static_cast<int>(actions.indexOf(const_cast<QAction*>(a)));
}

} // namespace

TEST_F(ExportFixture, StandsAfterExtractAndIsEnabledLikeIt)
{
    QAction* exportGif = form->ActImageExportGif;
    ASSERT_NE(exportGif, nullptr);
    EXPECT_EQ(exportGif->text().toStdString(), "Export as GIF...");
    EXPECT_EQ(exportGif->toolTip().toStdString(), "Export as GIF");
    EXPECT_EQ(exportGif->statusTip().toStdString(), "Save the selected images as GIF files");
    EXPECT_EQ(IndexIn(form->MnuImage->actions(), exportGif), IndexIn(form->MnuImage->actions(), form->ActImageExtract) + 1);
    EXPECT_EQ(IndexIn(form->PopupMenu1->actions(), exportGif),
              IndexIn(form->PopupMenu1->actions(), form->ActImageExtract) + 1);

    EXPECT_FALSE(exportGif->isEnabled());
    AddRecord("Rose", "J", kJpeg);
    form->RefreshList();
    EXPECT_FALSE(exportGif->isEnabled());
    SelectRows({0});
    EXPECT_TRUE(exportGif->isEnabled());
    EXPECT_EQ(exportGif->isEnabled(), form->ActImageExtract->isEnabled());
}

TEST_F(ExportFixture, OneRecordGoesThroughTheSaveDialog)
{
    AddRecord("Rose", "J", kJpeg);
    form->RefreshList();
    SelectRows({0});

    prompts->Cancel();
    form->ActImageExportGif->trigger();
    const FileDialogRequest& dialog = LastPrompt().file;
    EXPECT_EQ(dialog.fileName, "Rose.gif");
    EXPECT_EQ(dialog.defaultExt, "gif");
    EXPECT_EQ(dialog.filter, "GIF files (*.gif)|*.gif|All files (*.*)|*.*");
    EXPECT_TRUE(dialog.overwritePrompt);
    EXPECT_TRUE(Written().isEmpty());

    status.clear();
    prompts->AnswerFile(Out("chosen.gif"));
    form->ActImageExportGif->trigger();
    auto gif = ReadGif(Out("chosen.gif"));
    ASSERT_EQ(gif->FrameCount(), 1);
    TMemoryStream jpeg;
    jpeg.LoadFromFile(kJpeg);
    TPicture picture;
    picture.LoadFromStream(jpeg, "jpg");
    EXPECT_EQ(gif->Width(), picture.Width());
    EXPECT_EQ(gif->Height(), picture.Height());
    // The start settings: colours of the 216-colour cube, no transparency
    // for a photo.
    TGIFSubImage& frame = *gif->Frame(0);
    EXPECT_FALSE(frame.HasTransparency());
    std::set<uint8_t> used;
    for (int y = 0; y < frame.Height(); ++y)
        for (int x = 0; x < frame.Width(); ++x)
            used.insert(frame.PixelAt(x, y));
    EXPECT_GT(used.size(), 20u);
    for (uint8_t index : used) {
        const TColor c = frame.LocalColors().ColorAt(index);
        for (uint8_t level : {RedOf(c), GreenOf(c), BlueOf(c)})
            ASSERT_EQ(level % 0x33, 0) << int(index);
    }
    EXPECT_EQ(status, (std::vector<std::string>{"Exporting images...", "Exporting images... (100% of 1)", ""}));
    EXPECT_FALSE(form->Modified);
}

TEST_F(ExportFixture, IconsAndMetafilesKeepTheirTransparency)
{
    AddRecord("idle", "I", kIco);
    AddRecord("shape", "E", kEmf);
    form->RefreshList();
    SelectAll();
    prompts->AnswerFolder(Path("out"));
    form->ActImageExportGif->trigger();
    EXPECT_EQ(LastPrompt().title, "Select destination folder for exporting selected images as GIF.");
    ASSERT_EQ(Written(), (QStringList{"idle.gif", "shape.gif"}));

    TIcon icon;
    icon.LoadFromFile(kIco);
    auto fromIcon = ReadGif(Out("idle.gif"));
    ASSERT_EQ(fromIcon->FrameCount(), 1);
    TGIFSubImage& iconFrame = *fromIcon->Frame(0);
    ASSERT_TRUE(iconFrame.HasTransparency());
    const int iconClear = iconFrame.ControlExtension()->TransparentIndex();
    int clear = 0, solid = 0;
    for (int y = 0; y < icon.Height(); ++y)
        for (int x = 0; x < icon.Width(); ++x) {
            const bool transparent = qAlpha(icon.Image().pixel(x, y)) < 128;
            clear += transparent;
            solid += !transparent;
            ASSERT_EQ(iconFrame.PixelAt(x, y) == iconClear, transparent) << x << "," << y;
        }
    EXPECT_GT(clear, 0);
    EXPECT_GT(solid, 0);

    TMetafile metafile;
    metafile.LoadFromFile(kEmf);
    TBitmap white(metafile.Width(), metafile.Height()), black(metafile.Width(), metafile.Height());
    black.Fill(clBlack);
    metafile.Draw(white, Rect(0, 0, white.Width(), white.Height()));
    metafile.Draw(black, Rect(0, 0, black.Width(), black.Height()));
    auto fromMetafile = ReadGif(Out("shape.gif"));
    TGIFSubImage& metaFrame = *fromMetafile->Frame(0);
    ASSERT_TRUE(metaFrame.HasTransparency());
    const int metaClear = metaFrame.ControlExtension()->TransparentIndex();
    int shows = 0, painted = 0;
    for (int y = 0; y < white.Height(); ++y)
        for (int x = 0; x < white.Width(); ++x) {
            const bool background = white.Pixel(x, y) != black.Pixel(x, y);
            if (metaFrame.PixelAt(x, y) == metaClear) {
                ++shows;
                ASSERT_TRUE(background) << x << "," << y;
            } else if (!background) {
                ++painted;
            }
        }
    EXPECT_GT(shows, 0);
    EXPECT_GT(painted, 0);
}

TEST_F(ExportFixture, SeveralRecordsGoIntoAFolderWithSafeDistinctNames)
{
    AddRecord("a", "B", kBmp);
    AddRecord("a", "J", kJpeg);
    AddRecord("../up", "I", kIco);
    AddRecord("moving", "G", kAnimation);
    form->RefreshList();
    SelectAll();
    // An existing file of a chosen name is replaced without a question.
    TMemoryStream(std::vector<uint8_t>{1, 2, 3}).SaveToFile(Out("a.gif"));
    prompts->AnswerFolder(Path("out"));
    form->ActImageExportGif->trigger();

    EXPECT_EQ(Written(), (QStringList{".._up.gif", "a.gif", "a.jpg.gif", "moving.gif"}));
    EXPECT_TRUE(QDir(QString::fromStdString(Path("out"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_FALSE(FileExists(Path("up.gif")));
    for (const char* name : {".._up.gif", "a.gif", "a.jpg.gif"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadGif(Out(name))->FrameCount(), 1);
    }
    // The animation is written back as stored: every frame.
    EXPECT_EQ(ReadWholeFile(Out("moving.gif")), ReadWholeFile(kAnimation));
    EXPECT_GT(ReadGif(Out("moving.gif"))->FrameCount(), 1);

    const std::vector<std::string> expected{"Exporting images...", "Exporting images... (25% of 4)",
                                            "Exporting images... (50% of 4)", "Exporting images... (75% of 4)",
                                            "Exporting images... (100% of 4)", ""};
    EXPECT_EQ(std::vector<std::string>(status.end() - 6, status.end()), expected);
}

TEST_F(ExportFixture, APictureThatCannotBeConvertedStopsTheLoopAndLeavesNoFile)
{
    AddRecord("a", "J", kJpeg);
    AddRecord("b", "B", kBmp);
    AddRecord("c", "J", kJpeg);
    form->RefreshList();
    // The record goes bad behind the list's back (a damaged vault page).
    const std::string junk = Path("junk.bmp");
    TMemoryStream(std::vector<uint8_t>{'B', 'M', 0, 0, 0}).SaveToFile(junk);
    ASSERT_TRUE(DMMain->LocateImage("b", "B"));
    DMMain->CDS.Edit();
    DMMain->LoadImageFromFile(junk);
    DMMain->CDS.Post();

    SelectAll();
    prompts->AnswerFolder(Path("out"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageExportGif->trigger();
    const MessageRequest& error = LastPrompt().message;
    EXPECT_EQ(error.title, "Error");
    const std::string tail = "\r\rThe image \"b.bmp\" cannot be exported as GIF.";
    ASSERT_GT(error.text.size(), tail.size());
    EXPECT_EQ(error.text.substr(error.text.size() - tail.size()), tail) << error.text;
    // Files already written stay; the bad one and those after it are not made.
    EXPECT_EQ(Written(), QStringList{"a.gif"});
    EXPECT_EQ(status.back(), "");
}

TEST_F(ExportFixture, AnUnwritableFolderIsReportedAndNothingIsWritten)
{
    AddRecord("a", "J", kJpeg);
    form->RefreshList();
    SelectRows({0});
    prompts->AnswerFile(Path("no/such/folder/a.gif"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageExportGif->trigger();
    EXPECT_EQ(LastPrompt().message.text.rfind("Cannot create file \"", 0), 0u) << LastPrompt().message.text;
    EXPECT_FALSE(QDir(QString::fromStdString(Path("no"))).exists());
}
