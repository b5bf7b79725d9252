#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"
#include "gif/mygifimage.h"
#include "imaging/Loaders.h"
#include "imaging/Thumbnail.h"
#include "platform/Paths.h"
#include "platform/Stream.h"
#include "widgets/ErrorGuard.h"

#include <sqlite3.h>

#include <QAction>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QLabel>
#include <QMenu>
#include <QSpinBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <array>
#include <functional>

namespace {


bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class CommandsFixture : public StartedFormFixture {
protected:
    // A copy of a test file under a name of our choosing.
    std::string File(const std::string& name, const std::string& source)
    {
        const std::string path = Path("in/" + name);
        QDir().mkpath(QString::fromStdString(Path("in")));
        QFile::remove(QString::fromStdString(path));
        EXPECT_TRUE(QFile::copy(QString::fromStdString(source), QString::fromStdString(path))) << source;
        return path;
    }

    std::vector<std::string> Captions() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < form->ListView1->count(); ++i)
            out.push_back(form->ListView1->item(i)->text().toStdString());
        return out;
    }

    std::vector<std::string> Records() { return AllRecords(); }

    void Select(std::initializer_list<int> rows) { SelectRows(rows); }

    const MessageRequest& LastMessage() const { return prompts->Records().back().message; }
    int Questions() const
    {
        return static_cast<int>(std::count_if(prompts->Records().begin(), prompts->Records().end(),
                                              [](const auto& r) { return r.message.title == "Information"; }));
    }
};

} // namespace

TEST_F(CommandsFixture, AddingListsTheImageWithProgressAndCaption)
{
    prompts->AnswerFiles({File("Sunset.jpeg", kJpeg)});
    form->ActImageAdd->trigger();
    const auto& dialog = prompts->Records().front().file;
    EXPECT_EQ(dialog.title, "Add");
    EXPECT_TRUE(dialog.multiSelect);
    EXPECT_EQ(dialog.filterIndex, 1);
    EXPECT_EQ(dialog.filter.substr(0, 110), "All (*.bmp;*.ico;*.emf;*.wmf;*.gif;*.jpg;*.jpeg;*.png;*.webp;*.tif;*.tiff;*.heic;*.heif;*.avif)"
                                            "|*.bmp;*.ico;*.");
    EXPECT_NE(dialog.filter.find("|PNG Image (*.png)|*.png|WebP Image (*.webp)|*.webp|TIFF Image (*.tif;*.tiff)|*.tif;*.tiff"
                                 "|HEIF Image (*.heic;*.heif)|*.heic;*.heif|AVIF Image (*.avif)|*.avif"),
              std::string::npos);
    EXPECT_NE(std::find(status.begin(), status.end(), "Adding new images... (100% of 1)"), status.end());
    EXPECT_NE(std::find(status.begin(), status.end(), "Loading images... (100% of 1)"), status.end());
    EXPECT_EQ(Captions(), std::vector<std::string>{"Sunset.jpg (149x227)"});
    EXPECT_TRUE(form->Modified);
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1 items");
    EXPECT_TRUE(form->StatusPanel1->text().isEmpty());
    Select({0});
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1: 1: 1");
    EXPECT_EQ(form->txtName->text().toStdString(), "Sunset.jpg");
    EXPECT_FALSE(FileExists(form->TempDir + "Sunset.jpg"));
}

TEST_F(CommandsFixture, ReplaceQuestionAndItsFiveAnswers)
{
    prompts->AnswerFiles({File("a.jpeg", kJpeg), File("b.jpg", kJpeg), File("c.jpg", kJpeg), File("a.bmp", kBmp)});
    form->ActImageAdd->trigger();

    // a.jpg finds a.jpeg (same name, same kind); Yes replaces it.
    prompts->AnswerFiles({File("A.jpg", kGray)});
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActImageAdd->trigger();
    EXPECT_EQ(LastMessage().title, "Information");
    EXPECT_EQ(LastMessage().text, "\"A\" already exists.\r\rDo you want to replace existing image?");
    EXPECT_EQ(LastMessage().icon, MsgIcon::Information);
    EXPECT_EQ(LastMessage().buttons, (std::vector<MsgButton>{MsgButton::Yes, MsgButton::No, MsgButton::Cancel,
                                                             MsgButton::NoToAll, MsgButton::YesToAll}));
    EXPECT_EQ(Records(), (std::vector<std::string>{"A/J", "a/B", "b/J", "c/J"}));

    // Yes to All: asked once, all three replaced.
    const int before = Questions();
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.jpg", kGray), File("c.jpg", kGray)});
    prompts->AnswerMessage(MsgButton::YesToAll);
    form->ActImageAdd->trigger();
    EXPECT_EQ(Questions(), before + 1);
    EXPECT_EQ(Records(), (std::vector<std::string>{"a/B", "a/J", "b/J", "c/J"}));

    // No to All: asked once, nothing replaced, new files still added.
    prompts->AnswerFiles({File("b.jpg", kJpeg), File("new.jpg", kJpeg), File("c.jpg", kJpeg)});
    prompts->AnswerMessage(MsgButton::NoToAll);
    form->ActImageAdd->trigger();
    EXPECT_EQ(Questions(), before + 2);
    EXPECT_EQ(Records(), (std::vector<std::string>{"a/B", "a/J", "b/J", "c/J", "new/J"}));

    // Cancel at the second duplicate: the first new file stays, the rest is not looked at.
    prompts->AnswerFiles({File("first.jpg", kJpeg), File("b.jpg", kJpeg), File("late.jpg", kJpeg)});
    prompts->AnswerMessage(MsgButton::Cancel);
    form->ActImageAdd->trigger();
    EXPECT_EQ(Records(), (std::vector<std::string>{"a/B", "a/J", "b/J", "c/J", "first/J", "new/J"}));
    EXPECT_EQ(form->ListView1->count(), 6);

    // No: that one is kept, the next file goes on.
    prompts->AnswerFiles({File("c.jpg", kJpeg), File("ico.ico", kIco)});
    prompts->AnswerMessage(MsgButton::No);
    form->ActImageAdd->trigger();
    EXPECT_EQ(Records().size(), 7u);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

TEST_F(CommandsFixture, LongNamesAreStoredWholeAndMeetTheirTwin)
{
    const std::string longName(40, 'x');
    prompts->AnswerFiles({File(longName + ".jpg", kJpeg)});
    form->ActImageAdd->trigger();
    EXPECT_EQ(Records(), std::vector<std::string>{longName + "/J"});
    // The same file again asks instead of breaking the key.
    prompts->AnswerFiles({File(longName + ".jpg", kGray)});
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActImageAdd->trigger();
    EXPECT_EQ(LastMessage().title, "Information");
    EXPECT_EQ(LastMessage().text, "\"" + longName + "\" already exists.\r\rDo you want to replace existing image?");
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(CommandsFixture, AddStopsAtAFileThatCannotBeLoaded)
{
    const std::string junk = Path("in/broken.jpg");
    QDir().mkpath(QString::fromStdString(Path("in")));
    TMemoryStream(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3}).SaveToFile(junk);
    prompts->AnswerFiles({File("one.jpg", kJpeg), File("notes.txt", kJpeg), File("two.jpg", kJpeg)});
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageAdd->trigger();
    // The loader's message, then which of the chosen files it was.
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_EQ(LastMessage().text, "Unknown picture file extension (.txt)\r\rThe file \"notes.txt\" cannot be added.");
    EXPECT_EQ(Records(), std::vector<std::string>{"one/J"});
    EXPECT_EQ(form->ListView1->count(), 1);

    prompts->AnswerFiles({File("three.jpg", kJpeg), junk, Path("in/vanished.jpg")});
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageAdd->trigger();
    const std::string& broken = LastMessage().text;
    EXPECT_EQ(broken.rfind("JPEG error #", 0), 0u) << broken;
    EXPECT_TRUE(EndsWith(broken, "\r\rThe file \"broken.jpg\" cannot be added.")) << broken;
    EXPECT_EQ(Records(), (std::vector<std::string>{"one/J", "three/J"}));
    EXPECT_EQ(DMMain->CDS.State(), TDataSetState::Browse);

    prompts->AnswerFiles({Path("in/vanished.jpg")});
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageAdd->trigger();
    const std::string& vanished = LastMessage().text;
    EXPECT_EQ(vanished.rfind("Cannot open file \"", 0), 0u) << vanished;
    EXPECT_TRUE(EndsWith(vanished, "\r\rThe file \"vanished.jpg\" cannot be added.")) << vanished;
}

TEST_F(CommandsFixture, KindFilterListsAndCountsOnlyItsKind)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("a.bmp", kBmp), File("b.ico", kIco), File("c.jpg", kGray)});
    form->ActImageAdd->trigger();
    DMMain->SetPassword("", "pw");
    form->RefreshList();
    // In key order: by name, then by kind letter.
    const std::vector<std::string> all = {"a.bmp (64x127)", "a.jpg (149x227)", "b.ico (256x256)", "c.jpg (149x227)"};
    EXPECT_EQ(Captions(), all);

    status.clear();
    form->ActFilterJPEG->trigger();
    EXPECT_EQ(DMMain->CDS.Filter(), " ImageType='J' ");
    EXPECT_TRUE(DMMain->CDS.Filtered());
    EXPECT_EQ(Captions(), (std::vector<std::string>{"a.jpg (149x227)", "c.jpg (149x227)"}));
    EXPECT_NE(std::find(status.begin(), status.end(), "Loading images... (100% of 2)"), status.end());

    // A kind filter never hides the password from the checks that need it.
    EXPECT_TRUE(DMMain->LocatePassword());

    status.clear();
    form->ActFilterNoFilter->trigger();
    EXPECT_FALSE(DMMain->CDS.Filtered());
    EXPECT_EQ(form->ListView1->count(), 4);
    EXPECT_NE(std::find(status.begin(), status.end(), "Loading images... (100% of 5)"), status.end());

    // Added files of another kind are stored but not listed under a filter.
    form->ActFilterICO->trigger();
    prompts->AnswerFiles({File("d.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    EXPECT_EQ(Captions(), std::vector<std::string>{"b.ico (256x256)"});
}

TEST_F(CommandsFixture, TheNewerKindsAreAddedListedFilteredAndPreviewed)
{
    prompts->AnswerFiles({File("shot.PNG", kData + "/png/rgba8.png"), File("anim.webp", kData + "/webp/animated.webp"),
                          File("scan.tiff", kData + "/tiff/multipage.tif"), File("phone.heic", kData + "/heif/photo.heic"),
                          File("small.HEIF", kData + "/heif/small.heif"), File("hero.avif", kData + "/avif/alpha.avif")});
    form->ActImageAdd->trigger();
    EXPECT_EQ(Captions(), (std::vector<std::string>{"anim.webp (42x64)", "hero.avif (42x64)", "phone.heic (42x64)", "scan.tif (42x64)",
                                                    "shot.png (42x64)", "small.heic (26x40)"}));
    EXPECT_EQ(Records(), (std::vector<std::string>{"anim/V", "hero/A", "phone/H", "scan/T", "shot/P", "small/H"}));

    const std::pair<QAction*, std::vector<std::string>> filters[] = {
        {form->ActFilterPNG, {"shot.png (42x64)"}},
        {form->ActFilterWEBP, {"anim.webp (42x64)"}},
        {form->ActFilterTIFF, {"scan.tif (42x64)"}},
        {form->ActFilterHEIF, {"phone.heic (42x64)", "small.heic (26x40)"}},
        {form->ActFilterAVIF, {"hero.avif (42x64)"}},
        {form->ActFilterWMF, {}},
    };
    for (const auto& [action, captions] : filters) {
        action->trigger();
        EXPECT_TRUE(action->isChecked());
        EXPECT_EQ(Captions(), captions) << action->text().toStdString();
    }
    EXPECT_EQ(form->ActFilterWEBP->statusTip().toStdString(), "Display WebP only");
    form->ActFilterNoFilter->trigger();

    // The animated WebP plays through a GIF of its frames; its item, read
    // back from the caption, is the V record, not a metafile.
    Select({0});
    // Its first frame shows at once; the GIF of its frames follows from a worker.
    QElapsedTimer waited;
    waited.start();
    while (form->ImgPreview->Converting() && waited.elapsed() < 60000) {
        QApplication::processEvents();
        QThread::msleep(1);
    }
    ASSERT_NE(dynamic_cast<TMyGIFImage*>(form->ImgPreview->Graphic()), nullptr);
    EXPECT_EQ(static_cast<TMyGIFImage*>(form->ImgPreview->Graphic())->Frames().Count(), 3);
    EXPECT_EQ(form->txtName->text().toStdString(), "anim.webp");
    // A transparent PNG shows white where it is clear, as icons do.
    Select({4});
    const QImage shown = form->ImgPreview->Picture();
    ASSERT_EQ(shown.size(), QSize(64, 42));
    EXPECT_EQ(shown.pixel(10, 41), qRgb(255, 255, 255));

    prompts->AnswerInput("Moving");
    Select({0});
    form->ActImageRename->trigger();
    EXPECT_EQ(Records().front(), "Moving/V");
}

TEST_F(CommandsFixture, ExtractWritesTheStoredBytes)
{
    prompts->AnswerFiles({File("Sunset.jpeg", kJpeg), File("a.bmp", kBmp), File("a.jpg", kGray)});
    form->ActImageAdd->trigger();
    ASSERT_EQ(Captions().size(), 3u);
    form->Modified = false;

    Select({0}); // Sunset.jpg: upper case sorts first
    const std::string one = Path("out/Sunset.jpg");
    QDir().mkpath(QString::fromStdString(Path("out")));
    prompts->AnswerFile(one);
    form->ActImageExtract->trigger();
    const auto& dialog = prompts->Records().back().file;
    EXPECT_EQ(dialog.fileName, "Sunset.jpg");
    EXPECT_EQ(dialog.defaultExt, "jpg");
    EXPECT_EQ(dialog.filter, "JPG files (*.jpg)|*.jpg|All files (*.*)|*.*");
    EXPECT_EQ(ReadWholeFile(one), ReadWholeFile(kJpeg));

    // Several: into a folder, overwriting silently.
    TMemoryStream(std::vector<uint8_t>{1, 2, 3}).SaveToFile(Path("out/a.bmp"));
    Select({1, 2});
    prompts->AnswerFolder(Path("out"));
    form->ActImageExtract->trigger();
    EXPECT_EQ(prompts->Records().back().title, "Select destination folder for extracting selected images.");
    EXPECT_EQ(ReadWholeFile(Path("out/a.bmp")), ReadWholeFile(kBmp));
    EXPECT_EQ(ReadWholeFile(Path("out/a.jpg")), ReadWholeFile(kGray));
    EXPECT_FALSE(form->Modified); // extracting changes nothing in the vault

    prompts->AnswerFolder(Path("no/such/folder"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageExtract->trigger();
    EXPECT_EQ(LastMessage().text.rfind("Cannot create file \"", 0), 0u) << LastMessage().text;
}

// A vault written by another program: our schema, records named so that a
// path built naïvely from them leaves its folder.
void WriteVaultWithNames(const std::string& path, const std::vector<std::array<std::string, 3>>& records)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* schema = "PRAGMA application_id = 1196245592; PRAGMA user_version = 1;"
                         "CREATE TABLE Images (FileName TEXT NOT NULL COLLATE BINARY, DimX INTEGER NOT NULL,"
                         " DimY INTEGER NOT NULL, Image BLOB NOT NULL, ImageType TEXT NOT NULL COLLATE BINARY,"
                         " CONSTRAINT CDSIndex2 PRIMARY KEY (FileName, ImageType));";
    ASSERT_EQ(sqlite3_exec(db, schema, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    for (const auto& [name, kind, source] : records) {
        TMemoryStream packed;
        TMemoryStream raw(ReadWholeFile(source));
        CompressStream(raw, packed);
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO Images VALUES (?, 1, 1, ?, ?)", -1, &st, nullptr), SQLITE_OK);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(st, 2, packed.Memory(), static_cast<int>(packed.Size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 3, kind.c_str(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(db);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
}

TEST_F(CommandsFixture, HostileRecordNamesNeverLeaveTheirFolder)
{
    const std::string vault = Path("foreign.gmb");
    WriteVaultWithNames(vault, {{"../up", "J", kJpeg}, {"a\\b:c*", "B", kBmp}, {"..", "I", kIco}});
    form->OpenFile(vault);
    ASSERT_EQ(Captions().size(), 3u);
    EXPECT_EQ(Captions()[0], "...ico (1x1)");
    EXPECT_EQ(Captions()[1], "../up.jpg (1x1)");

    // A user's file where the naive scratch path of "../up" would land.
    QDir().mkpath(QString::fromStdString(Path("tmp")));
    form->TempDir = Path("tmp") + "/";
    const std::vector<uint8_t> mine{'m', 'i', 'n', 'e'};
    TMemoryStream(mine).SaveToFile(Path("up.jpg"));
    for (int row = 0; row < 3; ++row) {
        Select({row});
        form->UpdatePreview();
        EXPECT_FALSE(form->ImgPreview->Picture().isNull()) << row;
    }
    EXPECT_EQ(form->txtName->text().toStdString(), "a\\b:c*.bmp");
    EXPECT_EQ(ReadWholeFile(Path("up.jpg")), mine);
    EXPECT_TRUE(QDir(QString::fromStdString(Path("tmp"))).isEmpty());

    // Extract one proposes the safe name; extract many writes safe names
    // inside the chosen folder and nowhere else.
    Select({1});
    prompts->Cancel();
    form->ActImageExtract->trigger();
    EXPECT_EQ(prompts->Records().back().file.fileName, ".._up.jpg");
    QDir().mkpath(QString::fromStdString(Path("out/deep")));
    Select({0, 1, 2});
    prompts->AnswerFolder(Path("out/deep"));
    form->ActImageExtract->trigger();
    QStringList written = QDir(QString::fromStdString(Path("out/deep"))).entryList(QDir::Files | QDir::Hidden);
    written.sort();
    EXPECT_EQ(written, (QStringList{".._up.jpg", "__.ico", "a_b_c_.bmp"}));
    EXPECT_EQ(ReadWholeFile(Path("out/deep/.._up.jpg")), ReadWholeFile(kJpeg));
    EXPECT_EQ(ReadWholeFile(Path("out/deep/a_b_c_.bmp")), ReadWholeFile(kBmp));
    EXPECT_TRUE(QDir(QString::fromStdString(Path("out"))).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_EQ(ReadWholeFile(Path("up.jpg")), mine);

    // The stored names are kept as they are.
    EXPECT_EQ(Records(), (std::vector<std::string>{"../I", "../up/J", "a\\b:c*/B"}));
}

TEST_F(CommandsFixture, PreviewOfAHugeMetafileIsCappedLikeItsThumbnail)
{
    // 12047 x 15591 pixels at its natural size.
    prompts->AnswerFiles({File("poster.emf", kData + "/emf/test-158.emf")});
    form->ActImageAdd->trigger();
    ASSERT_EQ(Captions(), std::vector<std::string>{"poster.emf (15591x12047)"});
    Select({0});
    form->UpdatePreview();
    const QImage& shown = form->ImgPreview->Picture();
    EXPECT_EQ(shown.size(), QSize(3165, 4096));
    // Drawn, not left white.
    const QImage small = shown.scaled(64, 64);
    bool inked = false;
    for (int y = 0; y < small.height() && !inked; ++y)
        for (int x = 0; x < small.width() && !inked; ++x)
            inked = (small.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF;
    EXPECT_TRUE(inked);
}

TEST_F(CommandsFixture, RenameRefusesPathSeparators)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    Select({0});
    for (const char* typed : {"../b", "b/c", "..\\b", " \\ "}) {
        prompts->AnswerInput(typed);
        prompts->AnswerMessage(MsgButton::Ok);
        form->ActImageRename->trigger();
        EXPECT_EQ(LastMessage().text, "Invalid image name.") << typed;
    }
    EXPECT_EQ(Records(), std::vector<std::string>{"a/J"});
    // Other characters a file name cannot hold are kept in the record.
    prompts->AnswerInput("a:b?");
    form->ActImageRename->trigger();
    EXPECT_EQ(Records(), std::vector<std::string>{"a:b?/J"});
}

TEST_F(CommandsFixture, DeleteAsksWithNoAsDefault)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.jpg", kJpeg), File("c.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    form->Modified = false;
    Select({1});
    prompts->AnswerMessage(MsgButton::No);
    form->ActImageDelete->trigger();
    EXPECT_EQ(LastMessage().title, "Confirm");
    EXPECT_EQ(LastMessage().text, "Are you sure to delete \"b.jpg\"?");
    EXPECT_EQ(LastMessage().defaultButton, MsgButton::No);
    EXPECT_EQ(LastMessage().icon, MsgIcon::Question);
    EXPECT_EQ(Records().size(), 3u);
    EXPECT_FALSE(form->Modified);

    Select({0, 2});
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActImageDelete->trigger();
    EXPECT_EQ(LastMessage().text, "Are you sure to delete 2 items?");
    EXPECT_EQ(Records(), std::vector<std::string>{"b/J"});
    EXPECT_EQ(Captions(), std::vector<std::string>{"b.jpg (149x227)"});
    EXPECT_TRUE(form->Modified);
}

// Every question the window asks: title, icon, buttons, and the button that
// Enter presses, which is No wherever the answer Yes destroys something.
TEST_F(CommandsFixture, EveryQuestionBoxHasItsTitleIconButtonsAndDefault)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    DMMain->SetPassword("", "pw");

    struct Row {
        const char* what;
        std::function<void()> ask; // queues the answers and runs the command
        MessageRequest want;
    };
    const std::vector<MsgButton> yesNo = {MsgButton::Yes, MsgButton::No};
    const std::vector<Row> rows = {
        {"unsaved untitled data",
         [&] {
             prompts->Cancel();
             form->ActFileNew->trigger();
         },
         {"Warning", "Data has been modified.\r\rDo you want to save to a file?", MsgIcon::Warning,
          {MsgButton::Yes, MsgButton::No, MsgButton::Cancel}, MsgButton::Yes}},
        {"replace an existing image",
         [&] {
             prompts->AnswerFiles({File("a.jpeg", kGray)});
             prompts->AnswerMessage(MsgButton::No);
             form->ActImageAdd->trigger();
         },
         {"Information", "\"a\" already exists.\r\rDo you want to replace existing image?", MsgIcon::Information,
          {MsgButton::Yes, MsgButton::No, MsgButton::Cancel, MsgButton::NoToAll, MsgButton::YesToAll}, MsgButton::No}},
        {"delete one item",
         [&] {
             Select({0});
             prompts->AnswerMessage(MsgButton::No);
             form->ActImageDelete->trigger();
         },
         {"Confirm", "Are you sure to delete \"a.jpg\"?", MsgIcon::Question, yesNo, MsgButton::No}},
        {"delete several items",
         [&] {
             Select({0, 1});
             prompts->AnswerMessage(MsgButton::No);
             form->ActImageDelete->trigger();
         },
         {"Confirm", "Are you sure to delete 2 items?", MsgIcon::Question, yesNo, MsgButton::No}},
        {"empty the vault",
         [&] {
             prompts->AnswerMessage(MsgButton::No);
             form->ActToolsEmpty->trigger();
         },
         {"Warning", "You are about to delete all images.\rAll images will be lost with filtered affected.\r\rContinue deleting?",
          MsgIcon::Warning, yesNo, MsgButton::No}},
        {"remove the password",
         [&] {
             prompts->AnswerDialog([](QDialog& d) {
                 d.findChild<QLineEdit*>("edOld")->setText("pw");
                 d.accept(); // new and verify left empty: asks, No keeps it open
                 return d.result();
             });
             prompts->AnswerMessage(MsgButton::No);
             form->ActToolsPassword->trigger();
         },
         {"Confirm", "Are you sure to empty password?", MsgIcon::Question, yesNo, MsgButton::No}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t before = prompts->Records().size();
        row.ask();
        const auto& records = prompts->Records();
        const auto asked = std::find_if(records.begin() + static_cast<long>(before), records.end(),
                                        [](const auto& r) { return r.kind == TScriptedPrompts::Record::Kind::Message; });
        ASSERT_NE(asked, records.end());
        const MessageRequest& got = asked->message;
        EXPECT_EQ(got.title, row.want.title);
        EXPECT_EQ(got.text, row.want.text);
        EXPECT_EQ(got.icon, row.want.icon);
        EXPECT_EQ(got.buttons, row.want.buttons);
        EXPECT_EQ(DefaultButtonOf(got), row.want.defaultButton);
    }
    // Every answer was No or Cancel: nothing changed.
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
    EXPECT_EQ(Records().size(), 3u);
    EXPECT_TRUE(DMMain->LocatePassword());
}

TEST_F(CommandsFixture, RenameTrimsAndRefusesDuplicates)
{
    prompts->AnswerFiles({File("sunset.jpg", kJpeg), File("other.jpg", kGray), File("x.bmp", kBmp)});
    form->ActImageAdd->trigger();
    Select({1}); // sunset.jpg

    prompts->AnswerInput("Sunset");
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageRename->trigger();
    EXPECT_EQ(prompts->Records()[prompts->Records().size() - 2].title, "Rename");
    EXPECT_EQ(LastMessage().text, "Image name duplication.");

    prompts->AnswerInput("   ");
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageRename->trigger();
    EXPECT_EQ(LastMessage().text, "Invalid image name.");

    prompts->AnswerInput("  Dawn  ");
    form->ActImageRename->trigger();
    EXPECT_EQ(form->ListView1->item(1)->text().toStdString(), "Dawn.jpg (149x227)");
    EXPECT_EQ(Records(), (std::vector<std::string>{"Dawn/J", "other/J", "x/B"}));

    // A name that exists only under another kind is fine.
    Select({2});
    prompts->AnswerInput("other");
    form->ActImageRename->trigger();
    EXPECT_EQ(form->ListView1->item(2)->text().toStdString(), "other.bmp (64x127)");

    // A long name is stored and shown whole, and later commands find the record.
    Select({0});
    prompts->AnswerInput(std::string(40, 'L'));
    form->ActImageRename->trigger();
    EXPECT_EQ(form->ListView1->item(0)->text().toStdString(), std::string(40, 'L') + ".jpg (149x227)");
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActImageDelete->trigger();
    EXPECT_EQ(Records(), (std::vector<std::string>{"Dawn/J", "other/B"}));
}

TEST_F(CommandsFixture, RenameMarksTheVaultChangedEvenWhenThePreviewFails)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    Select({0});
    // The picture behind the item is damaged: the preview after the rename fails.
    ASSERT_TRUE(DMMain->LocateImage("a", "J"));
    DMMain->CDS.Edit();
    DMMain->CDSImage.SetBytes({0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF});
    DMMain->CDS.Post();
    form->Modified = false;

    // The preview says why in its pane; no box interrupts the rename.
    prompts->AnswerInput("Dawn");
    form->ActImageRename->trigger();
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
    EXPECT_EQ(prompts->Records().back().kind, TScriptedPrompts::Record::Kind::InputBox);
    EXPECT_EQ(form->ImgPreview->Message().toStdString(), "Error");
    EXPECT_EQ(form->txtName->text().toStdString(), "Dawn.jpg");
    EXPECT_EQ(Records(), std::vector<std::string>{"Dawn/J"});
    EXPECT_EQ(Captions(), std::vector<std::string>{"Dawn.jpg (149x227)"});
    EXPECT_TRUE(form->Modified);
}

TEST_F(CommandsFixture, SelectAllInvertAndEmptyUnderAFilter)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.bmp", kBmp), File("c.jpg", kGray)});
    form->ActImageAdd->trigger();
    DMMain->SetPassword("", "keep");
    form->ActImageSelectAll->trigger();
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1: 3: 3");
    Select({1});
    form->ActImageInvertSelection->trigger();
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1: 3: 2");
    form->ActImageInvertSelection->trigger();
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "2: 3: 1");

    form->ActFilterJPEG->trigger();
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActToolsEmpty->trigger();
    EXPECT_EQ(LastMessage().title, "Warning");
    EXPECT_EQ(LastMessage().text,
              "You are about to delete all images.\rAll images will be lost with filtered affected.\r\rContinue deleting?");
    EXPECT_EQ(LastMessage().defaultButton, MsgButton::No);
    form->ActFilterNoFilter->trigger();
    EXPECT_EQ(Captions(), std::vector<std::string>{"b.bmp (64x127)"});

    // Without a filter, everything but the password record goes.
    prompts->AnswerMessage(MsgButton::Yes);
    form->ActToolsEmpty->trigger();
    EXPECT_EQ(form->ListView1->count(), 0);
    EXPECT_TRUE(DMMain->LocatePassword());
    EXPECT_FALSE(form->ActToolsEmpty->isEnabled());
}

// Changing the selection of many items decodes the preview once, whether a
// command changes them or the mouse drags over them.
TEST_F(CommandsFixture, SelectionOfManyItemsDecodesThePreviewOnce)
{
    const std::string tiny = Path("tiny.bmp");
    QImage picture(4, 3, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    ASSERT_TRUE(picture.save(QString::fromStdString(tiny), "BMP"));
    constexpr int kItems = 1000;
    for (int i = 0; i < kItems; ++i) {
        DMMain->CDS.Append();
        DMMain->CDSFileName.SetAsString(Format("img%04d", i));
        DMMain->CDSDimX.SetAsInteger(4);
        DMMain->CDSDimY.SetAsInteger(3);
        DMMain->LoadImageFromFile(tiny);
        DMMain->CDSImageType.SetAsString("B");
        DMMain->CDS.Post();
    }
    form->RefreshList();
    ASSERT_EQ(form->ListView1->count(), kItems);
    Select({0});
    ASSERT_EQ(form->txtName->text().toStdString(), "img0000.bmp");

    int decodes = form->PreviewDecodes;
    form->ActImageInvertSelection->trigger();
    ProcessEvents();
    EXPECT_EQ(form->PreviewDecodes - decodes, 1);
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "2: 1000: 999");
    EXPECT_EQ(form->txtName->text().toStdString(), "img0001.bmp");

    decodes = form->PreviewDecodes;
    form->ActImageSelectAll->trigger();
    ProcessEvents();
    EXPECT_EQ(form->PreviewDecodes - decodes, 1);
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "1: 1000: 1000");

    // Several items changed in one turn of the event loop: one refresh.
    decodes = form->PreviewDecodes;
    form->ListView1->clearSelection();
    for (int i = 10; i < 20; ++i)
        form->ListView1->item(i)->setSelected(true);
    EXPECT_EQ(form->PreviewDecodes, decodes); // not yet
    ProcessEvents();
    EXPECT_EQ(form->PreviewDecodes - decodes, 1);
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "11: 1000: 10");

    // A drag from the first item over the next ones: the selection follows
    // the mouse, the preview waits for the button to come up.
    QWidget* viewport = form->ListView1->viewport();
    auto centre = [&](int row) { return QPointF(form->ListView1->visualItemRect(form->ListView1->item(row)).center()); };
    auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, at, viewport->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
        ProcessEvents();
    };
    decodes = form->PreviewDecodes;
    send(QEvent::MouseButtonPress, centre(0), Qt::LeftButton, Qt::LeftButton);
    for (int row = 1; row <= 4; ++row)
        send(QEvent::MouseMove, centre(row), Qt::NoButton, Qt::LeftButton);
    EXPECT_GT(form->ListView1->selectedItems().size(), 1); // the drag did select
    EXPECT_EQ(form->PreviewDecodes, decodes);
    send(QEvent::MouseButtonRelease, centre(4), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(form->PreviewDecodes - decodes, 1);
    EXPECT_EQ(form->txtName->text().toStdString(), "img0000.bmp");
    const std::string counts = form->StatusPanel0->text().toStdString();
    EXPECT_EQ(counts, Format("1: 1000: %d", static_cast<int>(form->ListView1->selectedItems().size())));

    // A right button's release goes to the context menu: nothing waits for it.
    decodes = form->PreviewDecodes;
    send(QEvent::MouseButtonPress, centre(6), Qt::RightButton, Qt::RightButton);
    EXPECT_EQ(form->PreviewDecodes - decodes, 1);
    Select({7});
    EXPECT_EQ(form->PreviewDecodes - decodes, 2);
    EXPECT_EQ(form->txtName->text().toStdString(), "img0007.bmp");
}

// A record that is gone when the preview looks for it leaves neither its
// name nor another record's picture behind.
TEST_F(CommandsFixture, PreviewOfAVanishedRecordIsCleared)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.jpg", kGray)});
    form->ActImageAdd->trigger();
    Select({1});
    ASSERT_FALSE(form->ImgPreview->Picture().isNull());
    ASSERT_EQ(form->txtName->text().toStdString(), "b.jpg");
    DMMain->DeleteImage("b", "J");
    form->UpdateControls();
    EXPECT_TRUE(form->ImgPreview->Picture().isNull());
    EXPECT_TRUE(form->txtName->text().isEmpty());
}

TEST_F(CommandsFixture, DamagedBlobCostsOnlyItsOwnRecord)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg), File("b.jpg", kJpeg), File("c.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    ASSERT_TRUE(DMMain->LocateImage("b", "J"));
    DMMain->CDS.Edit();
    DMMain->CDSImage.SetBytes({0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0xFF});
    DMMain->CDS.Post();
    prompts->AnswerMessage(MsgButton::Ok);
    Guarded([&] { form->RefreshList(); });
    EXPECT_EQ(LastMessage().title, "Warning");
    EXPECT_EQ(LastMessage().text, "Error\r\rThe image \"b.jpg\" cannot be shown.");
    EXPECT_EQ(Captions(), (std::vector<std::string>{"a.jpg (149x227)", "b.jpg (149x227)", "c.jpg (149x227)"}));
    EXPECT_TRUE(form->StatusPanel1->text().isEmpty());
}

TEST_F(CommandsFixture, EnablingFollowsTheVaultAndTheSelection)
{
    EXPECT_TRUE(form->ActImageAdd->isEnabled());
    EXPECT_FALSE(form->ActImageDelete->isEnabled());
    EXPECT_FALSE(form->ActImageSelectAll->isEnabled());
    EXPECT_FALSE(form->ActToolsEmpty->isEnabled());
    EXPECT_TRUE(form->ActToolsPassword->isEnabled());
    prompts->AnswerFiles({File("a.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    EXPECT_TRUE(form->ActImageSelectAll->isEnabled());
    EXPECT_FALSE(form->ActImageExtract->isEnabled());
    Select({0});
    EXPECT_TRUE(form->ActImageExtract->isEnabled());
    EXPECT_TRUE(form->ActImageRename->isEnabled());
    EXPECT_EQ(form->ActImageAdd->shortcut(), QKeySequence("Ctrl+Ins"));
    EXPECT_EQ(form->ActImageDelete->toolTip().toStdString(), "Delete");
    EXPECT_EQ(form->ActImageDelete->statusTip().toStdString(), "Delete selected items");
    EXPECT_EQ(form->PopupMenu1->defaultAction(), form->ActViewPreview);
    EXPECT_FALSE(form->ActImageAdd->icon().isNull());
}

TEST_F(CommandsFixture, HandEditedThumbnailSizeIsHeldToTheRangesTheListShows)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    TIniFile ini(IniFileName);
    const struct {
        int width, height; // as written by hand
        QSize shown;
    } cases[] = {{0, 500, {8, 256}}, {-7, 3, {8, 8}}, {5000, 257, {320, 256}}, {320, 8, {320, 8}}, {100, 60, {100, 60}},
                 {256, 256, {256, 256}}}; // the height up to the largest size step
    for (const auto& c : cases) {
        SCOPED_TRACE(Format("%d x %d", c.width, c.height));
        ini.WriteInteger("Kv Glimmerbox Thumbnail", "Width", c.width);
        ini.WriteInteger("Kv Glimmerbox Thumbnail", "Height", c.height);
        form->RefreshList();
        EXPECT_EQ(Captions(), std::vector<std::string>{"a.jpg (149x227)"});
        EXPECT_EQ(QSize(form->ImgLstLarge->Width(), form->ImgLstLarge->Height()), c.shown);
        EXPECT_EQ(form->ActViewThumbnailSize->text().toStdString(),
                  Format("Thumbnail &Size: %dx%d", c.shown.width(), c.shown.height()));
    }
}

TEST_F(CommandsFixture, ThumbnailSizeIsSavedAndRebuildsTheList)
{
    prompts->AnswerFiles({File("a.jpg", kJpeg)});
    form->ActImageAdd->trigger();
    EXPECT_EQ(form->ActViewThumbnailSize->text().toStdString(), "Thumbnail &Size: 32x32");
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QSpinBox*>("edWidth")->setValue(64);
        d.findChild<QSpinBox*>("edHeight")->setValue(48);
        d.accept();
        return d.result();
    });
    form->ActViewThumbnailSize->trigger();
    EXPECT_EQ(Ini().ReadInteger("Kv Glimmerbox Thumbnail", "Width", 0), 64);
    EXPECT_EQ(Ini().ReadInteger("Kv Glimmerbox Thumbnail", "Height", 0), 48);
    EXPECT_EQ(form->ActViewThumbnailSize->text().toStdString(), "Thumbnail &Size: 64x48");
    EXPECT_EQ(form->ListView1->iconSize(), QSize(64, 48));

    // Statistic and About are reachable from their actions.
    prompts->Cancel();
    form->ActToolsStatistic->trigger();
    EXPECT_EQ(prompts->Records().back().kind, TScriptedPrompts::Record::Kind::Dialog);
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActHelpAbout->trigger();
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

TEST_F(CommandsFixture, JpegPreviewIsDecodedAsLargeAsThePaneAndAgainWhenItGrows)
{
    prompts->AnswerFiles({File("turned.jpg", kData + "/jpeg-orientation/o6.jpg")});
    form->ActImageAdd->trigger();
    // Listed upright: 224 wide, 144 high.
    ASSERT_EQ(Captions(), std::vector<std::string>{"turned.jpg (144x224)"});
    form->ImgPreview->resize(60, 40);
    Select({0});
    form->UpdatePreview();
    const QImage small = form->ImgPreview->Picture();
    // 3/8 of 224 x 144 covers the 60 x 38 the pane shows.
    EXPECT_EQ(small.size(), QSize(84, 54));
    const QSize before = form->ImgPreview->size();
    form->ImgPreview->resize(400, 300);
    QResizeEvent grown(QSize(400, 300), before);
    QApplication::sendEvent(form->ImgPreview, &grown);
    EXPECT_EQ(form->ImgPreview->Picture().size(), QSize(224, 144));
    // The full picture, upright: the same as the upright file decoded.
    TBitmap upright;
    LoadJpegFromStream(*std::make_unique<TFileStream>(kData + "/jpeg-orientation/upright.jpg", FileMode::OpenRead), upright);
    const QImage expected = upright.ToQImage().convertToFormat(QImage::Format_RGB32);
    const QImage shown = form->ImgPreview->Picture().convertToFormat(QImage::Format_RGB32);
    int far = 0;
    for (int y = 0; y < 144; ++y)
        for (int x = 0; x < 224; ++x)
            far += std::abs(qRed(shown.pixel(x, y)) - qRed(expected.pixel(x, y))) > 3;
    EXPECT_EQ(far, 0);
}
