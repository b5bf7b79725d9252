#include "MemoryBudget.h"

#include <algorithm>

int64_t TMemoryBudget::InUse() const
{
    std::lock_guard guard(lock_);
    return used_;
}

int64_t TMemoryBudget::Peak() const
{
    std::lock_guard guard(lock_);
    return peak_;
}

void TMemoryBudget::Take(int64_t bytes)
{
    bytes = std::max<int64_t>(bytes, 0);
    std::unique_lock guard(lock_);
    const uint64_t ticket = nextTicket_++;
    changed_.wait(guard, [&] { return ticket == serving_ && (used_ + bytes <= total_ || holders_ == 0); });
    ++serving_;
    used_ += bytes;
    ++holders_;
    peak_ = std::max(peak_, used_);
    // The next in turn may fit beside this one.
    changed_.notify_all();
}

void TMemoryBudget::Give(int64_t bytes)
{
    {
        std::lock_guard guard(lock_);
        used_ -= std::max<int64_t>(bytes, 0);
        --holders_;
    }
    changed_.notify_all();
}

TMemoryBudget::TLease::TLease(TMemoryBudget& budget, int64_t bytes) : budget_(budget), bytes_(std::max<int64_t>(bytes, 0))
{
    budget_.Take(bytes_);
}

TMemoryBudget::TLease::~TLease() { budget_.Give(bytes_); }

void TMemoryBudget::TLease::Grow(int64_t bytes)
{
    budget_.Give(bytes_);
    bytes_ = std::max<int64_t>(bytes, 0);
    budget_.Take(bytes_);
}
