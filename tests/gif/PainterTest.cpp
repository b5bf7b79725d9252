// The animation painter with a fake clock: timing, passes and loop counts,
// events, halting, the image's life, and the pictures it composes for the
// GIF suite's animations over a known background.
#include "GifTestUtil.h"
#include "platform/GdiExtras.h"
#include "platform/RasterOps.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <map>
#include <thread>

using namespace giftest;

namespace {

// Time stands still except for the waits asked of it. Waits without limit
// (and, when asked, long ones) wait for real, until the event comes.
class FakeClock : public TClock {
public:
    uint32_t NowMs() override
    {
        std::lock_guard g(lock_);
        return now_;
    }
    void Sleep(int ms) override
    {
        if (ms <= 0) {
            std::this_thread::yield();
            return;
        }
        std::lock_guard g(lock_);
        sleeps_.push_back(ms);
        now_ += uint32_t(ms);
    }
    bool WaitFor(TEvent& event, int ms) override
    {
        {
            std::lock_guard g(lock_);
            waits_.push_back(ms);
        }
        if (event.TryTake())
            return true;
        if (ms < 0 || (blockFrom_ > 0 && ms >= blockFrom_)) {
            blocked_.store(true);
            // A safety net, not a timing: a halt that never comes fails.
            const bool signalled = event.WaitReal(20000);
            blocked_.store(false);
            std::lock_guard g(lock_);
            signalledWaits_ += signalled;
            return signalled;
        }
        std::lock_guard g(lock_);
        now_ += uint32_t(ms);
        return false;
    }
    void BlockWaitsFrom(int ms) { blockFrom_ = ms; }
    bool Blocked() const { return blocked_.load(); }
    std::vector<int> Waits()
    {
        std::lock_guard g(lock_);
        return waits_;
    }
    int SignalledWaits()
    {
        std::lock_guard g(lock_);
        return signalledWaits_;
    }

private:
    std::mutex lock_;
    uint32_t now_ = 5000;
    std::vector<int> sleeps_;
    std::vector<int> waits_;
    int signalledWaits_ = 0;
    std::atomic<int> blockFrom_{0};
    std::atomic<bool> blocked_{false};
};

struct FrameSpec {
    int delay = 0;        // hundredths; -1 for no graphic control extension
    int disposal = 0;
    int transparent = -1; // colour index, or none
    int loopCount = -1;   // a loop extension before this frame
    int left = 0;
    int width = 2;
    std::vector<int> pixels{1, 2};
};

// A 2 x 1 screen, colours black, red, green, blue; frames one row high.
Bytes AnimatedGif(const std::vector<FrameSpec>& frames)
{
    Bytes b = Header(2, 1, 0x81, {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255});
    for (const FrameSpec& f : frames) {
        if (f.loopCount >= 0) {
            Append(b, {0x21, 0xFF, 11});
            AppendText(b, "NETSCAPE2.0");
            Append(b, {3, 1, f.loopCount & 0xFF, f.loopCount >> 8, 0});
        }
        if (f.delay >= 0)
            Append(b, GraphicControl((f.disposal << 2) | (f.transparent >= 0 ? 1 : 0), f.delay,
                                     f.transparent >= 0 ? f.transparent : 0));
        Append(b, Descriptor(f.left, 0, f.width, 1));
        std::vector<std::pair<int, int>> codes{{4, 3}};
        for (int p : f.pixels)
            codes.push_back({p, 3});
        codes.push_back({5, 3});
        Append(b, ImageData(2, codes));
    }
    b.push_back(0x3B);
    return b;
}

void Load(TMyGIFImage& image, const Bytes& bytes) { ASSERT_EQ(LoadBytes(image, bytes), ""); }

// What the GUI thread does while a threaded animation runs.
template <typename Pred>
bool ServeUntil(Pred done)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        if (!CheckSynchronize())
            std::this_thread::yield();
    }
    return true;
}

// Records the frames shown and the fake time each was begun.
struct Recorder {
    std::vector<int> frames;
    std::vector<uint32_t> times;
    int loops = 0;
    bool ended = false;
    std::thread::id eventThread;
    void Attach(TMyGIFImage& image)
    {
        image.OnFrameBegin = [this](TGIFPainter& p) {
            frames.push_back(p.ActiveImage());
            times.push_back(MilliTimer());
            eventThread = std::this_thread::get_id();
        };
        image.OnLoopBegin = [this](TGIFPainter&) { ++loops; };
        image.OnPaintEnd = [this](TGIFPainter&) { ended = true; };
    }
    std::vector<int> Gaps() const
    {
        std::vector<int> g;
        for (size_t i = 1; i < times.size(); ++i)
            g.push_back(int(times[i] - times[i - 1]));
        return g;
    }
};

constexpr TGIFDrawFlags kSync = GIFDefaultDrawFlags & ~dfThreaded;

// Draws and, for a threaded painter, serves until it has gone.
void Play(TMyGIFImage& image, TBitmap& canvas)
{
    image.Draw(canvas, Rect(0, 0, canvas.Width(), canvas.Height()));
    ASSERT_TRUE(ServeUntil([&] { return image.PainterCount() == 0; }));
}

const std::vector<FrameSpec> kDelays = {{.delay = 0}, {.delay = 1}, {.delay = 2}, {.delay = 5000}, {.delay = -1}};

} // namespace

TEST(PainterTiming, DelaysOfASynchronousPainter)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif(kDelays));
    image.DrawOptions = kSync;
    Recorder r;
    r.Attach(image);
    const uint32_t start = MilliTimer();
    TBitmap canvas(2, 1);
    image.Draw(canvas, Rect(0, 0, 2, 1));
    // The first frame after one unit; 0 and none give 10 units, 1 and 2
    // give 3, 5000 is cut to 1000 when not threaded.
    ASSERT_EQ(r.frames, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(r.times.front() - start, 12u);
    EXPECT_EQ(r.Gaps(), (std::vector<int>{120, 36, 36, 12000}));
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

TEST(PainterTiming, DelaysOfAThreadedPainter)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif(kDelays));
    Recorder r;
    r.Attach(image);
    const uint32_t start = MilliTimer();
    TBitmap canvas(2, 1);
    Play(image, canvas);
    ASSERT_EQ(r.frames, (std::vector<int>{0, 1, 2, 3, 4}));
    // The first frame at once; 5000 units stay 5000 on a thread.
    EXPECT_EQ(r.times.front() - start, 0u);
    EXPECT_EQ(r.Gaps(), (std::vector<int>{120, 36, 36, 60000}));
    // Events run on the GUI thread (this one).
    EXPECT_EQ(r.eventThread, std::this_thread::get_id());
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

TEST(PainterTiming, SpeedScalesTheWaits)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 10}, {.delay = 10}, {.delay = 10}}));
    image.SpeedPercent = 200;
    Recorder r;
    r.Attach(image);
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(r.Gaps(), (std::vector<int>{60, 60}));
}

TEST(PainterTiming, LatenessIsHalfMadeUp)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 10}, {.delay = 10}, {.delay = 10}, {.delay = 10}}));
    Recorder r;
    r.Attach(image);
    // Frame 1's event takes 40 ms of the clock: the next wait is 20 shorter.
    image.OnFrameDone = [&](TGIFPainter& p) {
        if (p.ActiveImage() == 1)
            clock.Sleep(40);
    };
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(r.Gaps(), (std::vector<int>{120, 100 + 40, 120}));
}

TEST(PainterTiming, SpeedZeroShowsTheFirstFrameUntilHalted)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 10}, {.delay = 10}}));
    image.SpeedPercent = 0;
    Recorder r;
    r.Attach(image);
    TBitmap canvas(2, 1);
    image.Draw(canvas, Rect(0, 0, 2, 1));
    ASSERT_TRUE(ServeUntil([&] { return clock.Blocked(); }));
    EXPECT_EQ(clock.Waits(), std::vector<int>{-1});
    image.StopPainting();
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(r.frames, std::vector<int>{0});
    EXPECT_EQ(clock.SignalledWaits(), 1);
}

TEST(PainterTiming, HaltEndsASixtySecondDelayAtOnce)
{
    FakeClock clock;
    clock.BlockWaitsFrom(60000);
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 5000}, {.delay = 10}}));
    Recorder r;
    r.Attach(image);
    TBitmap canvas(2, 1);
    image.Draw(canvas, Rect(0, 0, 2, 1));
    ASSERT_TRUE(ServeUntil([&] { return clock.Blocked(); }));
    image.StopPainting();
    // Back without the 60 s: the wait was ended by the halt's event.
    EXPECT_EQ(clock.SignalledWaits(), 1);
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(r.frames, std::vector<int>{0});
    EXPECT_FALSE(r.ended) << "a stopped painter delivers no end event";
}

TEST(PainterPasses, NoLoopExtensionPlaysOnePassAndKeepsTheLastFrame)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 10, .pixels = {1, 1}}, {.delay = 10, .pixels = {3, 3}}}));
    Recorder r;
    r.Attach(image);
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(r.frames, (std::vector<int>{0, 1}));
    TBitmap shown(2, 1);
    image.Draw(shown, Rect(0, 0, 2, 1));
    EXPECT_EQ(shown.Pixel(0, 0), RGBColor(0, 0, 255));
}

TEST(PainterPasses, LoopCountOnFrameZeroAndOnFrameTwo)
{
    FakeClock clock;
    ScopedClock use(clock);
    for (TGIFDrawFlags flags : {GIFDefaultDrawFlags, kSync}) {
        TMyGIFImage image;
        Load(image, AnimatedGif({{.delay = 1, .loopCount = 3}, {.delay = 1}, {.delay = 1}}));
        image.DrawOptions = flags;
        Recorder r;
        r.Attach(image);
        TBitmap canvas(2, 1);
        Play(image, canvas);
        EXPECT_EQ(r.frames, (std::vector<int>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
        EXPECT_EQ(r.loops, 2);

        TMyGIFImage late;
        Load(late, AnimatedGif({{.delay = 1}, {.delay = 1}, {.delay = 1, .loopCount = 3}}));
        late.DrawOptions = flags;
        Recorder lr;
        lr.Attach(late);
        Play(late, canvas);
        EXPECT_EQ(lr.frames, (std::vector<int>{0, 1, 2, 2, 2}));
    }
}

TEST(PainterPasses, LoopCountZeroIsEndlessOnlyOnAThread)
{
    FakeClock clock;
    ScopedClock use(clock);
    const Bytes gif = AnimatedGif({{.delay = 1, .loopCount = 0}, {.delay = 1}});
    TMyGIFImage once;
    Load(once, gif);
    once.DrawOptions = kSync;
    Recorder r;
    r.Attach(once);
    TBitmap canvas(2, 1);
    Play(once, canvas);
    EXPECT_EQ(r.frames, (std::vector<int>{0, 1}));

    TMyGIFImage endless;
    Load(endless, gif);
    Recorder er;
    er.Attach(endless);
    endless.Draw(canvas, Rect(0, 0, 2, 1));
    ASSERT_TRUE(ServeUntil([&] { return er.frames.size() >= 20; }));
    endless.StopPainting();
    EXPECT_GE(er.loops, 9);
    EXPECT_EQ(endless.PainterCount(), 0);
}

TEST(PainterPasses, FrameDoneMovingTheIndexRestartsWithoutANewPass)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}, {.delay = 1}}));
    image.DrawOptions = kSync;
    Recorder r;
    r.Attach(image);
    bool moved = false;
    image.OnFrameDone = [&](TGIFPainter& p) {
        if (p.ActiveImage() == 2 && !moved) {
            moved = true;
            p.SetActiveImage(0);
        }
    };
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(r.frames, (std::vector<int>{0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(r.loops, 0);
}

TEST(PainterImage, ZeroWidthRectangleMakesNoPainter)
{
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}}));
    TBitmap canvas(2, 1);
    TGIFPainter* slot = reinterpret_cast<TGIFPainter*>(&canvas);
    EXPECT_EQ(image.CreatePainter(&slot, canvas, GIFDefaultDrawFlags, Rect(1, 0, 1, 1)), nullptr);
    EXPECT_EQ(slot, nullptr);
    image.DrawOptions |= dfOnTarget;
    image.Draw(canvas, Rect(0, 0, 0, 1));
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(image.CurrentPainter(), nullptr);
}

TEST(PainterImage, SingleTransparentFrameIsPaintedAtOnceThroughItsMask)
{
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 10, .transparent = 1}}));
    TBitmap canvas(2, 1);
    canvas.Fill(RGBColor(9, 9, 9));
    image.Draw(canvas, Rect(0, 0, 2, 1));
    EXPECT_EQ(canvas.Pixel(0, 0), RGBColor(9, 9, 9));
    EXPECT_EQ(canvas.Pixel(1, 0), RGBColor(0, 255, 0));
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_FALSE(image.HasImageBitmap());
}

TEST(PainterImage, DestroyingTheImageWaitsUntilThePainterReleasedEverything)
{
    FakeClock clock;
    ScopedClock use(clock);
    auto image = std::make_unique<TMyGIFImage>();
    Load(*image, AnimatedGif({{.delay = 1, .disposal = 2, .loopCount = 0}, {.delay = 1, .disposal = 2}}));
    Recorder r;
    r.Attach(*image);
    TBitmap canvas(2, 1);
    image->Draw(canvas, Rect(0, 0, 2, 1));
    ASSERT_TRUE(ServeUntil([&] { return r.frames.size() >= 5; }));
    EXPECT_EQ(TGIFPainter::HoldingResources(), 1);
    image.reset();
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

TEST(PainterImage, ReloadingAndResizingStopThePainter)
{
    FakeClock clock;
    ScopedClock use(clock);
    const Bytes gif = AnimatedGif({{.delay = 1, .loopCount = 0}, {.delay = 1}});
    TMyGIFImage image;
    Load(image, gif);
    TBitmap canvas(2, 1);
    image.Draw(canvas, Rect(0, 0, 2, 1));
    EXPECT_EQ(image.PainterCount(), 1);
    EXPECT_TRUE(image.HasImageBitmap());
    image.SetWidth(3);
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_FALSE(image.HasImageBitmap());
    image.Draw(canvas, Rect(0, 0, 2, 1));
    EXPECT_EQ(image.PainterCount(), 1);
    Load(image, gif);
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

TEST(PainterImage, EachPaintedFrameNotifiesTheImage)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}, {.delay = 1}}));
    int changes = 0;
    image.OnChange = [&](TGraphic&) { ++changes; };
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(changes, 3);
}

TEST(PainterImage, FailureMakingTheBitmapsIsOutOfResources)
{
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1, .disposal = 2}, {.delay = 1}}));
    TBitmap canvas(2, 1);
    TGIFPainter* slot = nullptr;
    try {
        image.CreatePainter(&slot, canvas, GIFDefaultDrawFlags, Rect(0, 0, 30000, 30000));
        FAIL() << "no error";
    } catch (const EOutOfResources& e) {
        EXPECT_EQ(e.Message(), "Out of system resources");
    }
    EXPECT_EQ(image.PainterCount(), 0);
}

TEST(PainterImage, FailureInAnEventEndsASynchronousPainterAndReachesTheCaller)
{
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}}));
    image.DrawOptions = kSync;
    bool ended = false;
    image.OnFrameDone = [](TGIFPainter&) { throw GIFException("bad frame"); };
    image.OnPaintEnd = [&](TGIFPainter&) { ended = true; };
    TBitmap canvas(2, 1);
    FakeClock clock;
    ScopedClock use(clock);
    try {
        image.Draw(canvas, Rect(0, 0, 2, 1));
        FAIL() << "no error";
    } catch (const GIFException& e) {
        EXPECT_EQ(e.Message(), "bad frame");
    }
    EXPECT_FALSE(ended);
    EXPECT_EQ(image.PainterCount(), 0);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

// The painters that paint the image bitmap: on the GUI thread, and on a
// thread of their own, which composes its pictures there.
const TGIFDrawFlags kBothPainters[] = {kSync, GIFDefaultDrawFlags};

TEST(PainterDisposal, RestorePreviousAfterKeepVanishesWithTheNextFrame)
{
    FakeClock clock;
    ScopedClock use(clock);
    for (TGIFDrawFlags flags : kBothPainters) {
        TMyGIFImage image;
        // Red pair kept; a blue pixel on the right restored; then a green
        // one on the left.
        Load(image, AnimatedGif({{.delay = 1, .disposal = 1, .pixels = {1, 1}},
                                 {.delay = 1, .disposal = 3, .left = 1, .width = 1, .pixels = {3}},
                                 {.delay = 1, .disposal = 1, .width = 1, .pixels = {2}}}));
        image.DrawOptions = flags;
        std::vector<std::pair<TColor, TColor>> shown;
        image.OnFrameDone = [&](TGIFPainter& p) { shown.push_back({p.Canvas().Pixel(0, 0), p.Canvas().Pixel(1, 0)}); };
        TBitmap canvas(2, 1);
        Play(image, canvas);
        const TColor red = RGBColor(255, 0, 0), green = RGBColor(0, 255, 0), blue = RGBColor(0, 0, 255);
        ASSERT_EQ(shown.size(), 3u);
        EXPECT_EQ(shown[0], std::make_pair(red, red));
        EXPECT_EQ(shown[1], std::make_pair(red, blue));
        EXPECT_EQ(shown[2], std::make_pair(green, red));
    }
}

TEST(PainterDisposal, RestoreBackgroundShowsTheSnapshotAtTheNextPass)
{
    FakeClock clock;
    ScopedClock use(clock);
    for (TGIFDrawFlags flags : kBothPainters) {
        TMyGIFImage image;
        // Frame 1 covers the right pixel and is restored to background;
        // frame 0 (transparent on the right) starts pass 2 over that
        // background.
        Load(image, AnimatedGif({{.delay = 1, .transparent = 0, .loopCount = 2, .pixels = {1, 0}},
                                 {.delay = 1, .disposal = 2, .left = 1, .width = 1, .pixels = {3}}}));
        image.DrawOptions = flags;
        std::vector<TColor> right;
        image.OnFrameDone = [&](TGIFPainter& p) { right.push_back(p.Canvas().Pixel(1, 0)); };
        TBitmap canvas(2, 1);
        canvas.Fill(RGBColor(7, 7, 7));
        Play(image, canvas);
        EXPECT_EQ(right, (std::vector<TColor>{RGBColor(7, 7, 7), RGBColor(0, 0, 255), RGBColor(7, 7, 7),
                                              RGBColor(0, 0, 255)}));
    }
}

TEST(PainterAhead, FramesBuildOnThePictureShown)
{
    FakeClock clock;
    ScopedClock use(clock);
    // A whole opaque frame, two frames of one pixel each, a whole frame
    // transparent on the left; two passes. Each picture is the one before
    // with the frame on top, though the thread composes it in a bitmap of
    // its own and the first two pictures were never in that bitmap.
    const Bytes gif = AnimatedGif({{.delay = 1, .loopCount = 2, .pixels = {1, 1}},
                                   {.delay = 1, .left = 1, .width = 1, .pixels = {3}},
                                   {.delay = 1, .width = 1, .pixels = {2}},
                                   {.delay = 1, .transparent = 0, .pixels = {0, 1}}});
    const TColor red = RGBColor(255, 0, 0), green = RGBColor(0, 255, 0), blue = RGBColor(0, 0, 255);
    const std::vector<std::pair<TColor, TColor>> pass = {{red, red}, {red, blue}, {green, blue}, {green, red}};
    for (TGIFDrawFlags flags : kBothPainters) {
        TMyGIFImage image;
        Load(image, gif);
        image.DrawOptions = flags;
        std::vector<std::pair<TColor, TColor>> shown;
        std::vector<bool> ahead;
        image.OnFrameDone = [&](TGIFPainter& p) {
            shown.push_back({p.Canvas().Pixel(0, 0), p.Canvas().Pixel(1, 0)});
            ahead.push_back(p.PaintsAhead());
        };
        TBitmap canvas(2, 1);
        Play(image, canvas);
        std::vector<std::pair<TColor, TColor>> expected = pass;
        expected.insert(expected.end(), pass.begin(), pass.end());
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(ahead, std::vector<bool>(8, flags == GIFDefaultDrawFlags));
    }
}

TEST(PainterAhead, OnlyTheImageBitmapIsPaintedAhead)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1, .pixels = {1, 1}}, {.delay = 1, .left = 1, .width = 1, .pixels = {3}}}));
    // Straight onto the caller's canvas, which its owner may paint at any
    // time: painted on the GUI thread, as always.
    image.DrawOptions = GIFDefaultDrawFlags | dfOnTarget;
    std::vector<bool> ahead;
    image.OnFrameDone = [&](TGIFPainter& p) { ahead.push_back(p.PaintsAhead()); };
    TBitmap canvas(2, 1);
    Play(image, canvas);
    EXPECT_EQ(ahead, std::vector<bool>(2, false));
    EXPECT_EQ(canvas.Pixel(0, 0), RGBColor(255, 0, 0));
    EXPECT_EQ(canvas.Pixel(1, 0), RGBColor(0, 0, 255));
}

TEST(PainterAhead, ChangesToldWhileRenderingAheadReachTheGuiThread)
{
    FakeClock clock;
    ScopedClock use(clock);
    for (TGIFDrawFlags flags : kBothPainters) {
        TMyGIFImage image;
        Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}, {.delay = 1}}));
        image.DrawOptions = flags;
        // Every rendering then tells the image, wherever it runs.
        image.PaletteReplaced = true;
        std::vector<std::thread::id> told;
        image.OnChange = [&](TGraphic&) { told.push_back(std::this_thread::get_id()); };
        TBitmap canvas(2, 1);
        Play(image, canvas);
        // Per frame: its rendering, and its picture shown.
        EXPECT_EQ(told, std::vector<std::thread::id>(6, std::this_thread::get_id()));
    }
}

// ---- the GIF suite's animations ------------------------------------------------

namespace {

std::vector<std::string> ConfLines(const std::string& conf, const std::string& key)
{
    std::ifstream in(SuitePath(conf));
    std::string line;
    std::vector<std::string> out;
    while (std::getline(in, line))
        if (line.rfind(key + " = ", 0) == 0)
            out.push_back(line.substr(key.size() + 3));
    return out;
}

// The suite's frame (RGBA) over the background.
std::vector<TColor> Expected(const std::string& rgba, int w, int h, TColor background)
{
    const Bytes b = ReadFile(SuitePath(rgba));
    std::vector<TColor> out;
    for (int i = 0; i < w * h; ++i) {
        const uint8_t* p = &b[size_t(i) * 4];
        out.push_back(p[3] == 0 ? background : RGBColor(p[0], p[1], p[2]));
    }
    return out;
}

std::vector<TColor> PixelsOf(const TBitmap& bitmap)
{
    std::vector<TColor> out;
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            out.push_back(bitmap.Pixel(x, y));
    return out;
}

constexpr TColor kBackground = RGBColor(0x33, 0x66, 0x99);

// The picture after each frame the painter shows, in one pass.
std::vector<std::vector<TColor>> Composed(const std::string& gif, TGIFDrawFlags flags, std::vector<int>* delays)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    EXPECT_EQ(LoadBytes(image, ReadFile(SuitePath(gif))), "");
    image.DrawOptions = flags & ~dfRepeat;
    std::vector<std::vector<TColor>> out;
    image.OnFrameDone = [&](TGIFPainter& p) {
        out.push_back(PixelsOf(p.Canvas()));
        if (delays) {
            const TGIFGraphicControlExtension* c = image.Frame(p.ActiveImage())->ControlExtension();
            delays->push_back(c ? c->DelayTime() : 0);
        }
    };
    TBitmap canvas(image.Width(), image.Height());
    canvas.Fill(kBackground);
    image.Draw(canvas, Rect(0, 0, image.Width(), image.Height()));
    EXPECT_TRUE(ServeUntil([&] { return image.PainterCount() == 0; }));
    return out;
}

} // namespace

class PainterSuite : public ::testing::TestWithParam<std::string> {};

TEST_P(PainterSuite, FramesComposeAsTheSuiteShowsThem)
{
    const std::string name = GetParam();
    const std::string conf = name + ".conf";
    const int w = std::stoi(ConfLines(conf, "width").at(0));
    const int h = std::stoi(ConfLines(conf, "height").at(0));
    const std::vector<std::string> expectedFiles = ConfLines(conf, "pixels");
    std::vector<int> delays;
    const auto ours = Composed(name + ".gif", kSync, &delays);
    // The threaded painter composes the same pictures.
    EXPECT_EQ(Composed(name + ".gif", GIFDefaultDrawFlags, nullptr), ours);

    // Where several images follow each other without a delay, the suite
    // shows them as one frame: the picture after the last of them. (We show
    // each image for the default delay; see the report's differences.)
    std::vector<size_t> ends;
    const bool everyImageIsAFrame = ConfLines(conf, "force-animation").at(0) == "yes";
    for (size_t i = 0; i < ours.size(); ++i)
        if (everyImageIsAFrame || delays[i] > 0)
            ends.push_back(i);
    ASSERT_EQ(ends.size(), expectedFiles.size());
    for (size_t k = 0; k < ends.size(); ++k)
        EXPECT_EQ(ours[ends[k]], Expected(expectedFiles[k], w, h, kBackground)) << "frame " << k;
}

INSTANTIATE_TEST_SUITE_P(Animations, PainterSuite,
                         ::testing::Values("animation", "animation-speed", "animation-no-delays",
                                           "animation-zero-delays", "animation-multi-image",
                                           "animation-multi-image-explicit-zero-delay", "dispose-none",
                                           "dispose-keep", "dispose-restore-background",
                                           "dispose-restore-previous"),
                         [](const auto& param) { return SuiteParamName(param.param); });

TEST(PainterSuiteLoops, SingleFrameLoopFilesArePaintedWithoutAPainter)
{
    for (const char* name : {"loop-once", "loop-infinite", "loop-max", "loop-buffer", "loop-buffer_max",
                             "loop-animexts"}) {
        TMyGIFImage image;
        ASSERT_EQ(LoadBytes(image, ReadFile(SuitePath(std::string(name) + ".gif"))), "") << name;
        TBitmap canvas(image.Width(), image.Height());
        canvas.Fill(kBackground);
        image.Draw(canvas, Rect(0, 0, image.Width(), image.Height()));
        const std::string rgba = ConfLines(std::string(name) + ".conf", "pixels").at(0);
        EXPECT_EQ(PixelsOf(canvas), Expected(rgba, image.Width(), image.Height(), kBackground)) << name;
        EXPECT_EQ(image.PainterCount(), 0) << name;
    }
}

// ---- halting and destroying from inside the painter's own calls ------------

namespace {

// A hang is a failure with a message, not a test run that never ends.
class Watchdog {
public:
    explicit Watchdog(std::string what)
        : what_(std::move(what)), thread_([this] {
              std::unique_lock l(lock_);
              if (!done_cv_.wait_for(l, std::chrono::seconds(60), [&] { return done_; })) {
                  std::fprintf(stderr, "hangs: %s\n", what_.c_str());
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard l(lock_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

private:
    std::string what_;
    std::mutex lock_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

enum class Hook { FrameBegin, FrameDone, LoopBegin, Change };
const std::pair<Hook, const char*> kHooks[] = {
    {Hook::FrameBegin, "frame begin"}, {Hook::FrameDone, "frame done"}, {Hook::LoopBegin, "loop begin"}, {Hook::Change, "change"}};

using Action = std::function<void(TMyGIFImage&)>;
const std::pair<Action, const char*> kActions[] = {
    {[](TMyGIFImage& i) { i.StopPainting(); }, "StopPainting"},
    {[](TMyGIFImage& i) { i.Add(std::make_unique<TGIFSubImage>(&i)); }, "adding a frame"},
    {[](TMyGIFImage& i) { i.SetWidth(3); }, "resizing"},
    {[](TMyGIFImage& i) { i.GlobalColors().AppendColor(RGBColor(1, 2, 3)); }, "editing the global table"},
};

// Calls fire on the third call of the hook.
void Attach(TMyGIFImage& image, Hook hook, const std::function<void()>& fire, const std::function<void()>& other)
{
    auto count = std::make_shared<int>(0);
    auto maybe = [=](Hook h) {
        if (h == hook && ++*count == 3)
            fire();
        else if (h != Hook::Change)
            other();
    };
    image.OnFrameBegin = [=](TGIFPainter&) { maybe(Hook::FrameBegin); };
    image.OnFrameDone = [=](TGIFPainter&) { maybe(Hook::FrameDone); };
    image.OnLoopBegin = [=](TGIFPainter&) { maybe(Hook::LoopBegin); };
    image.OnChange = [=](TGraphic&) { maybe(Hook::Change); };
}

} // namespace

TEST(PainterHalt, AHaltAskedInsideThePaintersOwnEventEndsItAfterTheEvent)
{
    FakeClock clock;
    ScopedClock use(clock);
    const Bytes gif = AnimatedGif({{.delay = 1, .loopCount = 0}, {.delay = 1}});
    // The synchronous painter plays without end here too, so that it has
    // loops to begin.
    for (TGIFDrawFlags flags : {GIFDefaultDrawFlags, TGIFDrawFlags(kSync | dfRepeatForever)}) {
        for (const auto& [hook, hookName] : kHooks) {
            for (const auto& [action, actionName] : kActions) {
                const std::string what = std::string(actionName) + " in " + hookName +
                                         ((flags & dfThreaded) ? " (threaded)" : " (synchronous)");
                SCOPED_TRACE(what);
                Watchdog watchdog(what);
                TMyGIFImage image;
                Load(image, gif);
                image.DrawOptions = flags;
                bool halted = false;
                int late = 0;
                Attach(
                    image, hook,
                    [&] {
                        action(image);
                        halted = true;
                    },
                    [&] { late += halted; });
                TBitmap canvas(2, 1);
                image.Draw(canvas, Rect(0, 0, 2, 1));
                ASSERT_TRUE(ServeUntil([&] { return image.PainterCount() == 0; }));
                EXPECT_TRUE(halted);
                // No event after the one that asked.
                EXPECT_EQ(late, 0);
                EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
                EXPECT_FALSE(image.HasImageBitmap());
                // And the image animates again.
                image.OnFrameBegin = image.OnFrameDone = image.OnLoopBegin = nullptr;
                image.OnChange = nullptr;
                if (flags & dfThreaded) {
                    image.Draw(canvas, Rect(0, 0, 2, 1));
                    EXPECT_EQ(image.PainterCount(), 1);
                    image.StopPainting();
                    EXPECT_EQ(image.PainterCount(), 0);
                }
            }
        }
    }
}

TEST(PainterHalt, DestroyingTheImageWhileASynchronousPainterPumpsMessages)
{
    FakeClock clock;
    ScopedClock use(clock);
    int argc = 1;
    char name[] = "test_gif_painter";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Watchdog watchdog("destroying the image during its draw");
    auto* image = new TMyGIFImage;
    Load(*image, AnimatedGif({{.delay = 1, .disposal = 2}, {.delay = 1}, {.delay = 1}}));
    image->DrawOptions = kSync;
    int frames = 0;
    bool destroyed = false;
    image->OnFrameBegin = [&](TGIFPainter&) {
        // Taken off the queue while the painter waits for frame 1.
        if (++frames == 1)
            QMetaObject::invokeMethod(
                &app,
                [&] {
                    delete image;
                    destroyed = true;
                },
                Qt::QueuedConnection);
    };
    TBitmap canvas(2, 1);
    // Under the address sanitizer a write into the freed image fails here.
    image->Draw(canvas, Rect(0, 0, 2, 1));
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(TGIFPainter::HoldingResources(), 0);
}

TEST(PainterHalt, DestroyingTheImageFromThePaintersOwnEvent)
{
    FakeClock clock;
    ScopedClock use(clock);
    for (TGIFDrawFlags flags : {GIFDefaultDrawFlags, kSync}) {
        Watchdog watchdog("destroying the image in its painter's event");
        auto* image = new TMyGIFImage;
        Load(*image, AnimatedGif({{.delay = 1, .disposal = 2, .loopCount = 0}, {.delay = 1}}));
        image->DrawOptions = flags;
        int frames = 0;
        image->OnFrameDone = [&](TGIFPainter&) {
            if (++frames == 2)
                delete image;
        };
        TBitmap canvas(2, 1);
        image->Draw(canvas, Rect(0, 0, 2, 1));
        ASSERT_TRUE(ServeUntil([&] { return TGIFPainter::HoldingResources() == 0; }));
        EXPECT_EQ(frames, 2);
    }
}

TEST(PainterAhead, ProgressAndWarningsToldOnAnotherThreadReachTheGuiThread)
{
    FakeClock clock;
    ScopedClock use(clock);
    TMyGIFImage image;
    Load(image, AnimatedGif({{.delay = 1}, {.delay = 1}, {.delay = 1}}));
    std::vector<std::thread::id> progress;
    std::vector<std::string> warnings;
    std::thread::id warnedOn;
    image.OnProgress = [&](TGIFObject&, TProgressStage, int, bool, const TGIFRect&, const std::string& message) {
        progress.push_back(std::this_thread::get_id());
        EXPECT_EQ(message, "Rendering...");
    };
    image.OnGIFWarning = [&](TGIFObject& sender, int, const std::string& message) {
        warnings.push_back(message);
        warnedOn = std::this_thread::get_id();
        EXPECT_EQ(&sender, image.Frame(1));
    };
    TBitmap canvas(2, 1);
    Play(image, canvas);
    // Each frame rendered on the painter's thread (starting and ending),
    // reported here.
    ASSERT_GE(progress.size(), 6u);
    EXPECT_EQ(progress, std::vector<std::thread::id>(progress.size(), std::this_thread::get_id()));

    // A worker that loads or renders an image hears them at once, on its
    // own thread: only a painter's thread hands them over.
    image.OnProgress = nullptr;
    std::thread worker([&] { image.Warning(*image.Frame(1), 1, "from a worker"); });
    const std::thread::id workerId = worker.get_id();
    worker.join();
    EXPECT_EQ(warnedOn, workerId);
    EXPECT_EQ(warnings, std::vector<std::string>{"from a worker"});
}
