// Thumbnail sizes at hand (the steps, their settings, the refill they cause)
// and the full-window viewer: its order, its ends, broken records, its keys
// and its zoom.
#include "FormTestSupport.h"
#include "../DamagedImages.h"

#include "catalogue/ImagePreview.h"
#include "catalogue/ImageViewer.h"
#include "imaging/ShownPicture.h"
#include "imaging/Thumbnail.h"
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <QAction>
#include <QBuffer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QWheelEvent>

namespace {

const std::string kAnimation = kData + "/gif-suite/animation.gif";
const std::string kThumbnail = "Kv Glimmerbox Thumbnail";

using Names = std::vector<std::string>;

class ZoomFixture : public FiveRecordsFixture {
protected:
    void Fill() { FiveRecordsFixture::Fill(kAnimation, 2); }

    QSize Setting() const
    {
        const TIniFile ini = Ini();
        return QSize(ini.ReadInteger(kThumbnail, "Width", -1), ini.ReadInteger(kThumbnail, "Height", -1));
    }
    QSize Listed() const { return QSize(form->ImgLstLarge->Width(), form->ImgLstLarge->Height()); }

    void Wheel(QWidget* on, int angle, Qt::KeyboardModifiers modifiers)
    {
        QWheelEvent wheel(QPointF(10, 10), on->mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(on, &wheel);
        ProcessEvents();
    }

    // Opens the viewer on the row as Enter on the list would.
    TImageViewer& Open(int row)
    {
        SelectRows({row});
        form->ListView1->setCurrentRow(row, QItemSelectionModel::NoUpdate);
        form->ActViewFullWindow->trigger();
        ProcessEvents();
        TImageViewer* viewer = form->Viewer();
        EXPECT_NE(viewer, nullptr);
        return *viewer;
    }

    static void Key(QWidget& to, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&to, &press);
    }

    // The names the viewer steps through from where it is to the end.
    static Names Walk(TImageViewer& viewer)
    {
        Names out;
        for (;;) {
            out.push_back(viewer.Caption().toStdString());
            const int before = viewer.Position();
            Key(viewer, Qt::Key_Right);
            if (viewer.Position() == before)
                return out;
        }
    }

    std::string ListName(int row) const
    {
        std::string name, kind;
        form->SplitItemCaption(row, name, kind);
        return name;
    }
};

} // namespace

TEST(ThumbnailSteps, GoThroughTheStepsFromTheCurrentSizeAndStopAtTheEnds)
{
    const auto step = [](int w, int h, int direction) { return TFormMain::SteppedThumbnailSize(QSize(w, h), direction); };
    EXPECT_EQ(step(32, 32, +1), QSize(48, 48));
    EXPECT_EQ(step(48, 48, -1), QSize(32, 32));
    EXPECT_EQ(step(192, 192, +1), QSize(256, 256));
    EXPECT_EQ(step(256, 256, +1), QSize(256, 256)) << "the top stays";
    EXPECT_EQ(step(32, 32, -1), QSize(32, 32)) << "the bottom stays";
    // Sizes off the steps, as the dialog gives them: to the next step on.
    EXPECT_EQ(step(100, 100, +1), QSize(128, 128));
    EXPECT_EQ(step(100, 100, -1), QSize(96, 96));
    EXPECT_EQ(step(16, 16, +1), QSize(32, 32));
    EXPECT_EQ(step(16, 16, -1), QSize(16, 16));
    EXPECT_EQ(step(320, 200, -1), QSize(256, 160)) << "the larger side steps, the shape is kept";
    EXPECT_EQ(step(100, 60, +1), QSize(128, 77));
    EXPECT_EQ(step(40, 200, +1), QSize(51, 256));
    EXPECT_EQ(step(300, 8, -1), QSize(256, 8)) << "never under the dialog's least side";
}

TEST_F(ZoomFixture, StepsWriteTheDialogsSettingsAndRefillAtTheNewSize)
{
    Fill();
    ASSERT_EQ(Listed(), QSize(32, 32));
    EXPECT_TRUE(form->ActViewThumbnailLarger->isEnabled());
    EXPECT_FALSE(form->ActViewThumbnailSmaller->isEnabled()) << "32 is the least step";
    EXPECT_TRUE(form->ActViewThumbnailLarger->shortcuts().contains(QKeySequence(QKeySequence::ZoomIn)));
    EXPECT_TRUE(form->ActViewThumbnailLarger->shortcuts().contains(QKeySequence("Ctrl+=")));
    EXPECT_EQ(form->ActViewThumbnailSmaller->shortcut(), QKeySequence(QKeySequence::ZoomOut));

    const int made = form->ThumbnailsMade;
    form->ActViewThumbnailLarger->trigger();
    EXPECT_EQ(Setting(), QSize(48, 48));
    EXPECT_EQ(Listed(), QSize(48, 48));
    EXPECT_EQ(form->ListView1->count(), 5);
    EXPECT_EQ(form->ListView1->iconSize(), QSize(48, 48));
    EXPECT_EQ((*form->ImgLstLarge)[0].size(), QSize(48, 48)) << "every thumbnail made again at the new size";
    EXPECT_EQ(form->ActViewThumbnailSize->text(), "Thumbnail &Size: 48x48");
    EXPECT_EQ(form->ThumbnailsMade, made + 5);

    // Back to a size the cache has seen: nothing is decoded.
    form->ActViewThumbnailSmaller->trigger();
    EXPECT_EQ(Setting(), QSize(32, 32));
    EXPECT_EQ(form->ThumbnailsMade, made + 5);

    for (int i = 0; i < 10; ++i)
        form->StepThumbnailSize(+1);
    EXPECT_EQ(Setting(), QSize(256, 256));
    EXPECT_EQ(Listed(), QSize(256, 256)) << "the list shows the top step, higher than the dialog's height";
    EXPECT_FALSE(form->ActViewThumbnailLarger->isEnabled());
    EXPECT_FALSE(form->StepThumbnailSize(+1));

    // A fill reads the size back from the settings.
    form->RefreshList();
    EXPECT_EQ(Listed(), QSize(256, 256));
}

TEST_F(ZoomFixture, CtrlWheelOverTheListStepsAndAPlainWheelDoesNot)
{
    Fill();
    QWidget* viewport = form->ListView1->viewport();
    Wheel(viewport, 120, Qt::NoModifier);
    EXPECT_EQ(Listed(), QSize(32, 32));
    Wheel(viewport, 120, Qt::ControlModifier);
    EXPECT_EQ(Listed(), QSize(48, 48));
    Wheel(viewport, 60, Qt::ControlModifier);
    EXPECT_EQ(Listed(), QSize(48, 48)) << "half a notch waits for the other half";
    Wheel(viewport, 60, Qt::ControlModifier);
    EXPECT_EQ(Listed(), QSize(64, 64));
    Wheel(viewport, -120, Qt::ControlModifier);
    EXPECT_EQ(Setting(), QSize(48, 48));
}

TEST_F(ZoomFixture, WithoutAVaultNothingSteps)
{
    form->ActFileNew->trigger();
    DMMain->CDS.Close();
    form->UpdateControls();
    EXPECT_FALSE(form->ActViewThumbnailLarger->isEnabled());
    EXPECT_FALSE(form->StepThumbnailSize(+1));
    EXPECT_EQ(Setting(), QSize(-1, -1));
}

TEST_F(ZoomFixture, ViewerStepsInTheShownOrderUnderSearchAndSortAndStaysAtTheEnds)
{
    Fill();
    form->ActViewSortDescending->setChecked(true);
    form->ActViewSortByPixels->trigger(); // Sunset, moon, sunrise, SUNDAY, stars
    form->EdtSearch->setText("s");       // moon hidden
    ProcessEvents();
    const std::vector<int> shown = form->ShownRows();
    ASSERT_EQ(shown.size(), 4u);
    Names expected;
    for (size_t i = 0; i < shown.size(); ++i)
        expected.push_back(ListName(shown[i]));
    ASSERT_EQ(expected, (Names{"Sunset", "sunrise", "SUNDAY", "stars"}));

    EXPECT_FALSE(form->ActViewFullWindow->isEnabled()) << "nothing selected";
    EXPECT_EQ(form->ActViewFullWindow->shortcut(), QKeySequence(Qt::Key_Return));
    TImageViewer& viewer = Open(shown[1]);
    EXPECT_EQ(viewer.Count(), 4);
    EXPECT_EQ(viewer.Position(), 1);
    EXPECT_EQ(viewer.windowTitle().toStdString(), "sunrise.bmp - 2 / 4");
    EXPECT_EQ(viewer.CaptionLabel->text(), viewer.windowTitle());
    EXPECT_EQ(Walk(viewer), (Names{"sunrise.bmp - 2 / 4", "SUNDAY.ico - 3 / 4", "stars.gif - 4 / 4"}));
    EXPECT_EQ(viewer.Position(), 3) << "next at the end stays";

    Key(viewer, Qt::Key_Home);
    EXPECT_EQ(viewer.Caption().toStdString(), "Sunset.jpg - 1 / 4");
    Key(viewer, Qt::Key_Left);
    Key(viewer, Qt::Key_PageUp);
    EXPECT_EQ(viewer.Position(), 0) << "previous at the start stays";
    Key(viewer, Qt::Key_Space);
    Key(viewer, Qt::Key_PageDown);
    EXPECT_EQ(viewer.Position(), 2);
    Key(viewer, Qt::Key_Backspace);
    EXPECT_EQ(viewer.Position(), 1);
    Key(viewer, Qt::Key_End);
    EXPECT_EQ(viewer.Caption().toStdString(), "stars.gif - 4 / 4");
    EXPECT_NE(viewer.Picture->Graphic(), nullptr) << "an animated GIF plays in the viewer";
}

TEST_F(ZoomFixture, EscapeClosesTheViewerOnTheListWithTheViewedItemSelected)
{
    Fill();
    QPointer<TImageViewer> viewer = &Open(0);
    EXPECT_TRUE(viewer->isWindow());
    EXPECT_TRUE(viewer->isVisible());
    Key(*viewer, Qt::Key_Right);
    Key(*viewer, Qt::Key_Right);
    Key(*viewer, Qt::Key_Escape);
    ProcessEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(viewer.isNull());
    EXPECT_EQ(form->Viewer(), nullptr);
    EXPECT_EQ(form->SelectedRows(), std::vector<int>{2});
    EXPECT_EQ(form->ListView1->currentRow(), 2);
    EXPECT_EQ(form->StatusPanel0->text().toStdString(), "3: 5: 1");

    // A double-click opens it as well.
    Q_EMIT form->ListView1->itemDoubleClicked(form->ListView1->item(4));
    ProcessEvents();
    ASSERT_NE(form->Viewer(), nullptr);
    EXPECT_EQ(form->Viewer()->Caption().toStdString(), "sunrise.bmp - 5 / 5");
    form->Viewer()->close();
}

TEST_F(ZoomFixture, ABrokenRecordShowsItsMessageAndTheNextIsStillShown)
{
    Fill();
    AppendImageRecord(*DMMain, "broken", 1, 1, "G", damaged::NoPaletteGif());
    prompts->AnswerMessage(MsgButton::Ok); // the fill's warning
    form->RefreshList();
    int row = -1;
    for (int r = 0; r < form->ListView1->count(); ++r)
        if (ListName(r) == "broken")
            row = r;
    ASSERT_EQ(row, 2);
    const std::string message = form->ItemBrokenMessage(row);
    ASSERT_FALSE(message.empty());

    TImageViewer& viewer = Open(row);
    EXPECT_EQ(viewer.Picture->Message().toStdString(), message);
    EXPECT_EQ(viewer.Caption().toStdString(), "broken.gif - 3 / 6");
    Key(viewer, Qt::Key_Right);
    EXPECT_TRUE(viewer.Picture->Message().isEmpty());
    EXPECT_FALSE(viewer.Picture->Picture().isNull());
    viewer.close();
}

TEST_F(ZoomFixture, TheNextImageIsDecodedAheadAndStepsFindItReady)
{
    Fill();
    TImageViewer& viewer = Open(2); // moon
    EXPECT_EQ(viewer.Decodes, 2) << "the shown one and the next";
    Key(viewer, Qt::Key_Right);
    EXPECT_EQ(viewer.Decodes, 3) << "the next was ready; the one after it starts";
    Key(viewer, Qt::Key_Left);
    EXPECT_EQ(viewer.Decodes, 4) << "the one before is kept; travelling back reads ahead that way";
    EXPECT_EQ(viewer.Caption().toStdString(), "moon.jpg - 3 / 5");
    viewer.close();
    ProcessEvents();

    form->ViewerReadAhead = false;
    TImageViewer& plain = Open(2);
    EXPECT_EQ(plain.Decodes, 1);
    Key(plain, Qt::Key_Right);
    EXPECT_EQ(plain.Decodes, 2);
    EXPECT_EQ(plain.Caption().toStdString(), "stars.gif - 4 / 5");
    plain.close();
}

// Keys faster than the worker decodes, jumps to the ends, and a close while
// a decode runs: each picture shown is the one of the caption (each bitmap
// has a size of its own), and nothing outlives the viewer.
TEST_F(ZoomFixture, QuickStepsAndJumpsShowEachItsOwnPicture)
{
    constexpr int kCount = 12;
    const auto sizeOf = [](int i) { return QSize(900 + 10 * i, 600 + i); };
    for (int i = 0; i < kCount; ++i) {
        QImage image(sizeOf(i), QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 30, 200, 200));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(image.save(&buffer, "BMP"));
        const QSize size = sizeOf(i);
        AppendImageRecord(*DMMain, Format("p%02d", i), size.width(), size.height(), "B",
                          std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    form->RefreshList();
    QPointer<TImageViewer> viewer = &Open(0);
    const auto shownIsCaptioned = [&] {
        const int at = viewer->Position();
        return viewer->Caption().toStdString() == Format("p%02d.bmp - %d / %d", at, at + 1, kCount) &&
               viewer->Picture->Picture().size() == sizeOf(at);
    };
    EXPECT_TRUE(shownIsCaptioned());
    for (int key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_Right, Qt::Key_End, Qt::Key_Left, Qt::Key_Left, Qt::Key_Home,
                    Qt::Key_Right, Qt::Key_Left, Qt::Key_Right, Qt::Key_Right, Qt::Key_End, Qt::Key_Home, Qt::Key_Right}) {
        Key(*viewer, key);
        EXPECT_TRUE(shownIsCaptioned()) << "after key " << key << " at " << viewer->Position();
    }
    EXPECT_EQ(viewer->Position(), 1);
    EXPECT_LE(viewer->Decodes, 2 * 15) << "each key decodes at most the shown and the next";
    Key(*viewer, Qt::Key_Right); // the one after starts on the worker...
    Key(*viewer, Qt::Key_Escape); // ...and the viewer goes meanwhile
    ProcessEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(viewer.isNull());
    EXPECT_EQ(form->ListView1->currentRow(), 2);
}

TEST_F(ZoomFixture, ViewerKeysZoomAndToggleFullScreen)
{
    Fill();
    TImageViewer& viewer = Open(1); // Sunset, 227 x 149
    ASSERT_EQ(viewer.Caption().toStdString(), "Sunset.jpg - 2 / 5");
    TImagePreview& picture = *viewer.Picture;
    EXPECT_TRUE(picture.Fitted());
    EXPECT_EQ(picture.FullSize(), QSize(227, 149));
    Key(viewer, Qt::Key_1);
    EXPECT_DOUBLE_EQ(picture.Scale(), 1.0);
    EXPECT_EQ(picture.ShownRect().size(), QSize(227, 149));
    Key(viewer, Qt::Key_Plus);
    EXPECT_DOUBLE_EQ(picture.Scale(), 1.25);
    Key(viewer, Qt::Key_Minus);
    Key(viewer, Qt::Key_Minus);
    EXPECT_DOUBLE_EQ(picture.Scale(), 0.8);
    Key(viewer, Qt::Key_0);
    EXPECT_TRUE(picture.Fitted());
    EXPECT_EQ(picture.ShownRect(), FitPreviewRect(227, 149, picture.width(), picture.height()));

    const bool full = viewer.isFullScreen();
    Key(viewer, Qt::Key_F11);
    EXPECT_NE(viewer.isFullScreen(), full);
    Key(viewer, Qt::Key_F11);
    EXPECT_EQ(viewer.isFullScreen(), full);
    viewer.close();
}

// A 400 x 300 picture in a 200 x 200 control: fitted, at 100 % around the
// centre, dragged within its edges, and decoded again when shown larger.
TEST(ImagePreviewZoom, ZoomsAroundTheAnchorAndPansOnlyWithinThePicture)
{
    TestApplication();
    TImagePreview preview;
    preview.resize(200, 200);
    QImage image(400, 300, QImage::Format_RGB32);
    image.fill(Qt::red);
    preview.SetPicture(image);
    EXPECT_EQ(preview.ShownRect(), QRect(0, 25, 200, 150));
    EXPECT_DOUBLE_EQ(preview.Scale(), 0.5);

    preview.SetScale(1);
    EXPECT_EQ(preview.ShownRect(), QRect(-100, -50, 400, 300)) << "the centre stays the centre";
    const auto drag = [&](QPoint from, QPoint to) {
        QMouseEvent press(QEvent::MouseButtonPress, from, preview.mapToGlobal(from), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&preview, &press);
        QMouseEvent move(QEvent::MouseMove, to, preview.mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&preview, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, to, preview.mapToGlobal(to), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&preview, &release);
    };
    drag(QPoint(100, 100), QPoint(130, 110));
    EXPECT_EQ(preview.ShownRect(), QRect(-70, -40, 400, 300));
    drag(QPoint(100, 100), QPoint(600, 600));
    EXPECT_EQ(preview.ShownRect(), QRect(0, 0, 400, 300)) << "no edge comes inside";
    drag(QPoint(100, 100), QPoint(-900, -900));
    EXPECT_EQ(preview.ShownRect(), QRect(-200, -100, 400, 300));

    // Zoomed out below the control's size: centred, and a drag moves nothing.
    preview.SetScale(0.25, QPointF(0, 0));
    EXPECT_EQ(preview.ShownRect(), QRect(50, 62, 100, 75));
    drag(QPoint(100, 100), QPoint(150, 150));
    EXPECT_EQ(preview.ShownRect(), QRect(50, 62, 100, 75));
    preview.SetScale(1000);
    EXPECT_DOUBLE_EQ(preview.Scale(), TImagePreview::kMaxZoom);

    // A picture held smaller than full is decoded again as it grows.
    std::vector<QSize> asked;
    preview.SetScaledPicture(image.scaled(200, 150), QSize(1600, 1200), [&](int w, int h) {
        asked.emplace_back(w, h);
        return image;
    });
    EXPECT_TRUE(preview.Fitted());
    EXPECT_TRUE(asked.empty());
    preview.SetScale(0.25);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked.front(), QSize(400, 300));
    preview.SetScale(0.2);
    EXPECT_EQ(asked.size(), 1u) << "held large enough";
}

TEST(ShownPicture, EachKindComesAsThePreviewShowsIt)
{
    TestApplication();
    const auto bytes = [](const std::string& file) { return std::make_shared<const std::vector<uint8_t>>(ReadWholeFile(file)); };
    TShownPicture jpeg = MakeShownPicture(bytes(kJpeg), "J", QSize(57, 38));
    EXPECT_EQ(jpeg.full, QSize(227, 149));
    EXPECT_LT(jpeg.image.width(), 227) << "decoded at a reduced scale";
    EXPECT_GE(jpeg.image.width(), 57);
    ASSERT_TRUE(jpeg.decodeAt);
    EXPECT_EQ(jpeg.decodeAt(227, 149).size(), QSize(227, 149));

    TShownPicture gif = MakeShownPicture(bytes(kAnimation), "G", QSize(100, 100));
    EXPECT_NE(gif.graphic, nullptr);
    EXPECT_TRUE(gif.image.isNull());

    TShownPicture bmp = MakeShownPicture(bytes(kBmp), "B", QSize(100, 100));
    EXPECT_EQ(bmp.image.size(), QSize(127, 64));
    EXPECT_FALSE(bmp.decodeAt);

    EXPECT_THROW(MakeShownPicture(bytes(kBmp), "J", QSize(10, 10)), std::exception);
    EXPECT_THROW(MakeShownPicture(bytes(kBmp), "q", QSize(10, 10)), std::exception);
}
