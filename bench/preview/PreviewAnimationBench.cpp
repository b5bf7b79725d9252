// An animated GIF playing in the preview pane (TImagePreview drawing a
// TMyGIFImage, the painter on its thread) beside Qt's QMovie in a QLabel
// playing the same file:
// - CPU (all threads) per displayed frame, 640 x 480 in a 640 x 480 pane;
// - the GUI thread's longest stall while a 4000 x 3000 animation plays in an
//   800 x 600 pane, measured as the largest gap between the ticks of a 1 ms
//   timer (start-up, with the first frame's decoding, reported apart);
// - beside it the GUI thread's own longest busy spell: the most CPU time it
//   spent between two ticks. On a shared machine the gap also holds the
//   time other processes had the processor; the busy spell is ours alone.
//
// - a click on an animated WebP of photo-sized frames: the time to its first
//   picture, to its animation playing, and the GUI thread's longest stall
//   meanwhile, with the GIF of its frames made on the control's worker
//   beside the whole conversion on the GUI thread (the way it was).
//
// The animations are made once with ImageMagick in $TMPDIR/glimmerbox-bench-anim.
#include "catalogue/ImagePreview.h"
#include "gif/mygifimage.h"
#include "imaging/GifExport.h"
#include "imaging/ShownPicture.h"
#include "platform/Graphic.h"
#include "platform/Stream.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

QApplication& App()
{
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (!std::getenv("QT_QPA_PLATFORM"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

std::string Animation(const char* name, const char* recipe)
{
    const QString dir = QDir::tempPath() + "/glimmerbox-bench-anim";
    QDir().mkpath(dir);
    const QString path = dir + "/" + name;
    if (!QFile::exists(path)) {
        const std::string cmd = "convert " + std::string(recipe) + " '" + path.toStdString() + "'";
        if (std::system(cmd.c_str()) != 0)
            std::abort();
    }
    return path.toStdString();
}

const std::string& Small()
{
    static const std::string p = Animation("a640.gif", "-size 640x480 -seed 1 plasma:fractal -seed 2 plasma:fractal "
                                                       "-seed 3 plasma:fractal -seed 4 plasma:fractal -set delay 4 -loop 0");
    return p;
}

const std::string& Huge()
{
    static const std::string p = Animation("a4000.gif", "-size 4000x3000 gradient:red-blue gradient:green-yellow "
                                                        "radial-gradient:white-navy gradient:black-orange +dither "
                                                        "-set delay 10 -loop 0");
    return p;
}

double CpuMs(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Longest gap between the ticks of a 1 ms timer, before and after the
// first displayed frame.
struct StallMeter {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longestStart = 0;
    qint64 longestPlaying = 0;
    double lastCpu = CpuMs(CLOCK_THREAD_CPUTIME_ID);
    double busiestStart = 0;
    double busiestPlaying = 0;
    bool playing = false;
    StallMeter()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] { Tick(); });
        clock.start();
        timer.start();
    }
    void Tick()
    {
        const qint64 now = clock.elapsed();
        (playing ? longestPlaying : longestStart) = std::max(playing ? longestPlaying : longestStart, now - last);
        last = now;
        const double cpu = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        double& busiest = playing ? busiestPlaying : busiestStart;
        busiest = std::max(busiest, cpu - lastCpu);
        lastCpu = cpu;
    }
    void FirstFrameShown()
    {
        Tick();
        playing = true;
    }
};

struct Result {
    int frames = 0;
    double cpuMs = 0;
    qint64 stallStart = 0;
    qint64 stallPlaying = 0;
    double busyStart = 0;
    double busyPlaying = 0;
};

// Plays until `frames` frames were displayed.
Result PlayInPane(const std::string& file, int paneW, int paneH, int frames)
{
    App();
    TImagePreview pane;
    pane.resize(paneW, paneH);
    pane.show();
    QApplication::processEvents();
    auto gif = std::make_unique<TMyGIFImage>();
    gif->LoadFromFile(file);
    QEventLoop loop;
    Result r;
    StallMeter meter;
    gif->OnFrameDone = [&](TGIFPainter&) {
        if (++r.frames == 1)
            meter.FirstFrameShown();
        if (r.frames == frames)
            loop.quit();
    };
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    const double cpu0 = CpuMs();
    pane.SetGraphic(std::move(gif));
    loop.exec();
    r.cpuMs = CpuMs() - cpu0;
    r.stallStart = meter.longestStart;
    r.stallPlaying = meter.longestPlaying;
    r.busyStart = meter.busiestStart;
    r.busyPlaying = meter.busiestPlaying;
    pane.ClearPicture();
    return r;
}

Result PlayInMovie(const std::string& file, int paneW, int paneH, int frames)
{
    App();
    QLabel label;
    label.resize(paneW, paneH);
    label.setAlignment(Qt::AlignCenter);
    label.show();
    QApplication::processEvents();
    QMovie movie(QString::fromStdString(file));
    const QSize natural = QImageReader(QString::fromStdString(file)).size();
    const QRect fit = FitPreviewRect(natural.width(), natural.height(), paneW, paneH);
    movie.setScaledSize(fit.size());
    label.setMovie(&movie);
    QEventLoop loop;
    Result r;
    StallMeter meter;
    QObject::connect(&movie, &QMovie::frameChanged, [&] {
        if (++r.frames == 1)
            meter.FirstFrameShown();
        if (r.frames == frames)
            loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    const double cpu0 = CpuMs();
    movie.start();
    loop.exec();
    r.cpuMs = CpuMs() - cpu0;
    r.stallStart = meter.longestStart;
    r.stallPlaying = meter.longestPlaying;
    r.busyStart = meter.busiestStart;
    r.busyPlaying = meter.busiestPlaying;
    return r;
}

void Report(benchmark::State& state, const Result& r)
{
    state.counters["frames"] = r.frames;
    state.counters["cpu_ms_per_frame"] = r.frames ? r.cpuMs / r.frames : 0;
    state.counters["stall_start_ms"] = double(r.stallStart);
    state.counters["stall_playing_ms"] = double(r.stallPlaying);
    state.counters["busy_start_ms"] = r.busyStart;
    state.counters["busy_playing_ms"] = r.busyPlaying;
}

using Player = Result (*)(const std::string&, int, int, int);

void BM_Play(benchmark::State& state, Player play, const std::string& (*file)(), int paneW, int paneH, int frames)
{
    for (auto _ : state)
        Report(state, play(file(), paneW, paneH, frames));
}

// 48 frames of 1280 x 720, each the first turned a little further.
const std::string& PhotoWebp()
{
    static const std::string p = Animation("photos1280.webp", "-size 1280x720 -seed 5 plasma:fractal -duplicate 47 "
                                                              "-virtual-pixel mirror -distort SRT '%[fx:t*7.5]' "
                                                              "-set delay 8 -loop 0 -quality 80");
    return p;
}

struct ClickResult {
    double firstMs = 0;   // the click until its first picture is painted
    double playingMs = 0; // the click until the animation plays
    qint64 stallMs = 0;   // the GUI thread's longest gap meanwhile
    int frames = 0;
};

// A click on the record as the window answers it now: the first frame at
// once, the animation from the control's worker.
ClickResult ClickOnWorker(const std::vector<uint8_t>& bytes)
{
    App();
    TImagePreview pane;
    pane.resize(800, 600);
    pane.show();
    QApplication::processEvents();
    QEventLoop loop;
    ClickResult r;
    QObject::connect(&pane, &TImagePreview::ConversionEnded, &loop, &QEventLoop::quit);
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    StallMeter meter;
    QElapsedTimer clock;
    clock.start();
    pane.ShowPicture(MakeShownPicture(std::make_shared<const std::vector<uint8_t>>(bytes), "V", pane.size()));
    pane.repaint();
    r.firstMs = double(clock.nsecsElapsed()) / 1e6;
    loop.exec();
    pane.repaint();
    r.playingMs = double(clock.nsecsElapsed()) / 1e6;
    meter.Tick();
    r.stallMs = std::max(meter.longestStart, meter.longestPlaying);
    if (const auto* gif = dynamic_cast<const TMyGIFImage*>(pane.Graphic()))
        r.frames = gif->Frames().Count();
    return r;
}

// The way it was: the whole conversion before anything is shown.
ClickResult ClickOnGuiThread(const std::vector<uint8_t>& bytes)
{
    App();
    TImagePreview pane;
    pane.resize(800, 600);
    pane.show();
    QApplication::processEvents();
    ClickResult r;
    StallMeter meter;
    QApplication::processEvents();
    QElapsedTimer clock;
    clock.start();
    TShownPicture shown;
    shown.graphic = LoadAnimationAsGif(bytes, 'V');
    pane.ShowPicture(std::move(shown));
    pane.repaint();
    r.firstMs = r.playingMs = double(clock.nsecsElapsed()) / 1e6;
    meter.Tick();
    r.stallMs = std::max(meter.longestStart, meter.longestPlaying);
    if (const auto* gif = dynamic_cast<const TMyGIFImage*>(pane.Graphic()))
        r.frames = gif->Frames().Count();
    return r;
}

void BM_ClickAnimatedWebp(benchmark::State& state, ClickResult (*click)(const std::vector<uint8_t>&))
{
    const std::vector<uint8_t> bytes = ReadWholeFile(PhotoWebp());
    ClickResult sum;
    for (auto _ : state) {
        const ClickResult r = click(bytes);
        sum.firstMs += r.firstMs;
        sum.playingMs += r.playingMs;
        sum.stallMs = std::max(sum.stallMs, r.stallMs);
        sum.frames = r.frames;
    }
    const double n = double(state.iterations());
    state.counters["first_picture_ms"] = sum.firstMs / n;
    state.counters["playing_ms"] = sum.playingMs / n;
    state.counters["gui_stall_ms"] = double(sum.stallMs);
    state.counters["frames"] = sum.frames;
}

} // namespace

BENCHMARK_CAPTURE(BM_ClickAnimatedWebp, Worker, ClickOnWorker)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ClickAnimatedWebp, GuiThread, ClickOnGuiThread)->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Play, Pane640_Painter, PlayInPane, Small, 640, 480, 40)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Play, Pane640_QMovie, PlayInMovie, Small, 640, 480, 40)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Play, Pane4000_Painter, PlayInPane, Huge, 800, 600, 12)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Play, Pane4000_QMovie, PlayInMovie, Huge, 800, 600, 12)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
