// Where the window writes: the preview's scratch files in a private folder
// of the window's own, and Extract replacing a file only once it is whole.
#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"

#include "../FileChecks.h"
#include "../ScopedEnv.h"
#include "platform/Paths.h"
#include "platform/Stream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>

#include <unistd.h>

namespace {


using filechecks::ModeOf;

QStringList Sorted(QStringList names)
{
    names.sort();
    return names;
}

bool IsFolder(const std::string& path) { return QFileInfo(QString::fromStdString(path)).isDir(); }

class ScratchFixture : public FormFixture {
protected:
    // The system temp folder as the window sees it: one of the test's own.
    std::string systemTemp;
    std::unique_ptr<ScopedEnv> tmpdir;

    void SetUp() override
    {
        FormFixture::SetUp();
        systemTemp = Path("systemp");
        QDir().mkpath(QString::fromStdString(systemTemp));
        tmpdir = std::make_unique<ScopedEnv>("TMPDIR", systemTemp.c_str());
    }

    void TearDown() override
    {
        FormFixture::TearDown();
        tmpdir.reset();
    }

    // Like Start, but the window keeps the scratch folder it made itself.
    TFormMain& StartOwnScratch()
    {
        form = std::make_unique<TFormMain>();
        store = std::make_unique<TDMMain>();
        DMMain = store.get();
        form->show();
        ProcessEvents();
        return *form;
    }

    void ListRecord(const std::string& name, const std::string& kind, const std::string& file)
    {
        AddRecord(name, kind, file);
        form->RefreshList();
    }

    QStringList Entries(const std::string& folder) const
    {
        return Sorted(QDir(QString::fromStdString(folder))
                          .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    }

    const MessageRequest& LastMessage() const { return prompts->Records().back().message; }
};

TEST_F(ScratchFixture, ThePreviewWritesIntoAPrivateFolderAndLeavesPlantedLinksAlone)
{
    // Another user's link at the name the preview used to write.
    const std::string victim = Path("victim.txt");
    TMemoryStream(std::vector<uint8_t>{'v', 'i', 'c', 't', 'i', 'm'}).SaveToFile(victim);
    const std::string planted = systemTemp + "/Sunset.jpg";
    ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);

    TFormMain& f = StartOwnScratch();
    const std::string folder = f.TempDir;
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.rfind(systemTemp + "/glimmerbox-", 0), 0u) << folder;
    EXPECT_EQ(folder.back(), '/');
    ASSERT_TRUE(IsFolder(folder));
    EXPECT_EQ(ModeOf(folder), 0700u);

    ListRecord("Sunset", "J", kJpeg);
    SelectRows({0});
    EXPECT_EQ(f.txtName->text().toStdString(), "Sunset.jpg");
    EXPECT_EQ(f.PreviewDecodes, 1);
    EXPECT_EQ(ReadWholeFile(victim), (std::vector<uint8_t>{'v', 'i', 'c', 't', 'i', 'm'}));
    EXPECT_EQ(QFileInfo(QString::fromStdString(planted)).symLinkTarget().toStdString(), victim);

    // A picture that cannot be decoded says so in the pane, without a box,
    // and its scratch file goes as well; it was in the private folder only.
    ListRecord("Broken", "J", kJpeg);
    const std::string junk = Path("junk.jpg");
    TMemoryStream(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0}).SaveToFile(junk);
    ASSERT_TRUE(DMMain->LocateImage("Broken", "J"));
    DMMain->CDS.Edit();
    DMMain->LoadImageFromFile(junk);
    DMMain->CDS.Post();
    const size_t prompted = prompts->Records().size();
    SelectRows({0}); // "Broken" sorts first
    EXPECT_EQ(prompts->Records().size(), prompted);
    EXPECT_EQ(f.ImgPreview->Message().left(12).toStdString(), "JPEG error #");
    EXPECT_TRUE(Entries(folder).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(systemTemp + "/Broken.jpg")));
    EXPECT_TRUE(Entries(systemTemp).contains(QDir(QString::fromStdString(folder)).dirName()));

    // Closing removes the folder with what was left in it.
    ASSERT_TRUE(Close());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(folder)));
    EXPECT_FALSE(Entries(systemTemp).contains(QDir(QString::fromStdString(folder)).dirName()));
    EXPECT_TRUE(QFileInfo(QString::fromStdString(planted)).isSymLink());
    EXPECT_EQ(ReadWholeFile(victim), (std::vector<uint8_t>{'v', 'i', 'c', 't', 'i', 'm'}));
}

TEST_F(ScratchFixture, TwoWindowsDoNotShareAFolder)
{
    TFormMain& first = StartOwnScratch();
    auto second = std::make_unique<TFormMain>();
    ASSERT_FALSE(first.TempDir.empty());
    ASSERT_FALSE(second->TempDir.empty());
    EXPECT_NE(first.TempDir, second->TempDir);
    EXPECT_TRUE(IsFolder(first.TempDir));
    EXPECT_TRUE(IsFolder(second->TempDir));

    // A window that goes without a close takes its folder along too.
    const std::string secondFolder = second->TempDir;
    second.reset();
    FormMain = &first;
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(secondFolder)));
    EXPECT_TRUE(IsFolder(first.TempDir));
}

TEST_F(ScratchFixture, AFolderTakenAwayOrReplacedIsMadeAnew)
{
    TFormMain& f = StartOwnScratch();
    ListRecord("Sunset", "J", kJpeg);
    const std::string first = f.TempDir;
    ASSERT_TRUE(IsFolder(first));

    // A temp cleaner takes it away.
    ASSERT_TRUE(QDir(QString::fromStdString(first)).removeRecursively());
    SelectRows({0});
    EXPECT_EQ(f.txtName->text().toStdString(), "Sunset.jpg");
    const std::string second = f.TempDir;
    EXPECT_NE(second, first);
    EXPECT_EQ(ModeOf(second), 0700u);

    // Someone makes a folder of its name, open to all: it is not written
    // into, and not removed at close.
    ASSERT_TRUE(QDir(QString::fromStdString(second)).removeRecursively());
    ASSERT_EQ(::mkdir(second.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(second.c_str(), 0777), 0);
    SelectRows({});
    SelectRows({0});
    EXPECT_EQ(f.txtName->text().toStdString(), "Sunset.jpg");
    EXPECT_NE(f.TempDir, second);
    EXPECT_TRUE(IsFolder(f.TempDir));
    const std::string third = f.TempDir;
    EXPECT_TRUE(QDir(QString::fromStdString(second)).isEmpty());
    ASSERT_TRUE(Close());
    EXPECT_TRUE(IsFolder(second));
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(third)));
}

TEST_F(ScratchFixture, WithoutAUsableTempFolderTheCacheFolderServesOrThePreviewSaysWhy)
{
    // A temp folder no one may make folders in, root included: the folder
    // is made in the user's cache.
    const std::string closed = "/proc";
    if (!IsFolder(closed))
        GTEST_SKIP() << "needs " << closed;
    const auto setTemp = [&](const std::string& path) {
        tmpdir.reset(); // the old value back first
        tmpdir = std::make_unique<ScopedEnv>("TMPDIR", path.c_str());
    };
    const std::string cache = Path("cache");
    setTemp(closed);
    {
        const ScopedEnv xdg("XDG_CACHE_HOME", cache.c_str());
        TFormMain window;
        EXPECT_EQ(window.TempDir.rfind(cache + "/glimmerbox/glimmerbox-", 0), 0u) << window.TempDir;
        ASSERT_TRUE(IsFolder(window.TempDir));
        EXPECT_EQ(ModeOf(window.TempDir), 0700u);
    }

    // Neither can be written: no folder, and the preview says so rather than
    // write anywhere else. (The untitled vault needs the temp folder too: it
    // is back while the window starts.)
    const ScopedEnv xdg("XDG_CACHE_HOME", closed.c_str());
    form = std::make_unique<TFormMain>();
    TFormMain& f = *form;
    EXPECT_TRUE(f.TempDir.empty());
    setTemp(systemTemp);
    store = std::make_unique<TDMMain>();
    DMMain = store.get();
    f.show();
    ProcessEvents();
    ListRecord("Sunset", "J", kJpeg);
    setTemp(closed);
    prompts->AnswerMessage(MsgButton::Ok);
    SelectRows({0});
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_EQ(LastMessage().text.rfind("Cannot create a folder in \"" + closed + "\". ", 0), 0u)
        << LastMessage().text;
    EXPECT_TRUE(f.TempDir.empty());
    EXPECT_FALSE(FileExists("Sunset.jpg"));
    EXPECT_FALSE(FileExists("/Sunset.jpg"));

    // Once the temp folder is back, the next preview makes its folder there.
    setTemp(systemTemp);
    SelectRows({});
    SelectRows({0});
    EXPECT_EQ(f.txtName->text().toStdString(), "Sunset.jpg");
    EXPECT_EQ(f.TempDir.rfind(systemTemp + "/glimmerbox-", 0), 0u) << f.TempDir;
    const std::string folder = f.TempDir;
    ASSERT_TRUE(Close());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(folder)));
}

class ExtractFixture : public StartedFormFixture {
protected:
    const MessageRequest& LastMessage() const { return prompts->Records().back().message; }

    // The record goes bad behind the list's back (a damaged vault page):
    // its check value no longer matches, found after every byte inflated.
    void Damage(const std::string& name, const std::string& kind)
    {
        ASSERT_TRUE(DMMain->LocateImage(name, kind));
        TMemoryStream packed;
        DMMain->CDSImage.SaveToStream(packed);
        std::vector<uint8_t> bytes = packed.TakeBytes();
        bytes.back() ^= 1;
        DMMain->CDS.Edit();
        DMMain->CDSImage.SetBytes(std::move(bytes));
        DMMain->CDS.Post();
    }

    QStringList Written() const
    {
        return QDir(QString::fromStdString(Path("out")))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }
};

TEST_F(ExtractFixture, ADamagedRecordLeavesTheFileItWouldReplaceWhole)
{
    AddRecord("a", "J", kJpeg);
    AddRecord("b", "J", kGray);
    form->RefreshList();
    QDir().mkpath(QString::fromStdString(Path("out")));
    const std::vector<uint8_t> mine{'m', 'i', 'n', 'e'};
    TMemoryStream(mine).SaveToFile(Path("out/b.jpg"));
    Damage("b", "J");

    // One item, over the user's file.
    SelectRows({1}); // its preview says why in the pane, without a box
    EXPECT_EQ(form->ImgPreview->Message().toStdString(), "Error");
    prompts->AnswerFile(Path("out/b.jpg"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageExtract->trigger();
    EXPECT_EQ(LastMessage().title, "Error");
    EXPECT_EQ(LastMessage().text, "Error");
    EXPECT_EQ(ReadWholeFile(Path("out/b.jpg")), mine);
    EXPECT_EQ(Written(), QStringList{"b.jpg"});

    // Several into the folder: the good one is written, the damaged one
    // stops the loop and leaves the file of its name as it was.
    SelectRows({0, 1}); // previews a, which is sound
    prompts->AnswerFolder(Path("out"));
    prompts->AnswerMessage(MsgButton::Ok);
    form->ActImageExtract->trigger();
    EXPECT_EQ(LastMessage().text, "Error");
    EXPECT_EQ(ReadWholeFile(Path("out/a.jpg")), ReadWholeFile(kJpeg));
    EXPECT_EQ(ReadWholeFile(Path("out/b.jpg")), mine);
    EXPECT_EQ(Written(), (QStringList{"a.jpg", "b.jpg"}));
}

TEST_F(ExtractFixture, AnUnwritablePlaceGivesThePlainCreateMessageAndAGoodExtractIsExact)
{
    AddRecord("a", "J", kJpeg);
    form->RefreshList();
    SelectRows({0});
    TMemoryStream(std::vector<uint8_t>{1}).SaveToFile(Path("plain"));
    for (const std::string& target : {Path("no/such/folder/a.jpg"), Path("plain/a.jpg")}) {
        SCOPED_TRACE(target);
        const std::string plain = filechecks::PlainCreateMessage(target);
        prompts->AnswerFile(target);
        prompts->AnswerMessage(MsgButton::Ok);
        form->ActImageExtract->trigger();
        EXPECT_EQ(LastMessage().title, "Error");
        EXPECT_EQ(LastMessage().text, plain);
        EXPECT_EQ(plain.rfind("Cannot create file \"" + target + "\". ", 0), 0u) << plain;
    }

    QDir().mkpath(QString::fromStdString(Path("out")));
    prompts->AnswerFile(Path("out/a.jpg"));
    form->ActImageExtract->trigger();
    EXPECT_EQ(ReadWholeFile(Path("out/a.jpg")), ReadWholeFile(kJpeg));
    EXPECT_EQ(ModeOf(Path("out/a.jpg")), 0666 & ~filechecks::CurrentUmask());
    EXPECT_EQ(Written(), QStringList{"a.jpg"});
}

} // namespace
