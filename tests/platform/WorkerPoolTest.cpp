#include "platform/WorkerPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <thread>

TEST(WorkerPool, ResultsAndErrorsComeBackInTheOrderAsked)
{
    for (int threads : {0, 1, 3}) {
        SCOPED_TRACE(threads);
        TWorkerPool pool(threads);
        EXPECT_EQ(pool.Threads(), threads);
        std::vector<int> results(50, -1);
        std::vector<TWorkerPool::TTicket> tickets;
        for (int i = 0; i < 50; ++i)
            tickets.push_back(pool.Submit([&results, i] {
                if (i == 17)
                    throw std::runtime_error("job 17 failed");
                results[static_cast<size_t>(i)] = i * i;
            }));
        for (int i = 0; i < 50; ++i) {
            if (i == 17) {
                try {
                    pool.Wait(tickets[17], nullptr);
                    ADD_FAILURE() << "no error";
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ(e.what(), "job 17 failed");
                }
                continue;
            }
            pool.Wait(tickets[static_cast<size_t>(i)], nullptr);
            EXPECT_EQ(results[static_cast<size_t>(i)], i * i);
        }
    }
}

TEST(WorkerPool, WithoutWorkersJobsRunOnTheWaitingThread)
{
    TWorkerPool pool(0);
    std::thread::id ranOn;
    auto ticket = pool.Submit([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, std::thread::id()); // not before it is waited for
    pool.Wait(ticket, nullptr);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(WorkerPool, WaitingCallsIdleWhileTheJobRuns)
{
    TWorkerPool pool(1);
    std::atomic<bool> release{false};
    std::atomic<bool> started{false};
    auto ticket = pool.Submit([&] {
        started = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!started)
        std::this_thread::yield();
    int idles = 0;
    pool.Wait(ticket, [&] {
        if (++idles == 3)
            release = true;
    }, 1);
    EXPECT_GE(idles, 3);
}

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

TEST(WorkerPool, WorkersRunBelowTheWaitingThreadsPriority)
{
    const auto niceOf = [] {
        errno = 0;
        const int n = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        EXPECT_EQ(errno, 0);
        return n;
    };
    const int mine = niceOf();
    TWorkerPool pool(2);
    std::vector<int> seen(4, mine);
    std::vector<TWorkerPool::TTicket> tickets;
    for (size_t i = 0; i < seen.size(); ++i)
        tickets.push_back(pool.Submit([&seen, &niceOf, i] { seen[i] = niceOf(); }));
    for (const auto& t : tickets)
        pool.Wait(t, nullptr);
    for (int n : seen)
        EXPECT_GT(n, std::min(mine, 18)); // lower priority, unless already the lowest
    EXPECT_EQ(niceOf(), mine); // the waiting thread keeps its own
}
#endif
