// Drag and drop in the real window on an X server: a folder dropped on it,
// and selected items dragged out of the list with the real mouse.
#include "FormTestSupport.h"

#include "platform/Stream.h"
#include "widgets/ErrorGuard.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace {

class DragDropInWindow : public FormFixture {
protected:
    std::string Put(const std::string& relative, const std::string& source) { return PutFile(relative, source); }
};

} // namespace

TEST_F(DragDropInWindow, DroppedFolderIsListedAndTheRestReported)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    Start();
    form->resize(800, 560);
    const std::string data = GMB_TEST_DATA;
    for (const char* f : {"/jpeg/testorig.jpg", "/jpeg/gray.jpg", "/bmp/g/pal8.bmp", "/ico/idle.ico", "/gif-suite/depth8.gif",
                          "/png/palette-trns.png"})
        Put(std::string("holiday/day") + f, data + f);
    WriteWholeFile(std::vector<uint8_t>{'n', 'o', 't', 'e'}, Path("holiday/notes.txt"));

    // The warning box is a real one; its picture is kept for review.
    struct QtMessages : TScriptedPrompts {
        MsgButton Message(const MessageRequest& request) override { return TQtPrompts().Message(request); }
    };
    std::unique_ptr<TPrompts> scripted = SetPrompts(std::make_unique<QtMessages>());
    const QByteArray out = qgetenv("GMB_SCREENSHOT_DIR");
    bool boxShown = false;
    QTimer closer;
    closer.setInterval(200);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxShown = box->text().startsWith("Unknown picture file extension (.txt)");
            if (!out.isEmpty())
                box->screen()->grabWindow(0).save(QString::fromUtf8(out) + "/drop-report.png");
            box->accept();
        }
    });
    closer.start();
    DropUrls({QUrl::fromLocalFile(QString::fromStdString(Path("holiday")))});
    closer.stop();
    SetPrompts(std::move(scripted));
    EXPECT_TRUE(boxShown);
    EXPECT_EQ(form->ListView1->count(), 6);
    if (!out.isEmpty()) {
        ProcessEvents();
        form->grab().save(QString::fromUtf8(out) + "/after-drop.png");
    }
    form->Modified = false;
}

// The real mouse: a press on a selected item and a move start the drag; the
// files are extracted before it is offered, and the drag ends with the button.
TEST_F(DragDropInWindow, SelectedItemsDragOutWithTheMouse)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    if (QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "xdotool is not installed (scripts/setup installs it)";
    Start();
    form->resize(800, 560);
    const std::string data = GMB_TEST_DATA;
    Guarded([&] { form->AddFiles({data + "/jpeg/testorig.jpg", data + "/gif-suite/depth8.gif"}); });
    ASSERT_EQ(form->ListView1->count(), 2);
    form->ListView1->selectAll();
    form->raise();
    form->activateWindow();
    ProcessEvents();
    const QPoint from = form->ListView1->viewport()->mapToGlobal(form->ListView1->visualItemRect(form->ListView1->item(0)).center());
    const QPoint to = from + QPoint(150, 120);
    // xdotool runs beside the window's event loop: press, move in steps, release.
    QProcess mouse;
    mouse.start("sh", {"-c", QString("xdotool mousemove %1 %2 sleep 0.3 mousedown 1 sleep 0.3 "
                                     "mousemove %3 %4 sleep 0.3 mousemove %5 %6 sleep 0.5 mouseup 1")
                                 .arg(from.x())
                                 .arg(from.y())
                                 .arg(from.x() + 10)
                                 .arg(from.y() + 10)
                                 .arg(to.x())
                                 .arg(to.y())});
    // The files are there, whole, while the drag is on.
    const QDir folder(QString::fromStdString(form->TempDir + "drag-1"));
    QStringList duringDrag;
    std::vector<uint8_t> gifDuringDrag;
    QTimer look;
    look.setInterval(50);
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (duringDrag.isEmpty() && folder.entryList(QDir::Files).size() == 2) {
            duringDrag = folder.entryList(QDir::Files);
            gifDuringDrag = ReadWholeFile(folder.filePath("depth8.gif").toStdString());
        }
    });
    look.start();
    ASSERT_TRUE(mouse.waitForStarted(5000));
    QElapsedTimer timer;
    timer.start();
    while (mouse.state() != QProcess::NotRunning && timer.elapsed() < 15000) {
        QApplication::processEvents();
        mouse.waitForFinished(10);
    }
    ProcessEvents();
    look.stop();
    EXPECT_EQ(duringDrag, (QStringList{"depth8.gif", "testorig.jpg"}));
    EXPECT_EQ(gifDuringDrag, ReadWholeFile(data + "/gif-suite/depth8.gif"));
    // Let go over this window, which does not take its own items back:
    // taken by nobody, the files go at once.
    EXPECT_FALSE(folder.exists());
    // The drag kept the selection.
    EXPECT_EQ(form->ListView1->selectedItems().size(), 2);
}
