// The shared memory budget: what is held together stays within it, a
// request larger than all of it runs alone, and requests go in turn.
#include "platform/MemoryBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(MemoryBudget, ThreadsTogetherNeverHoldMoreThanTheBudget)
{
    TMemoryBudget budget(100);
    std::atomic<int64_t> held{0}, most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                TMemoryBudget::TLease lease(budget, 20 + (t * 7 + i) % 30);
                const int64_t now = held += lease.Bytes();
                int64_t seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::yield();
                held -= lease.Bytes();
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_LE(most.load(), 100);
    EXPECT_LE(budget.Peak(), 100);
    EXPECT_GE(budget.Peak(), 49); // two at once did happen
    EXPECT_EQ(budget.InUse(), 0);
}

TEST(MemoryBudget, ARequestLargerThanTheBudgetWaitsAndRunsAlone)
{
    TMemoryBudget budget(100);
    auto small = std::make_unique<TMemoryBudget::TLease>(budget, 30);
    std::atomic<bool> started{false}, done{false};
    std::thread big([&] {
        started = true;
        TMemoryBudget::TLease lease(budget, 500);
        EXPECT_EQ(budget.InUse(), 500);
        done = true;
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done); // the small lease is still held
    small.reset();
    big.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(budget.Peak(), 500);
    EXPECT_EQ(budget.InUse(), 0);
}

TEST(MemoryBudget, GrowingGivesBackFirstSoTwoGrowingLeasesFinish)
{
    TMemoryBudget budget(100);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            TMemoryBudget::TLease lease(budget, 60);
            lease.Grow(90);
            EXPECT_EQ(lease.Bytes(), 90);
            lease.Grow(400);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(budget.InUse(), 0);
    EXPECT_EQ(budget.Peak(), 400);
}
