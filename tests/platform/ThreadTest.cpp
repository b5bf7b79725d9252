// Threads, the auto-reset event, the replaceable clock and the synchronize
// queue, as the painter relies on them.
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace {

template <typename Pred>
void ServeUntil(Pred done)
{
    while (!done())
        if (!CheckSynchronize())
            std::this_thread::yield();
}

class Worker : public TThread {
public:
    std::function<void(Worker&)> body;
    std::atomic<bool>* destroyed = nullptr;
    ~Worker() override
    {
        if (destroyed)
            destroyed->store(true);
    }

protected:
    void Execute() override { body(*this); }
};

class CountingClock : public TClock {
public:
    uint32_t now = 100;
    std::vector<int> sleeps;
    uint32_t NowMs() override { return now; }
    void Sleep(int ms) override
    {
        sleeps.push_back(ms);
        now += uint32_t(ms);
    }
    bool WaitFor(TEvent& event, int ms) override
    {
        if (event.TryTake())
            return true;
        now += uint32_t(ms);
        return false;
    }
};

} // namespace

TEST(Event, AutoResetReleasesOneWaitAndTimesOut)
{
    TEvent event;
    EXPECT_FALSE(event.WaitReal(0));
    event.Set();
    EXPECT_TRUE(event.WaitReal(0));
    EXPECT_FALSE(event.TryTake()) << "the signal was taken by the wait";
    TEvent manual(true, true);
    EXPECT_TRUE(manual.TryTake());
    EXPECT_TRUE(manual.WaitReal(0));
    manual.Reset();
    EXPECT_FALSE(manual.TryTake());
}

TEST(Event, SetFromAnotherThreadEndsAnEndlessWait)
{
    TEvent event;
    std::thread setter([&] { event.Set(); });
    EXPECT_TRUE(event.WaitReal(-1));
    setter.join();
}

TEST(Clock, AReplacedClockServesTimerSleepAndWaits)
{
    CountingClock clock;
    {
        ScopedClock use(clock);
        EXPECT_EQ(MilliTimer(), 100u);
        SleepMs(250);
        EXPECT_EQ(MilliTimer(), 350u);
        TEvent event;
        EXPECT_FALSE(event.WaitFor(1000));
        EXPECT_EQ(MilliTimer(), 1350u);
    }
    EXPECT_EQ(clock.sleeps, std::vector<int>{250});
    EXPECT_EQ(&CurrentClock(), &SystemClock());
}

TEST(Synchronize, StepsRunOnTheGuiThreadWhileTheWorkerWaits)
{
    ASSERT_TRUE(IsGuiThread());
    std::thread::id ranOn;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        EXPECT_FALSE(IsGuiThread());
        Synchronize([&] { ranOn = std::this_thread::get_id(); });
        back.store(true);
    });
    ServeUntil([&] { return back.load(); });
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(CheckSynchronize()) << "nothing left in the queue";
}

TEST(Synchronize, AFailingStepRaisesInTheWorker)
{
    std::string caught;
    std::atomic<bool> back{false};
    std::thread worker([&] {
        try {
            Synchronize([] { throw std::runtime_error("no"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        back.store(true);
    });
    ServeUntil([&] { return back.load(); });
    worker.join();
    EXPECT_EQ(caught, "no");
}

TEST(Synchronize, OnTheGuiThreadAStepRunsAtOnce)
{
    int ran = 0;
    Synchronize([&] { ++ran; });
    EXPECT_EQ(ran, 1);
}

TEST(Thread, SuspendedUntilResumedThenFreesItselfAfterTheHandlerOnTheGuiThread)
{
    std::atomic<bool> destroyed{false};
    std::atomic<bool> ran{false};
    std::thread::id handlerThread;
    auto* worker = new Worker;
    worker->destroyed = &destroyed;
    worker->FreeOnTerminate = true;
    worker->body = [&](Worker&) { ran.store(true); };
    worker->OnTerminate = [&] { handlerThread = std::this_thread::get_id(); };
    EXPECT_TRUE(worker->Suspended());
    std::this_thread::yield();
    EXPECT_FALSE(ran.load());
    worker->Resume();
    ServeUntil([&] { return destroyed.load(); });
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
}

TEST(Thread, TerminateIsSeenByTheBodyAndAnOwnedThreadJoinsOnDestruction)
{
    std::atomic<int> turns{0};
    auto worker = std::make_unique<Worker>();
    worker->body = [&](Worker& self) {
        while (!self.Terminated())
            turns.fetch_add(1);
        Synchronize([] {});
    };
    worker->SetPriority(TThreadPriority::Lower);
    EXPECT_EQ(worker->Priority(), TThreadPriority::Lower);
    worker->Resume();
    while (turns.load() == 0)
        std::this_thread::yield();
    worker.reset(); // terminates, serves the queue, joins
    SUCCEED();
}
