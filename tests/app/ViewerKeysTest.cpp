// The full-window viewer driven by real keys: xdotool types them through the
// X server to whichever window has the focus, with a window manager (openbox)
// framing, focusing and making windows full screen as on a desktop.
#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"
#include "catalogue/ImageViewer.h"
#include "store/UDMMain.h"

#include <QAction>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>

namespace {

constexpr int kWaitMs = 10000;

// Runs xdotool to its end while the window keeps handling its events; its
// output, trimmed.
QString Xdotool(const QStringList& args)
{
    QProcess tool;
    tool.start("xdotool", args);
    EXPECT_TRUE(tool.waitForStarted(5000)) << args.join(' ').toStdString();
    QElapsedTimer timer;
    timer.start();
    while (tool.state() != QProcess::NotRunning && timer.elapsed() < kWaitMs) {
        QApplication::processEvents();
        tool.waitForFinished(10);
    }
    EXPECT_EQ(tool.exitCode(), 0) << args.join(' ').toStdString() << ": " << tool.readAllStandardError().toStdString();
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

void Key(const QString& name) { Xdotool({"key", name}); }

// Gives a window the keys as a click on its frame would.
void Activate(QWidget& window)
{
    Xdotool({"windowactivate", "--sync", QString::number(window.winId())});
}

// The title of the window the X server gives the keys to.
std::string ActiveWindowTitle() { return Xdotool({"getactivewindow", "getwindowname"}).toStdString(); }

template <typename Condition>
bool WaitFor(Condition condition)
{
    return QTest::qWaitFor(condition, kWaitMs);
}

// openbox on the test's X server for as long as this lives; it runs a
// command once it manages the screen, which tells that it is ready.
class WindowManager {
public:
    WindowManager()
    {
        const QString ready = dir_.filePath("ready");
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start("openbox", {"--sm-disable", "--startup", "touch " + ready});
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(ready) && process_.state() != QProcess::NotRunning && timer.elapsed() < kWaitMs) {
            QApplication::processEvents();
            QThread::msleep(20);
        }
        ready_ = QFile::exists(ready);
    }
    ~WindowManager()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(5000);
    }
    bool Ready() const { return ready_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    bool ready_ = false;
};

class ViewerKeys : public FormFixture {
protected:
    void SetUp() override
    {
        FormFixture::SetUp();
        if (QGuiApplication::platformName() != "xcb")
            GTEST_SKIP() << "needs an X server (run under xvfb-run)";
        // scripts/setup installs both: missing, the test fails rather than
        // passing unseen.
        ASSERT_FALSE(QStandardPaths::findExecutable("xdotool").isEmpty()) << "xdotool is not installed (scripts/setup)";
        ASSERT_FALSE(QStandardPaths::findExecutable("openbox").isEmpty()) << "openbox is not installed (scripts/setup)";
        wm_ = std::make_unique<WindowManager>();
        ASSERT_TRUE(wm_->Ready()) << "openbox did not start";
    }
    void TearDown() override
    {
        FormFixture::TearDown();
        wm_.reset();
    }

    // A vault of five images saved and opened again: Sunset, sunrise, moon,
    // SUNDAY and stars, of four kinds and as many sizes.
    void OpenVault()
    {
        Start();
        form->resize(800, 560);
        const std::string data = GMB_TEST_DATA;
        AppendImageRecord(*DMMain, "Sunset", 227, 149, "J", ReadWholeFile(data + "/jpeg/testorig.jpg"));
        AppendImageRecord(*DMMain, "sunrise", 127, 64, "B", ReadWholeFile(data + "/bmp/g/pal8.bmp"));
        AppendImageRecord(*DMMain, "moon", 128, 128, "J", ReadWholeFile(data + "/jpeg/gray.jpg"));
        AppendImageRecord(*DMMain, "SUNDAY", 32, 32, "I", ReadWholeFile(data + "/ico/idle.ico"));
        AppendImageRecord(*DMMain, "stars", 4, 4, "G", ReadWholeFile(data + "/gif-suite/four-colors.gif"));
        const std::string vault = Path("night.gmb");
        form->SaveFile(vault);
        form->ActFileNew->trigger();
        form->OpenFile(vault);
        ProcessEvents();
        ASSERT_EQ(form->ListView1->count(), 5);
        Activate(*form);
        ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == form.get(); })) << "the window never got the focus";
    }

    std::string ListName(int row) const
    {
        std::string name, kind;
        form->SplitItemCaption(row, name, kind);
        return name;
    }
    int RowOf(const std::string& name) const
    {
        for (int r = 0; r < form->ListView1->count(); ++r)
            if (ListName(r) == name)
                return r;
        return -1;
    }
    void Click(int row)
    {
        QListWidget* list = form->ListView1;
        const QPoint at = list->viewport()->mapToGlobal(list->visualItemRect(list->item(row)).center());
        Xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    std::unique_ptr<WindowManager> wm_;
};

} // namespace

// Search and sort make the shown order differ from the key order (moon,
// stars, SUNDAY, sunrise, Sunset); every step key follows the shown one.
TEST_F(ViewerKeys, StepThroughTheShownOrderZoomGoFullScreenAndComeBack)
{
    OpenVault();
    form->ActViewSortDescending->setChecked(true);
    form->ActViewSortByPixels->trigger(); // Sunset, moon, sunrise, SUNDAY, stars
    Key("ctrl+f");
    ASSERT_TRUE(WaitFor([&] { return form->EdtSearch->hasFocus(); }));
    Xdotool({"type", "s"}); // moon goes
    ASSERT_TRUE(WaitFor([&] { return form->ShownCount() == 4; }));
    EXPECT_EQ(form->EdtSearch->text(), "s");

    Click(RowOf("Sunset"));
    ASSERT_TRUE(WaitFor([&] { return form->SelectedRows() == std::vector<int>{RowOf("Sunset")}; }));
    Key("Return");
    ASSERT_TRUE(WaitFor([&] { return form->Viewer() && QApplication::activeWindow() == form->Viewer(); }))
        << "Enter on the list opens the viewer, which takes the keys";
    QPointer<TImageViewer> viewer = form->Viewer();
    EXPECT_TRUE(WaitFor([&] { return viewer->isMaximized(); }));
    EXPECT_EQ(viewer->CaptionLabel->text().toStdString(), "Sunset.jpg - 1 / 4");
    EXPECT_TRUE(viewer->CaptionLabel->isVisible());
    EXPECT_EQ(ActiveWindowTitle(), "Sunset.jpg - 1 / 4");

    // Each key and the caption it leads to; the ends hold, which the next
    // key's caption proves (keys arrive in order).
    const std::vector<std::pair<const char*, const char*>> steps = {
        {"Right", "sunrise.bmp - 2 / 4"},     {"space", "SUNDAY.ico - 3 / 4"},   {"Next", "stars.gif - 4 / 4"},
        {"Right", "stars.gif - 4 / 4"},       {"BackSpace", "SUNDAY.ico - 3 / 4"}, {"Left", "sunrise.bmp - 2 / 4"},
        {"Prior", "Sunset.jpg - 1 / 4"},      {"Left", "Sunset.jpg - 1 / 4"},    {"End", "stars.gif - 4 / 4"},
        {"Home", "Sunset.jpg - 1 / 4"},       {"Page_Down", "sunrise.bmp - 2 / 4"}};
    for (const auto& [key, caption] : steps) {
        Key(key);
        EXPECT_TRUE(WaitFor([&] { return viewer->CaptionLabel->text() == caption; }))
            << key << " shows " << viewer->CaptionLabel->text().toStdString() << ", not " << caption;
    }
    EXPECT_EQ(ActiveWindowTitle(), "sunrise.bmp - 2 / 4");

    // Zoom on sunrise (127 x 64), shown enlarged to fit.
    TImagePreview& picture = *viewer->Picture;
    ASSERT_TRUE(picture.Fitted());
    EXPECT_GT(picture.ShownRect().width(), 127);
    Key("1");
    EXPECT_TRUE(WaitFor([&] { return picture.ShownRect().size() == QSize(127, 64); })) << "1 shows it at 100 %";
    Key("plus");
    EXPECT_TRUE(WaitFor([&] { return picture.Scale() == 1.25; }));
    Key("minus");
    Key("minus");
    EXPECT_TRUE(WaitFor([&] { return std::abs(picture.Scale() - 0.8) < 1e-9; }));
    Key("0");
    EXPECT_TRUE(WaitFor([&] { return picture.Fitted(); }));
    EXPECT_EQ(picture.ShownRect(), FitPreviewRect(127, 64, picture.width(), picture.height()));

    // F11: the whole screen, no frame; again: back to the maximized window.
    const QRect screen = viewer->screen()->geometry();
    Key("F11");
    EXPECT_TRUE(WaitFor([&] { return viewer->isFullScreen() && viewer->geometry() == screen; }))
        << "full screen at " << viewer->geometry().width() << " x " << viewer->geometry().height();
    EXPECT_TRUE(WaitFor([&] { return picture.ShownRect() == FitPreviewRect(127, 64, screen.width(), screen.height()); }))
        << "the picture fits the whole screen";
    Key("F11");
    EXPECT_TRUE(WaitFor([&] { return !viewer->isFullScreen() && viewer->isMaximized() && viewer->geometry() != screen; }));
    EXPECT_EQ(viewer->CaptionLabel->text().toStdString(), "sunrise.bmp - 2 / 4");

    // Escape: back on the list, on the image last viewed.
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return viewer.isNull(); })) << "Escape closes the viewer";
    EXPECT_EQ(form->Viewer(), nullptr);
    EXPECT_TRUE(WaitFor([&] { return QApplication::activeWindow() == form.get(); }));
    const int sunrise = RowOf("sunrise");
    EXPECT_EQ(form->ListView1->currentRow(), sunrise);
    EXPECT_EQ(form->SelectedRows(), std::vector<int>{sunrise});
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "2: 4: 1");
    EXPECT_EQ(ActiveWindowTitle(), "Kv Glimmerbox 3.2 - night.gmb");
    EXPECT_EQ(form->EdtSearch->text(), "s") << "the search stays";

    // The list has the keys again: Enter opens the viewer on sunrise.
    Key("Return");
    ASSERT_TRUE(WaitFor([&] { return form->Viewer() && form->Viewer()->CaptionLabel->text() == "sunrise.bmp - 2 / 4"; }));
    form->Viewer()->close();
    form->Modified = false;
}

// With GMB_SCREENSHOT_DIR set, pictures of the whole screen for a person to
// look at: the grid with a search typed, the viewer on a photo, the list by
// stored size, largest first.
TEST_F(ViewerKeys, ScreenshotsOfSearchViewerAndSort)
{
    const QString out = QString::fromLocal8Bit(qgetenv("GMB_SCREENSHOT_DIR"));
    if (out.isEmpty())
        GTEST_SKIP() << "set GMB_SCREENSHOT_DIR";
    Start();
    form->resize(900, 600);
    const std::string data = GMB_TEST_DATA;
    std::vector<std::string> files;
    for (const char* f : {"/jpeg/testorig.jpg", "/jpeg/cmyk.jpg", "/jpeg/gray.jpg", "/bmp/g/pal8.bmp", "/bmp/g/rgb32bf.bmp",
                          "/ico/idle.ico", "/ico/sysinfo.ico", "/emf/test-008.emf", "/wmf/2doorvan.wmf",
                          "/gif-suite/animation.gif", "/gif-suite/depth7.gif", "/gif-suite/four-colors.gif"})
        files.push_back(data + f);
    form->AddFiles(files);
    const std::string vault = Path("review.gmb");
    form->SaveFile(vault);
    Activate(*form);
    ASSERT_TRUE(WaitFor([&] { return QApplication::activeWindow() == form.get(); }));
    const auto shot = [&](const char* name) {
        QTest::qWait(300); // painted, and the frame drawn
        QProcess grab;
        grab.start("import", {"-window", "root", out + "/" + name});
        ASSERT_TRUE(grab.waitForFinished(20000));
        EXPECT_EQ(grab.exitCode(), 0) << grab.readAllStandardError().toStdString();
    };

    Key("ctrl+f");
    Xdotool({"type", "or"});
    ASSERT_TRUE(WaitFor([&] { return form->EdtSearch->text() == "or"; }));
    Click(RowOf("testorig"));
    shot("grid-search.png");

    Key("Return");
    ASSERT_TRUE(WaitFor([&] { return form->Viewer() && QApplication::activeWindow() == form->Viewer(); }));
    shot("viewer-photo.png");
    Key("Escape");
    ASSERT_TRUE(WaitFor([&] { return !form->Viewer(); }));

    Key("ctrl+f");
    Key("Escape"); // clears the search
    ASSERT_TRUE(WaitFor([&] { return form->EdtSearch->text().isEmpty(); }));
    form->ActViewSortDescending->setChecked(true);
    form->ActViewSortBySize->trigger();
    form->ListView1->setFocus();
    Click(0);
    shot("sorted-by-size-descending.png");
    form->Modified = false;
}
