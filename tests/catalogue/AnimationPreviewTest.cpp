// An animated WebP in the preview pane and the viewer: its first frame shows
// at once while a worker makes the animation, which then plays in its place
// unless another record is shown meanwhile or the window goes. A latch holds
// the worker at the start of each conversion, so nothing here depends on
// how long a conversion takes.
#include "FormTestSupport.h"

#include "catalogue/ImagePreview.h"
#include "catalogue/ImageViewer.h"
#include "gif/mygifimage.h"

#include <QAction>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

const std::string kAnimatedWebp = kData + "/webp/animated.webp";
// Generous: only a broken build comes near it.
constexpr int kPatienceMs = 60000;

// Holds each conversion at its start until released, or until the control
// drops it; tells the test when a conversion got there and how it left.
class TConversionLatch {
public:
    std::function<void(const std::atomic<bool>&)> Hook()
    {
        return [this](const std::atomic<bool>& dropped) {
            std::unique_lock lock(lock_);
            ++entered_;
            changed_.notify_all();
            // The control raises dropped without telling us: looked at often.
            while (!released_ && !dropped.load())
                changed_.wait_for(lock, std::chrono::milliseconds(2));
            sawDropped_.push_back(dropped.load());
            changed_.notify_all();
            if (fail_)
                throw std::runtime_error("the frames cannot be read");
        };
    }

    void Release()
    {
        std::lock_guard guard(lock_);
        released_ = true;
        changed_.notify_all();
    }
    void FailWhenReleased()
    {
        std::lock_guard guard(lock_);
        fail_ = true;
    }
    // Whether conversion n (from 1) reached the latch in time.
    bool WaitEntered(int n)
    {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return entered_ >= n; });
    }
    // How conversion n left the latch: true when it was dropped.
    bool LeftDropped(int n)
    {
        std::unique_lock lock(lock_);
        const bool left =
            changed_.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return int(sawDropped_.size()) >= n; });
        return left && sawDropped_[size_t(n - 1)];
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool released_ = false;
    bool fail_ = false;
    std::vector<bool> sawDropped_;
};

// Lets the event loop run until done says so (false when it never does).
bool WaitUntil(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > kPatienceMs)
            return false;
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

const TMyGIFImage* Playing(const TImagePreview& control) { return dynamic_cast<const TMyGIFImage*>(control.Graphic()); }

class AnimationFixture : public StartedFormFixture {
protected:
    TConversionLatch latch;
    TConversionLatch second;
    int ended = 0;
    int endedPlaying = 0;

    void SetUp() override
    {
        StartedFormFixture::SetUp();
        AppendImageRecord(*DMMain, "Sunset", 227, 149, "J", ReadWholeFile(kJpeg));
        AppendImageRecord(*DMMain, "anim", 64, 42, "V", ReadWholeFile(kAnimatedWebp));
        form->RefreshList();
        ASSERT_EQ(form->ListView1->count(), 2);
        Watch(*form->ImgPreview);
    }

    void TearDown() override
    {
        latch.Release();
        second.Release();
        StartedFormFixture::TearDown();
    }

    void Watch(TImagePreview& control)
    {
        control.BeforeConversion = latch.Hook();
        QObject::connect(&control, &TImagePreview::ConversionEnded, [this](bool playing) {
            ++ended;
            endedPlaying += playing;
        });
    }

    int Row(const std::string& caption) const
    {
        for (int r = 0; r < form->ListView1->count(); ++r)
            if (form->ListView1->item(r)->text().toStdString() == caption)
                return r;
        ADD_FAILURE() << caption;
        return 0;
    }
    void SelectAnimation() { SelectRows({Row("anim.webp (42x64)")}); }
    void SelectJpeg() { SelectRows({Row("Sunset.jpg (149x227)")}); }

    // The animation's first frame as ImageMagick reads it, in the pixels
    // the control shows.
    static bool ShowsFirstFrame(const TImagePreview& control)
    {
        const QImage shown = control.Picture();
        if (shown.size() != QSize(64, 42) || control.Graphic())
            return false;
        const std::vector<uint8_t> oracle = ReadWholeFile(kData + "/webp/animated.rgba");
        for (int y = 0; y < 42; ++y)
            for (int x = 0; x < 64; ++x) {
                const uint8_t* o = &oracle[(size_t(y) * 64 + x) * 4];
                if (shown.pixel(x, y) != qRgb(o[0], o[1], o[2]))
                    return false;
            }
        return true;
    }
    static bool ShowsJpeg(const TImagePreview& control)
    {
        return !control.Graphic() && control.FullSize() == QSize(227, 149) && !control.Picture().isNull();
    }
};

} // namespace

TEST_F(AnimationFixture, TheFirstFrameShowsAtOnceThenTheAnimationPlaysInItsPlace)
{
    SelectAnimation();
    // The click is answered while the worker is held before the conversion.
    ASSERT_TRUE(latch.WaitEntered(1));
    TImagePreview& pane = *form->ImgPreview;
    EXPECT_TRUE(ShowsFirstFrame(pane));
    EXPECT_TRUE(pane.Converting());
    EXPECT_EQ(form->txtName->text().toStdString(), "anim.webp");
    EXPECT_TRUE(pane.Message().isEmpty());

    latch.Release();
    ASSERT_TRUE(WaitUntil([&] { return ended > 0; }));
    EXPECT_FALSE(latch.LeftDropped(1));
    EXPECT_EQ(endedPlaying, 1);
    EXPECT_FALSE(pane.Converting());
    const TMyGIFImage* gif = Playing(pane);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(gif->Frames().Count(), 3);
    EXPECT_EQ(pane.FullSize(), QSize(64, 42));
    EXPECT_EQ(form->txtName->text().toStdString(), "anim.webp");
}

TEST_F(AnimationFixture, AnotherRecordSelectedBeforeTheAnimationArrivesKeepsItsPicture)
{
    SelectAnimation();
    ASSERT_TRUE(latch.WaitEntered(1));
    SelectJpeg();
    TImagePreview& pane = *form->ImgPreview;
    EXPECT_FALSE(pane.Converting());
    EXPECT_TRUE(ShowsJpeg(pane));
    EXPECT_EQ(form->txtName->text().toStdString(), "Sunset.jpg");
    // The held conversion learns that its result is no longer wanted.
    EXPECT_TRUE(latch.LeftDropped(1));

    // A second conversion on the one worker starts only after the first has
    // reported back; that late report must not end the second one.
    SelectAnimation();
    ASSERT_TRUE(latch.WaitEntered(2));
    ProcessEvents();
    EXPECT_TRUE(pane.Converting());
    EXPECT_EQ(ended, 0);

    SelectJpeg();
    latch.Release();
    EXPECT_TRUE(latch.LeftDropped(2));
    ProcessEvents();
    EXPECT_TRUE(ShowsJpeg(pane));
    EXPECT_EQ(ended, 0);
}

TEST_F(AnimationFixture, AConversionThatFailsKeepsTheFirstFrameWithoutABox)
{
    latch.FailWhenReleased();
    SelectAnimation();
    ASSERT_TRUE(latch.WaitEntered(1));
    latch.Release();
    ASSERT_TRUE(WaitUntil([&] { return ended > 0; }));
    EXPECT_EQ(endedPlaying, 0);
    TImagePreview& pane = *form->ImgPreview;
    EXPECT_FALSE(pane.Converting());
    EXPECT_TRUE(ShowsFirstFrame(pane));
    EXPECT_TRUE(pane.Message().isEmpty());
    EXPECT_TRUE(prompts->Records().empty());
}

TEST_F(AnimationFixture, TheWindowGoesWhileAConversionRuns)
{
    SelectAnimation();
    ASSERT_TRUE(latch.WaitEntered(1));
    // The control's end drops the conversion and waits for its worker.
    form.reset();
    EXPECT_TRUE(latch.LeftDropped(1));
    // Its report, still queued, finds nothing to write to (ASan watches).
    ProcessEvents();
}

TEST_F(AnimationFixture, TheViewerStepsOntoTheAnimationAndClosesWhileAnotherConversionRuns)
{
    SelectJpeg();
    form->ListView1->setCurrentRow(Row("Sunset.jpg (149x227)"), QItemSelectionModel::NoUpdate);
    form->ActViewFullWindow->trigger();
    ProcessEvents();
    QPointer<TImageViewer> viewer = form->Viewer();
    ASSERT_NE(viewer, nullptr);
    ASSERT_EQ(viewer->Caption().toStdString(), "Sunset.jpg - 1 / 2");
    Watch(*viewer->Picture);

    QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
    QApplication::sendEvent(viewer, &right);
    ASSERT_EQ(viewer->Caption().toStdString(), "anim.webp - 2 / 2");
    ASSERT_TRUE(latch.WaitEntered(1));
    EXPECT_TRUE(ShowsFirstFrame(*viewer->Picture));
    EXPECT_TRUE(viewer->Picture->Converting());
    latch.Release();
    ASSERT_TRUE(WaitUntil([&] { return ended > 0; }));
    const TMyGIFImage* gif = Playing(*viewer->Picture);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(gif->Frames().Count(), 3);

    // Back and on again: a new conversion, held; Escape closes the viewer.
    viewer->Picture->BeforeConversion = second.Hook();
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QApplication::sendEvent(viewer, &left);
    QApplication::sendEvent(viewer, &right);
    ASSERT_TRUE(second.WaitEntered(1));
    EXPECT_TRUE(ShowsFirstFrame(*viewer->Picture));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(viewer, &escape);
    ASSERT_TRUE(WaitUntil([&] { return viewer.isNull(); }));
    EXPECT_TRUE(second.LeftDropped(1));
    // Back in the list on the animation: the pane makes its own.
    ASSERT_TRUE(WaitUntil([&] { return ended == 2; }));
    EXPECT_EQ(endedPlaying, 2);
    ASSERT_NE(Playing(*form->ImgPreview), nullptr);
    EXPECT_EQ(form->txtName->text().toStdString(), "anim.webp");
}
