#include "platform/WorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
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
