#include "Thread.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <deque>

// ---- clocks -----------------------------------------------------------------

namespace {

class TSystemClock : public TClock {
public:
    uint32_t NowMs() override { return static_cast<uint32_t>(SteadyMs()); }
    void Sleep(int ms) override
    {
        if (ms <= 0)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    bool WaitFor(TEvent& event, int ms) override { return event.WaitReal(ms); }
};

std::atomic<TClock*> gClock{nullptr};

} // namespace

int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TClock& SystemClock()
{
    static TSystemClock clock;
    return clock;
}

TClock& CurrentClock()
{
    TClock* clock = gClock.load();
    return clock ? *clock : SystemClock();
}

ScopedClock::ScopedClock(TClock& clock) : previous_(gClock.exchange(&clock)) {}

ScopedClock::~ScopedClock() { gClock.store(previous_); }

// ---- event ------------------------------------------------------------------

void TEvent::Set()
{
    {
        std::lock_guard guard(lock_);
        signalled_ = true;
    }
    signal_.notify_all();
}

void TEvent::Reset()
{
    std::lock_guard guard(lock_);
    signalled_ = false;
}

bool TEvent::TryTake()
{
    std::lock_guard guard(lock_);
    if (!signalled_)
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

bool TEvent::WaitReal(int ms)
{
    std::unique_lock guard(lock_);
    auto ready = [this] { return signalled_; };
    if (ms < 0)
        signal_.wait(guard, ready);
    else if (!signal_.wait_for(guard, std::chrono::milliseconds(ms), ready))
        return false;
    if (!manualReset_)
        signalled_ = false;
    return true;
}

// ---- synchronize queue ------------------------------------------------------

namespace {

// Namespace-scope statics start on the thread that starts the program.
std::atomic<std::thread::id> gGuiThread{std::this_thread::get_id()};

struct TQueuedStep {
    const std::function<void()>* step = nullptr;
    std::exception_ptr error;
    bool done = false;
};

struct TSyncQueue {
    std::mutex lock;
    std::condition_variable finished;
    std::deque<TQueuedStep*> pending;
};

TSyncQueue& Queue()
{
    static TSyncQueue queue;
    return queue;
}

void WakeGuiThread()
{
    // A posted call reaches the GUI thread's event loop, which serves the
    // queue; a GUI thread that waits for a worker serves it itself.
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
}

} // namespace

bool IsGuiThread()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    return std::this_thread::get_id() == gGuiThread.load();
}

void SetGuiThread() { gGuiThread.store(std::this_thread::get_id()); }

void Synchronize(const std::function<void()>& step)
{
    if (IsGuiThread()) {
        step();
        return;
    }
    TSyncQueue& q = Queue();
    TQueuedStep item;
    item.step = &step;
    {
        std::lock_guard guard(q.lock);
        q.pending.push_back(&item);
    }
    WakeGuiThread();
    std::unique_lock guard(q.lock);
    q.finished.wait(guard, [&] { return item.done; });
    if (item.error)
        std::rethrow_exception(item.error);
}

bool CheckSynchronize()
{
    if (!IsGuiThread())
        return false;
    TSyncQueue& q = Queue();
    bool ran = false;
    for (;;) {
        TQueuedStep* item = nullptr;
        {
            std::lock_guard guard(q.lock);
            if (q.pending.empty())
                break;
            item = q.pending.front();
            q.pending.pop_front();
        }
        try {
            (*item->step)();
        } catch (...) {
            item->error = std::current_exception();
        }
        {
            std::lock_guard guard(q.lock);
            item->done = true;
        }
        q.finished.notify_all();
        ran = true;
    }
    return ran;
}

bool ProcessMessages()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !IsGuiThread())
        return true;
    if (QCoreApplication::closingDown())
        return false;
    QCoreApplication::processEvents();
    return true;
}

// ---- threads ----------------------------------------------------------------

TThread::TThread() = default;

TThread::~TThread()
{
    if (thread_.joinable()) {
        // Only a thread that does not free itself is joined here; its body
        // may still want the GUI thread, so the queue is served meanwhile.
        Terminate();
        while (!finished_.load()) {
            if (!CheckSynchronize())
                std::this_thread::yield();
        }
        thread_.join();
    }
}

void TThread::Resume()
{
    if (started_.exchange(true))
        return;
    // A self-freeing thread may be gone before the call returns: nothing of
    // it is touched after the start.
    const bool freeSelf = FreeOnTerminate;
    std::thread t([this] { Run(); });
    if (freeSelf)
        t.detach();
    else
        thread_ = std::move(t);
}

void TThread::Run()
{
    try {
        Execute();
    } catch (...) {
        // The body reports its own failures; nothing may leave the thread.
    }
    if (OnTerminate) {
        try {
            Synchronize(OnTerminate);
        } catch (...) {
        }
    }
    const bool freeSelf = FreeOnTerminate;
    finished_.store(true);
    if (freeSelf)
        delete this;
}
