// Drawing the image and animating it: the painter thread with its passes,
// frame waits and disposal methods, and the image's side of it (the draw
// operation, making, stopping and waiting for painters).
#include "GIFInternal.h"
#include "mygifimage.h"
#include "platform/GdiExtras.h"
#include "platform/RasterOps.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <set>
#include <thread>

namespace {

constexpr const char* kOutOfResources = "Out of system resources";
// What the platform would give as the window colour.
constexpr TColor kWindowColor = clWhite;
// The longest a synchronous painter waits with speed 0: FrameDelayMax units.
constexpr int kLongestSyncWait = FrameDelayMax * DelayUnitMs;

bool Has(TGIFDrawFlags flags, TGIFDrawFlags flag) { return (flags & flag) != 0; }

// The image whose threaded painter runs on this thread, if any.
thread_local const TMyGIFImage* tPaintsFor = nullptr;

// A GUI thread that waits for a painter lets it reach the GUI thread.
void ServeAndYield()
{
    CheckSynchronize();
    std::this_thread::yield();
}

} // namespace

bool IsPainterThreadOf(const TMyGIFImage* image)
{
    return image && tPaintsFor == image;
}

// ---- the image --------------------------------------------------------------

void TMyGIFImage::Draw(TBitmap& canvas, const TRect& rect) const
{
    // Drawing starts and tracks painters: the image's own business.
    const_cast<TMyGIFImage*>(this)->DrawImage(canvas, rect);
}

void TMyGIFImage::NotifyChanged()
{
    if (!IsGuiThread()) {
        changePending_.store(true);
        return;
    }
    changePending_.store(false);
    Changed();
}

void TMyGIFImage::DeliverPendingChange()
{
    if (!IsGuiThread())
        return;
    std::vector<TNotice> notices;
    {
        std::lock_guard guard(noticeLock_);
        notices.swap(notices_);
    }
    for (TNotice& n : notices) {
        // A frame removed meanwhile hears nothing.
        if (!Owns(n.sender))
            continue;
        if (n.progress) {
            if (OnProgress)
                OnProgress(*n.sender, n.stage, n.percent, n.redraw, n.rect, n.message);
        } else if (OnGIFWarning) {
            OnGIFWarning(*n.sender, n.severity, n.message);
        }
    }
    if (changePending_.exchange(false))
        Changed();
}

bool TMyGIFImage::Owns(const TGIFObject* object) const
{
    if (object == this || object == frames_.get() || object == header_.get() || object == &header_->GlobalColors())
        return true;
    for (int i = 0; i < FrameCount(); ++i) {
        TGIFSubImage* frame = Frame(i);
        if (object == frame || object == &frame->LocalColors())
            return true;
        TGIFExtensionList& extensions = frame->FrameExtensions();
        if (object == &extensions)
            return true;
        for (int j = 0; j < extensions.Count(); ++j)
            if (object == extensions.Extensions(j))
                return true;
    }
    return false;
}

void TMyGIFImage::DrawImage(TBitmap& canvas, const TRect& rect)
{
    // Held here, not reached through the image: the image may be destroyed
    // by a handler while this call runs (see TDrawState).
    const std::shared_ptr<TDrawState> state = drawState_;
    if (state->drawing || FrameCount() == 0)
        return;
    DeliverPendingChange();
    state->drawing = true;
    struct Reset {
        TDrawState& state;
        ~Reset() { state.drawing = false; }
    } reset{*state};

    if (FrameCount() == 1 || !Has(DrawOptions, dfAnimate)) {
        Frame(0)->PaintTo(canvas, rect, Has(DrawOptions, dfTransparent), Has(DrawOptions, dfTiled));
        return;
    }
    // Every repaint while an animation runs.
    if (imageBitmap_ && !Has(DrawOptions, dfOnTarget)) {
        BlitImageBitmap(canvas, rect);
        return;
    }

    std::lock_guard guard(state->lock);
    if (currentPainter_ && &currentPainter_->Canvas() == &canvas && currentPainter_->PaintRect() == rect)
        return;
    StopPainting();

    TBitmap* target = &canvas;
    TRect targetRect = rect;
    if (!Has(DrawOptions, dfOnTarget)) {
        TBitmap& bitmap = BlankImageBitmap();
        target = &bitmap;
        targetRect = Rect(0, 0, Width(), Height());
        // What lies under the picture is the animation's background.
        StretchBlt(bitmap, 0, 0, Width(), Height(), canvas, rect.Left, rect.Top, rect.Width(), rect.Height(),
                   SRCCOPY);
    }
    // A synchronous painter has run to its end here; the image may be gone.
    TGIFPainter* painter = CreatePainter(&currentPainter_, *target, DrawOptions, targetRect);
    if (!painter || state->gone)
        return;
    painter->Launch();
    if (Has(DrawOptions, dfOnTarget))
        return;
    // Until the first frame is in the image bitmap. The slot is tested
    // first: a painter that left it may already be freed. The painter's
    // events run meanwhile, and one of them may destroy the image.
    while (!state->gone && currentPainter_ == painter && !painter->Terminated() && !painter->Started())
        ServeAndYield();
    if (state->gone)
        return;
    if (imageBitmap_) {
        BlitImageBitmap(canvas, rect);
        return;
    }
    // Stopped meanwhile (by one of its events): the first frame, without
    // making an image bitmap, so that the next draw animates again.
    Frame(0)->PaintTo(canvas, rect, Has(DrawOptions, dfTransparent), Has(DrawOptions, dfTiled));
}

void TMyGIFImage::BlitImageBitmap(TBitmap& canvas, const TRect& rect)
{
    // Only the GUI thread changes the image bitmap, and this is the GUI
    // thread: no render lock, so a repaint never waits for the painter's
    // rendering ahead.
    TBitmap* bitmap = imageBitmap_ ? imageBitmap_.get() : ImageBitmap();
    if (!bitmap)
        return;
    if (!Has(DrawOptions, dfTiled)) {
        bitmap->Draw(canvas, rect);
        return;
    }
    const int stepX = std::max(1, Width());
    const int stepY = std::max(1, Height());
    for (int64_t x = rect.Left; x < rect.Right; x += stepX)
        for (int64_t y = rect.Top; y < rect.Bottom; y += stepY)
            bitmap->Draw(canvas, Rect(int(x), int(y), int(x) + Width(), int(y) + Height()));
}

TGIFPainter* TMyGIFImage::CreatePainter(TGIFPainter** slot, TBitmap& canvas, TGIFDrawFlags flags, const TRect& rect)
{
    const std::shared_ptr<TDrawState> state = drawState_;
    const bool ownSlot = slot == &currentPainter_;
    std::lock_guard guard(state->lock);
    if (FrameCount() == 0 || rect.Left >= rect.Right || rect.Top >= rect.Bottom) {
        if (slot)
            *slot = nullptr;
        return nullptr;
    }
    if (FrameCount() == 1)
        flags &= static_cast<TGIFDrawFlags>(~(dfThreaded | dfAnimate));
    auto* painter = new TGIFPainter(this, flags, rect, canvas, slot);
    painters_.push_back(painter);
    painter->onPaintBegin_ = OnPaintBegin;
    painter->onFrameBegin_ = OnFrameBegin;
    painter->onFrameDone_ = OnFrameDone;
    painter->onLoopBegin_ = OnLoopBegin;
    painter->onPaintEnd_ = OnPaintEnd;
    if (Has(flags, dfThreaded)) {
        painter->SetPriority(static_cast<TThreadPriority>(std::min<int>(PainterPriority, 6)));
        return painter;
    }
    // Synchronous: the whole animation, here and now.
    std::exception_ptr failure;
    try {
        painter->Execute();
        failure = painter->Failure();
    } catch (...) {
        failure = std::current_exception();
    }
    painter->ReleaseResources();
    delete painter;
    // The messages pumped or the events raised may have destroyed the image.
    if (slot && !(ownSlot && state->gone))
        *slot = nullptr;
    if (failure)
        std::rethrow_exception(failure);
    return nullptr;
}

TGIFPainter* TMyGIFImage::CurrentPainter() const
{
    std::lock_guard guard(drawState_->lock);
    return currentPainter_;
}

int TMyGIFImage::PainterCount() const
{
    std::lock_guard guard(drawState_->lock);
    return static_cast<int>(painters_.size());
}

void TMyGIFImage::HaltCurrentPainter()
{
    for (;;) {
        {
            std::lock_guard guard(drawState_->lock);
            TGIFPainter* painter = currentPainter_;
            if (!painter)
                return;
            painter->Halt();
            // A synchronous painter is up the stack, and so is a threaded
            // one whose step or event asked for this (its thread waits for
            // us): either ends when we return.
            if (!Has(painter->DrawOptions(), dfThreaded) || painter->InGuiStep())
                return;
        }
        // It leaves the slot in ReleaseResources, which runs on this thread
        // through the synchronize queue.
        ServeAndYield();
    }
}

void TMyGIFImage::HaltAllPainters()
{
    for (;;) {
        {
            std::lock_guard guard(drawState_->lock);
            if (painters_.empty())
                return;
            int threaded = 0;
            for (auto it = painters_.rbegin(); it != painters_.rend(); ++it) {
                (*it)->Halt();
                // Not waited for when up the stack (see HaltCurrentPainter).
                if (Has((*it)->DrawOptions(), dfThreaded) && !(*it)->InGuiStep())
                    ++threaded;
            }
            if (threaded == 0)
                return;
        }
        ServeAndYield();
    }
}

void TMyGIFImage::StopPainting()
{
    HaltCurrentPainter();
    FreeImageBitmap();
}

void TMyGIFImage::StopAllPainters()
{
    try {
        HaltAllPainters();
    } catch (...) {
        FreeImageBitmap();
        throw;
    }
    FreeImageBitmap();
}

// ---- the painter ------------------------------------------------------------

TGIFPainter::TGIFPainter(TMyGIFImage* image, TGIFDrawFlags flags, const TRect& rect, TBitmap& canvas,
                         TGIFPainter** slot)
    : image_(image), canvas_(canvas), rect_(rect), flags_(flags), speed_(image->SpeedPercent), slot_(slot)
{
    FreeOnTerminate = true;
    OnTerminate = [this] { ReleaseResources(); };

    if (Has(flags_, dfThreaded) && Has(flags_, dfAnimate) && image->FrameCount() > 1 && speed_ >= 0)
        event_ = std::make_unique<TEvent>();

    TGIFGlobalColorMap& global = image->GlobalColors();
    if (image->BackgroundOverride != clNone)
        background_ = image->BackgroundOverride & 0xFFFFFF;
    else if (global.EntryCount() == 0)
        background_ = kWindowColor;
    else
        background_ = global.ColorAt(image->Header().BackgroundIndex);

    std::set<int> disposals;
    for (int i = 0; i < image->FrameCount(); ++i)
        if (const TGIFGraphicControlExtension* control = image->Frame(i)->ControlExtension())
            disposals.insert(control->DisposalMethod());
    if (Has(flags_, dfEraseOnRestart))
        disposals.insert(2);
    const bool restoresBackground = disposals.count(2) > 0;
    const bool restoresPrevious = disposals.count(3) > 0;
    try {
        if (restoresBackground && Has(flags_, dfTransparent))
            snapshot_ = CopyOfTarget();
        if (restoresBackground || restoresPrevious) {
            work_ = CopyOfTarget();
            scratch_ = std::make_unique<TBitmap>(rect_.Width(), rect_.Height(), canvas_.PixelFormat());
            scratch_->SetPalette(canvas_.Palette());
        }
    } catch (...) {
        throw EOutOfResources(kOutOfResources);
    }
    // The image bitmap is the image's own: nobody but this painter paints
    // it while the painter runs, so the picture can be made elsewhere.
    ahead_ = Has(flags_, dfThreaded) && &canvas_ == image->imageBitmap_.get() &&
             rect_ == Rect(0, 0, canvas_.Width(), canvas_.Height());
    if (slot_)
        *slot_ = this;
    holds_ = true;
    ++holding_;
}

TGIFPainter::~TGIFPainter() = default;

std::unique_ptr<TBitmap> TGIFPainter::CopyOfTarget() const
{
    const int w = rect_.Width(), h = rect_.Height();
    if (int64_t(DibStride(w, 32)) * h > MaxBitmapBytes)
        throw EOutOfResources(kOutOfResources);
    auto copy = std::make_unique<TBitmap>(w, h, canvas_.PixelFormat());
    copy->SetPalette(canvas_.Palette());
    BitBlt(*copy, 0, 0, w, h, canvas_, rect_.Left, rect_.Top, SRCCOPY);
    return copy;
}

void TGIFPainter::Launch()
{
    if (Has(flags_, dfThreaded))
        Resume();
}

void TGIFPainter::Halt()
{
    Terminate();
    if (!Has(flags_, dfThreaded))
        return;
    if (event_)
        event_->Set();
    SetPriority(TThreadPriority::Normal);
    if (Suspended())
        Resume();
}

TGIFSubImage& TGIFPainter::CurrentFrame() const
{
    return *image_->Frame(activeImage_.load());
}

void TGIFPainter::RunInGuiThread(const std::function<void()>& step)
{
    if (Stopped())
        return;
    if (!Has(flags_, dfThreaded)) {
        step();
        return;
    }
    Synchronize([&] {
        ++guiSteps_;
        struct Leave {
            int& steps;
            ~Leave() { --steps; }
        } leave{guiSteps_};
        step();
    });
}

void TGIFPainter::RaiseEvent(const TGIFPainterEvent& event)
{
    if (!event)
        return;
    currentEvent_ = &event;
    try {
        RunInGuiThread([&] { event(*this); });
    } catch (...) {
        currentEvent_ = nullptr;
        throw;
    }
    currentEvent_ = nullptr;
}

void TGIFPainter::Execute()
{
    const bool threaded = Has(flags_, dfThreaded);
    struct Mark {
        explicit Mark(const TMyGIFImage* image) { tPaintsFor = image; }
        ~Mark() { tPaintsFor = nullptr; }
    };
    std::optional<Mark> mark;
    if (threaded)
        mark.emplace(image_);
    try {
        if (Has(flags_, dfCheckCanvas))
            savedCanvas_ = &canvas_;
        activeImage_.store(0);
        RaiseEvent(onPaintBegin_);
        started_.store(false);

        int passes = 1;
        int loopStart = 0;
        bool loopSeen = false;
        delay_ = threaded ? 0 : 1;
        previousDisposal_ = 1;
        lastTime_ = MilliTimer();
        lastWait_ = 0;

        while ((passes != 0 || Has(flags_, dfRepeatForever)) && !Stopped()) {
            activeImage_.store(loopStart);
            if (started_.load())
                RaiseEvent(onLoopBegin_);
            do {
                const int index = activeImage_.load();
                if (!image_ || index < 0 || index >= image_->FrameCount() || Stopped())
                    break;
                TGIFSubImage& frame = *image_->Frame(index);
                if (frame.IsEmpty())
                    break;
                WaitForFrame(frame);
                if (Stopped())
                    break;
                RaiseEvent(onFrameBegin_);
                if (Stopped())
                    break;

                disposal_ = 1;
                TGIFExtensionList& extensions = frame.FrameExtensions();
                for (int i = 0; i < extensions.Count(); ++i) {
                    TGIFExtension* extension = extensions.Extensions(i);
                    if (auto* loop = dynamic_cast<TGIFAppExtNSLoop*>(extension)) {
                        if (loopSeen)
                            continue;
                        loopSeen = true;
                        passes = loop->LoopCount;
                        if ((passes == 0 || Has(flags_, dfRepeatForever)) && threaded)
                            passes = -1;
                        loopStart = index;
                    } else if (auto* control = dynamic_cast<TGIFGraphicControlExtension*>(extension)) {
                        disposal_ = control->DisposalMethod();
                    }
                }

                if (ahead_ && PaintAhead()) {
                    RunInGuiThread([this] { ShowAhead(); });
                } else {
                    RunInGuiThread([this] { PaintFrame(); });
                }
                previousDisposal_ = disposal_;
                if (Stopped())
                    break;

                delay_ = FrameDelayDefault;
                if (const TGIFGraphicControlExtension* control = frame.ControlExtension();
                    control && control->DelayTime() > 0) {
                    delay_ = std::max<int>(control->DelayTime(), FrameDelayMin);
                    if (delay_ > FrameDelayMax && !threaded)
                        delay_ = FrameDelayMax;
                }

                const int noted = activeImage_.load();
                RaiseEvent(onFrameDone_);
                if (Stopped())
                    break;
                if (activeImage_.load() == noted)
                    activeImage_.store(noted + 1);
            } while (Has(flags_, dfAnimate));

            if (passes > 0)
                --passes;
            if (!Has(flags_, dfAnimate) || !Has(flags_, dfRepeat))
                break;
        }
        activeImage_.store(-1);
        RaiseEvent(onPaintEnd_);
    } catch (const Exception&) {
        // Ends the run; the exception object keeps its class and message.
        Terminate();
        failure_ = std::current_exception();
    }
}

void TGIFPainter::WaitForFrame(TGIFSubImage& frame)
{
    const bool threaded = Has(flags_, dfThreaded);
    if (delay_ < 1) {
        SleepMs(0);
        return;
    }
    // Rendered here, ahead, so that the wait absorbs the time it takes.
    frame.RenderedBitmap();
    const uint32_t now = MilliTimer();

    int wait = 0;
    if (speed_ < 1) {
        wait = threaded ? -1 : kLongestSyncWait;
    } else {
        const int64_t overshoot = static_cast<int32_t>(now - (lastTime_ + static_cast<uint32_t>(lastWait_)));
        const int64_t due = int64_t(delay_) * DelayUnitMs - overshoot / 2;
        if (due < INT32_MIN / 100 || due > INT32_MAX / 100) {
            wait = kLongestSyncWait;
            lastWait_ = 0;
        } else {
            wait = GIFMulDiv(static_cast<int>(due), 100, speed_);
            lastWait_ = wait;
        }
    }
    lastTime_ = now;

    if (threaded) {
        if (wait > 0 || speed_ == 0) {
            bool signalled = false;
            if (event_)
                signalled = event_->WaitFor(wait);
            else if (wait > 0)
                SleepMs(wait);
            if (signalled) {
                lastWait_ = 0;
                lastTime_ = MilliTimer();
            }
        }
        return;
    }

    wait = std::max(wait, 1);
    uint32_t t = MilliTimer();
    while (wait > 0 && !Stopped()) {
        SleepMs(wait >= 100 ? 100 : wait);
        const uint32_t n = MilliTimer();
        wait -= static_cast<int>(n - t);
        t = n;
        // The caller's events keep flowing; a closing application stops us.
        if (!ProcessMessages())
            Terminate();
    }
}

void TGIFPainter::PaintFrame()
{
    image_->DeliverPendingChange();
    if (work_)
        PaintBuffered(canvas_, rect_);
    else
        PaintDirect(canvas_, rect_);
    // Not when the painter found its canvas gone.
    if (!Stopped())
        started_.store(true);
    canvas_.Modified();
}

bool TGIFPainter::PaintAhead()
{
    // As a skipped GUI step: a stopped painter paints nothing.
    if (Stopped())
        return false;
    const int w = canvas_.Width(), h = canvas_.Height();
    // Held across the test and the paint, so the frame painted is the one
    // tested (the GUI thread may drop renderings meanwhile).
    std::lock_guard guard(image_->RenderLock());
    if (!next_) {
        try {
            next_ = std::make_unique<TBitmap>(canvas_);
        } catch (const std::bad_alloc&) {
            // Without room for a second picture the GUI thread paints, as
            // for any other canvas.
            ahead_ = false;
            return false;
        }
        nextCurrent_ = true;
    }
    // After an exchange the bitmap holds the picture before the one shown;
    // it is brought up to date unless this frame covers all of it anyway.
    if (!nextCurrent_ && !PaintCoversTarget())
        BitBlt(*next_, 0, 0, w, h, canvas_, 0, 0, SRCCOPY);
    nextCurrent_ = true;
    if (work_)
        PaintBuffered(*next_, rect_);
    else
        PaintDirect(*next_, rect_);
    return true;
}

void TGIFPainter::ShowAhead()
{
    image_->DeliverPendingChange();
    canvas_.SwapPixels(*next_);
    nextCurrent_ = false;
    started_.store(true);
    canvas_.Modified();
}

bool TGIFPainter::PaintCoversTarget()
{
    if (work_) {
        // The rows of the disposal table that show the whole work or
        // scratch bitmap.
        const int d = disposal_, p = previousDisposal_;
        return d <= 2 || (d == 3 && (p == 2 || p == 3));
    }
    TGIFSubImage& frame = CurrentFrame();
    const bool masked = Has(flags_, dfTransparent) && frame.HasTransparency();
    return !masked && !Has(flags_, dfTiled) && frame.FrameRectIn(rect_) == rect_ && frame.RenderedBitmap();
}

void TGIFPainter::PaintDirect(TBitmap& target, const TRect& targetRect)
{
    CurrentFrame().PaintTo(target, targetRect, Has(flags_, dfTransparent), Has(flags_, dfTiled));
}

void TGIFPainter::PaintBuffered(TBitmap& target, const TRect& targetRect)
{
    // A target without pixels is a canvas that has gone.
    if (Has(flags_, dfCheckCanvas) && (savedCanvas_ != &canvas_ || canvas_.Empty())) {
        Terminate();
        return;
    }
    const bool eraseFirst = Has(flags_, dfEraseOnRestart) && activeImage_.load() == 0;
    const TRect whole = Rect(0, 0, rect_.Width(), rect_.Height());
    TBitmap* on = nullptr;
    TRect onRect;
    bool show = false;
    bool scratch = false;
    const int d = disposal_, p = previousDisposal_;
    if (d <= 2) {
        on = work_.get();
        onRect = whole;
        show = true;
    } else if (d == 3 && p <= 1) {
        on = &target;
        onRect = targetRect;
    } else if (d == 3 && p <= 3) {
        on = scratch_.get();
        onRect = whole;
        show = true;
        scratch = true;
    }
    if (on) {
        // Palettes need no selecting: the bitmaps here map colours themselves.
        if (eraseFirst)
            RestoreFrameArea();
        if (scratch)
            BitBlt(*scratch_, 0, 0, whole.Right, whole.Bottom, *work_, 0, 0, SRCCOPY);
        CurrentFrame().PaintTo(*on, onRect, Has(flags_, dfTransparent), Has(flags_, dfTiled));
        if (show)
            BitBlt(target, targetRect.Left, targetRect.Top, whole.Right, whole.Bottom, *on, 0, 0, SRCCOPY);
        if (d == 2)
            RestoreFrameArea();
    }
}

void TGIFPainter::RestoreFrameArea()
{
    const TGIFSubImage& frame = CurrentFrame();
    const int w = work_->Width(), h = work_->Height();
    const int stepX = std::max(1, image_->Width());
    const int stepY = std::max(1, image_->Height());
    auto eachTile = [&](auto restore) {
        for (int64_t x = frame.Left(); x < w; x += stepX)
            for (int64_t y = frame.Top(); y < h; y += stepY)
                restore(Rect(int(x), int(y), int(x) + frame.Width(), int(y) + frame.Height()));
    };
    const TRect area = frame.FrameRectIn(Rect(0, 0, w, h));
    if (Has(flags_, dfTransparent) && snapshot_) {
        auto copy = [&](const TRect& r) { BitBlt(*work_, r.Left, r.Top, r.Width(), r.Height(), *snapshot_, r.Left, r.Top, SRCCOPY); };
        if (Has(flags_, dfTiled))
            eachTile(copy);
        else
            copy(area);
        return;
    }
    auto fill = [&](const TRect& r) { FillRect(*work_, r, background_); };
    if (Has(flags_, dfTiled) && frame.Width() != image_->Width() && frame.Height() != image_->Height())
        eachTile(fill);
    else
        fill(area);
}

void TGIFPainter::ReleaseResources()
{
    if (TMyGIFImage* image = image_) {
        std::lock_guard guard(image->drawState_->lock);
        if (slot_ && *slot_ == this)
            *slot_ = nullptr;
        std::erase(image->painters_, this);
        image_ = nullptr;
    }
    work_.reset();
    scratch_.reset();
    snapshot_.reset();
    next_.reset();
    retiredCanvas_.reset();
    event_.reset();
    if (holds_) {
        holds_ = false;
        --holding_;
    }
}
