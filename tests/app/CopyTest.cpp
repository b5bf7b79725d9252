// Copy in the real window on an X server: Ctrl+C on a JPEG and on a GIF
// record, read back by another program (xclip) as an image and as GIF bytes.
#include "FormTestSupport.h"

#include "gif/mygifimage.h"
#include "platform/Stream.h"
#include "widgets/ErrorGuard.h"

#include <QAction>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QListWidget>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

class CopyInWindow : public FormFixture {
protected:
    // What another program reads from the clipboard for a target. The
    // window answers while we wait, as its event loop would.
    QByteArray ReadClipboard(const QString& target)
    {
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-t", target, "-o"});
        if (!xclip.waitForStarted(5000))
            return {};
        QElapsedTimer timer;
        timer.start();
        while (xclip.state() != QProcess::NotRunning && timer.elapsed() < 15000) {
            QApplication::processEvents();
            xclip.waitForFinished(10);
        }
        return xclip.exitCode() == 0 ? xclip.readAllStandardOutput() : QByteArray();
    }

    void CopyRow(const QString& captionStart)
    {
        form->ListView1->clearSelection();
        for (int i = 0; i < form->ListView1->count(); ++i)
            if (form->ListView1->item(i)->text().startsWith(captionStart))
                form->ListView1->item(i)->setSelected(true);
        form->UpdateControls();
        ASSERT_TRUE(form->ActImageCopy->isEnabled());
        form->activateWindow();
        // The copy shortcut fires only in the active window; on a loaded
        // machine the server's focus comes late.
        QTest::qWaitForWindowActive(form.get(), 10000);
        form->ListView1->setFocus();
        ProcessEvents();
        QTest::keyClick(form->ListView1, Qt::Key_C, Qt::ControlModifier);
        ProcessEvents();
    }
};

} // namespace

TEST_F(CopyInWindow, JpegAndGifRecordsReachOtherPrograms)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    if (QStandardPaths::findExecutable("xclip").isEmpty())
        GTEST_SKIP() << "xclip is not installed (scripts/setup installs it)";
    Start();
    const std::string data = GMB_TEST_DATA;
    const std::string gifFile = data + "/gif-suite/depth8.gif";
    Guarded([&] { form->AddFiles({data + "/jpeg/testorig.jpg", gifFile}); });
    ASSERT_EQ(form->ListView1->count(), 2);

    CopyRow("testorig");
    EXPECT_TRUE(prompts->Records().empty());
    const QStringList jpegTargets = QString::fromUtf8(ReadClipboard("TARGETS")).split('\n');
    EXPECT_TRUE(jpegTargets.contains("image/png")) << jpegTargets.join(' ').toStdString();
    EXPECT_FALSE(jpegTargets.contains("GIF Image"));
    const QImage photo = QImage::fromData(ReadClipboard("image/png"), "PNG");
    EXPECT_EQ(photo.size(), QSize(227, 149));

    CopyRow("depth8");
    const QStringList gifTargets = QString::fromUtf8(ReadClipboard("TARGETS")).split('\n');
    EXPECT_TRUE(gifTargets.contains("GIF Image")) << gifTargets.join(' ').toStdString();
    const std::vector<uint8_t> stored = ReadWholeFile(gifFile);
    const QByteArray gifBytes = ReadClipboard("GIF Image");
    EXPECT_EQ(std::vector<uint8_t>(gifBytes.begin(), gifBytes.end()), stored);
    const QByteArray mimeBytes = ReadClipboard("image/gif");
    EXPECT_EQ(std::vector<uint8_t>(mimeBytes.begin(), mimeBytes.end()), stored);

    TMyGIFImage gif;
    TMemoryStream s(stored);
    gif.LoadFromStream(s);
    const QImage picture = QImage::fromData(ReadClipboard("image/png"), "PNG");
    ASSERT_EQ(picture.size(), QSize(gif.Width(), gif.Height()));
    EXPECT_EQ(picture.pixelColor(0, 0).rgb() & 0xFFFFFF,
              static_cast<QRgb>(gif.ImageBitmap()->ToQImage().pixelColor(0, 0).rgb() & 0xFFFFFF));

    // The codec reads its own clipboard back.
    TMyGIFImage pasted;
    pasted.LoadFromClipboard();
    EXPECT_EQ(pasted.Width(), gif.Width());
    EXPECT_EQ(pasted.FrameCount(), gif.FrameCount());
    form->Modified = false;
}
