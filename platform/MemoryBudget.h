#pragma once
// A number of bytes shared by worker threads: each takes what it is about to
// hold before it allocates and gives it back when done, so that N workers
// never hold more than the budget together. A request larger than the whole
// budget waits until nobody holds anything, then runs alone. Requests are
// served in the order they are made, so a large one is not starved by a
// stream of small ones.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class TMemoryBudget {
public:
    explicit TMemoryBudget(int64_t total) : total_(total) {}
    TMemoryBudget(const TMemoryBudget&) = delete;
    TMemoryBudget& operator=(const TMemoryBudget&) = delete;

    int64_t Total() const { return total_; }
    int64_t InUse() const;
    // The most held at once since the budget was made.
    int64_t Peak() const;

    // Bytes taken for as long as the lease lives.
    class TLease {
    public:
        TLease(TMemoryBudget& budget, int64_t bytes);
        ~TLease();
        TLease(const TLease&) = delete;
        TLease& operator=(const TLease&) = delete;
        int64_t Bytes() const { return bytes_; }
        // Gives back what is held, then waits for bytes (in turn, as a new
        // request): nothing is held while it waits, so two growing leases
        // cannot wait for each other.
        void Grow(int64_t bytes);

    private:
        TMemoryBudget& budget_;
        int64_t bytes_ = 0;
    };

private:
    void Take(int64_t bytes);
    void Give(int64_t bytes);

    const int64_t total_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    int64_t used_ = 0;
    int64_t holders_ = 0;
    int64_t peak_ = 0;
    uint64_t nextTicket_ = 0;
    uint64_t serving_ = 0;
};
