// An animated GIF record plays in the preview pane of the real window on an
// X server, and selecting another record stops its painter.
#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"
#include "gif/mygifimage.h"

#include <QAction>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QThread>
#include <cstdlib>
#include <set>

namespace {

class AnimatedPreview : public FormFixture {
protected:
    void AddRecord(const std::string& name, const std::string& kind, const std::string& file)
    {
        DMMain->CDS.Append();
        DMMain->CDSFileName.SetAsString(name);
        DMMain->CDSDimX.SetAsInteger(2);
        DMMain->CDSDimY.SetAsInteger(2);
        DMMain->LoadImageFromFile(file);
        DMMain->CDSImageType.SetAsString(kind);
        DMMain->CDS.Post();
    }

    void Select(const QString& caption)
    {
        form->ListView1->clearSelection();
        const auto items = form->ListView1->findItems(caption, Qt::MatchStartsWith);
        ASSERT_FALSE(items.isEmpty()) << caption.toStdString();
        items.front()->setSelected(true);
        form->UpdateControls();
    }

    // The pane as the X server shows it, sampled at the middle of each
    // quarter of the picture (the test animation is 2 x 2 pixels).
    std::vector<QRgb> PaneQuarters()
    {
        ProcessEvents();
        const QRect pane(form->ImgPreview->mapTo(form.get(), QPoint(0, 0)), form->ImgPreview->size());
        const QImage shot = QGuiApplication::primaryScreen()
                                ->grabWindow(form->winId(), pane.x(), pane.y(), pane.width(), pane.height())
                                .toImage();
        const QRect fit = FitPreviewRect(2, 2, pane.width(), pane.height());
        std::vector<QRgb> out;
        for (int qy : {1, 3})
            for (int qx : {1, 3})
                out.push_back(shot.pixel(fit.x() + fit.width() * qx / 4, fit.y() + fit.height() * qy / 4));
        return out;
    }

    void Shot(const char* name)
    {
        if (const char* out = std::getenv("GMB_SCREENSHOT_DIR"))
            QGuiApplication::primaryScreen()->grabWindow(form->winId()).save(QString::fromUtf8(out) + "/" + name);
    }
};

} // namespace

TEST_F(AnimatedPreview, PanePlaysTheAnimationUntilAnotherRecordIsSelected)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    Start();
    const std::string data = GMB_TEST_DATA;
    AddRecord("Blinker", "G", data + "/gif-suite/animation.gif");
    AddRecord("Still", "B", data + "/bmp/g/rgb24.bmp");
    form->RefreshList();
    form->ActViewPreview->trigger();
    Select("Blinker");
    ASSERT_NE(form->ImgPreview->Graphic(), nullptr);

    // Frames change every 600 ms; the pane shows at least three of them.
    std::set<std::vector<QRgb>> seen;
    QElapsedTimer clock;
    clock.start();
    while (seen.size() < 3 && clock.elapsed() < 15000) {
        if (seen.insert(PaneQuarters()).second)
            Shot(("animation-" + std::to_string(seen.size()) + ".png").c_str());
        QThread::msleep(50);
    }
    EXPECT_GE(seen.size(), 3u);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 1);

    Select("Still");
    EXPECT_EQ(form->ImgPreview->Graphic(), nullptr);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
    const std::vector<QRgb> still = PaneQuarters();
    QThread::msleep(800);
    EXPECT_EQ(PaneQuarters(), still);

    // A hidden pane still holds the record; closing the vault lets it go.
    Select("Blinker");
    ProcessEvents();
    form->ActViewPreview->trigger();
    form->Modified = false;
    form->ActFileNew->trigger();
    ProcessEvents();
    EXPECT_EQ(form->ImgPreview->Graphic(), nullptr);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}
