// A vault made, saved, reopened and changed through the real window on an X
// server keeps every record and every blob byte for byte.
#include "FormTestSupport.h"

#include "platform/Paths.h"
#include "platform/Stream.h"
#include "widgets/ErrorGuard.h"

#include <QAction>
#include <QFile>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QMenu>
#include <QGuiApplication>
#include <cstdlib>
#include <tuple>

namespace {

struct Snapshot {
    std::string key;
    int dimX, dimY;
    std::vector<uint8_t> content;
    bool operator==(const Snapshot&) const = default;
};

std::vector<Snapshot> Contents()
{
    std::vector<Snapshot> out;
    TVaultTable& cds = DMMain->CDS;
    for (cds.First(); !cds.Eof(); cds.Next()) {
        auto stream = DMMain->CreateImageStream();
        out.push_back({DMMain->CDSFileName.AsString() + "/" + DMMain->CDSImageType.AsString(), DMMain->CDSDimX.AsInteger(),
                       DMMain->CDSDimY.AsInteger(), stream->Bytes()});
    }
    return out;
}

class RoundTrip : public FormFixture {};

} // namespace

TEST_F(RoundTrip, VaultSurvivesSaveReopenAndChange)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    Start();
    ASSERT_TRUE(form->isVisible());

    // Real files of every kind, two names that differ only in case, a
    // Unicode name and the same name under two kinds.
    const std::string data = GMB_TEST_DATA;
    const std::vector<std::tuple<std::string, std::string, std::string>> records = {
        {"Sunset", "J", data + "/jpeg/testorig.jpg"},  {"sunset", "J", data + "/jpeg/gray.jpg"},
        {"Sunset", "B", data + "/bmp/g/pal8.bmp"},     {"Ünïcödé 日本", "B", data + "/bmp/g/rgb24.bmp"},
        {"Idle", "I", data + "/ico/idle.ico"},         {"Chart", "E", data + "/emf/test-008.emf"},
        {"Van", "W", data + "/wmf/2doorvan.wmf"}};
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& [name, kind, src] = records[i];
        DMMain->CDS.Append();
        DMMain->CDSFileName.SetAsString(name);
        DMMain->CDSDimX.SetAsInteger(static_cast<int64_t>(10 + i));
        DMMain->CDSDimY.SetAsInteger(static_cast<int64_t>(20 + i));
        DMMain->LoadImageFromFile(src);
        DMMain->CDSImageType.SetAsString(kind);
        DMMain->CDS.Post();
    }
    form->Modified = true;
    DMMain->SetPassword("", "door");
    const std::vector<Snapshot> made = Contents();
    ASSERT_EQ(made.size(), records.size() + 1);

    const std::string vault = Path("round.gmb");
    prompts->AnswerFile(vault);
    form->ActFileSaveAs->trigger();
    ASSERT_EQ(form->CurrentFileName, vault);
    form->ActFileNew->trigger();
    ProcessEvents();

    prompts->AnswerFile(vault);
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QLineEdit*>("edPassword")->setText("door");
        d.accept();
        return d.result();
    });
    form->ActFileOpen->trigger();
    ProcessEvents();
    ASSERT_EQ(form->CurrentFileName, vault);
    EXPECT_EQ(form->ListView1->count(), static_cast<int>(records.size()));
    EXPECT_EQ(Contents(), made);
    EXPECT_EQ(form->windowTitle().toStdString(), "Kv Glimmerbox 3.2 - round.gmb");

    // Change it and leave through the window's close box: written back.
    DMMain->RenameImage("sunset", "B", "Dawn");
    form->Modified = true;
    const std::vector<Snapshot> changed = Contents();
    ASSERT_TRUE(Close());
    Start();
    EXPECT_EQ(form->ListView1->count(), 0);
    prompts->AnswerDialog([](QDialog& d) {
        d.findChild<QLineEdit*>("edPassword")->setText("door");
        d.accept();
        return d.result();
    });
    form->OpenFile(vault);
    EXPECT_EQ(Contents(), changed);
    EXPECT_EQ(prompts->PendingAnswers(), 0u);
}

// With GMB_SCREENSHOT_DIR set, saves pictures of the window in its main
// states for a person to look at.
TEST_F(RoundTrip, ScreenshotsForReview)
{
    const QByteArray out = qgetenv("GMB_SCREENSHOT_DIR");
    if (out.isEmpty() || QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "set GMB_SCREENSHOT_DIR and run under xvfb-run";
    Start();
    form->resize(800, 560);
    const std::string data = GMB_TEST_DATA;
    std::vector<std::string> files;
    for (const char* f : {"/jpeg/testorig.jpg", "/jpeg/cmyk.jpg", "/bmp/g/pal8.bmp", "/bmp/g/rgb32bf.bmp", "/ico/idle.ico",
                          "/ico/sysinfo.ico", "/emf/test-008.emf", "/emf/test_libuemf_ref.emf", "/wmf/2doorvan.wmf",
                          "/wmf/fjftest.wmf", "/gif-suite/animation.gif", "/gif-suite/depth7.gif"})
        if (QFile::exists(QString::fromStdString(data + f)))
            files.push_back(data + f);
    // A photograph as a GIF, made by ImageMagick when it is there.
    const std::string rose = Path("rose.gif");
    if (std::system(("convert '" + data + "/jpeg/testorig.jpg' '" + rose + "' 2>/dev/null").c_str()) == 0)
        files.push_back(rose);
    Guarded([&] { form->AddFiles(files); });
    auto shot = [&](const char* name) {
        ProcessEvents();
        form->grab().save(QString::fromUtf8(out) + "/" + name);
    };
    shot("thumbnails.png");
    form->ActViewPreview->trigger();
    form->ListView1->item(1)->setSelected(true);
    shot("preview-right.png");
    form->ActViewPreviewBottom->trigger();
    form->ActViewViewAsIcon->trigger();
    form->ListView1->clearSelection();
    form->ListView1->item(4)->setSelected(true);
    shot("icons-preview-bottom.png");

    // The replace question of a real Add, in a real message box: its
    // "\r\r" shows as a blank line.
    struct QtMessages : TScriptedPrompts {
        MsgButton Message(const MessageRequest& request) override { return TQtPrompts().Message(request); }
    };
    auto messages = std::make_unique<QtMessages>();
    QtMessages& answers = *messages;
    std::unique_ptr<TPrompts> scripted = SetPrompts(std::move(messages));
    answers.AnswerFiles({files.front()});
    QTimer::singleShot(500, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->screen()->grabWindow(0).save(QString::fromUtf8(out) + "/question-box.png");
            box->button(QMessageBox::No)->click();
        }
    });
    form->ActImageAdd->trigger();
    SetPrompts(std::move(scripted));
    form->MnuImage->popup(form->mapToGlobal(QPoint(40, 30)));
    ProcessEvents();
    form->MnuImage->grab().save(QString::fromUtf8(out) + "/image-menu.png");
    form->MnuImage->hide();
    form->Modified = false;
}
