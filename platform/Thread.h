#pragma once
// Threads as the painter needs them: created suspended, resumed once,
// optionally freeing themselves when they end, with a termination handler
// that runs on the GUI thread. Beside them an auto-reset event, the
// millisecond clock and sleep (all through one replaceable clock, so tests
// can run timing without real waiting), and the synchronize queue: a worker
// hands a step to the GUI thread and waits until it has run.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class TEvent;

// Time and waiting. Every wait of the painter goes through the current clock.
class TClock {
public:
    virtual ~TClock() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32.
    virtual uint32_t NowMs() = 0;
    // 0 yields the processor.
    virtual void Sleep(int ms) = 0;
    // Waits until the event is signalled (true, and an auto-reset event is
    // reset) or ms have passed (false); ms < 0 waits without limit.
    virtual bool WaitFor(TEvent& event, int ms) = 0;
};

// The real clock (steady, in milliseconds).
TClock& SystemClock();
// The clock in use: the system's unless a test put another in place.
TClock& CurrentClock();

// Puts a clock in place for its lifetime.
class ScopedClock {
public:
    explicit ScopedClock(TClock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    TClock* previous_;
};

inline uint32_t MilliTimer() { return CurrentClock().NowMs(); }
// The steady clock itself, in milliseconds, never wrapping and never
// replaced by a test's clock: for deadlines of real processes and files.
int64_t SteadyMs();
inline void SleepMs(int ms) { CurrentClock().Sleep(ms); }

class TEvent {
public:
    explicit TEvent(bool manualReset = false, bool signalled = false)
        : manualReset_(manualReset), signalled_(signalled)
    {
    }
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void Set();
    void Reset();
    // Through the current clock.
    bool WaitFor(int ms) { return CurrentClock().WaitFor(*this, ms); }
    // Real waiting, whatever the clock; ms < 0 without limit.
    bool WaitReal(int ms);
    // Takes the signal when there is one, without waiting.
    bool TryTake();

private:
    std::mutex lock_;
    std::condition_variable signal_;
    const bool manualReset_;
    bool signalled_;
};

// ---- the synchronize queue --------------------------------------------------

// The GUI thread: the application's thread when there is one, else the
// thread that started the program (or the one given to SetGuiThread).
bool IsGuiThread();
void SetGuiThread();

// Runs step on the GUI thread and returns when it has run; an exception it
// raised is raised again here. On the GUI thread itself it runs at once.
void Synchronize(const std::function<void()>& step);
// Runs the steps waiting in the queue (GUI thread only; elsewhere it does
// nothing). Answers whether any ran.
bool CheckSynchronize();
// Lets the GUI thread handle its pending events (elsewhere it does nothing).
// Answers false once the application is shutting down.
bool ProcessMessages();

// ---- threads ----------------------------------------------------------------

enum class TThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

class TThread {
public:
    // Always made suspended: the body starts with the first Resume.
    TThread();
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Resume();
    bool Suspended() const { return !started_.load(); }
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }

    // Kept for the platform; the body runs at the process's priority.
    TThreadPriority Priority() const { return priority_.load(); }
    void SetPriority(TThreadPriority value) { priority_.store(value); }

    // When set, the thread deletes itself after its termination handler.
    bool FreeOnTerminate = false;
    // Runs on the GUI thread once the body has ended.
    std::function<void()> OnTerminate;

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<TThreadPriority> priority_{TThreadPriority::Normal};
    std::thread thread_;
};
