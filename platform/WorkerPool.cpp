#include "WorkerPool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Workers give way to the thread that waits for them: when both want a
// core, the window's painting and the hand-over of the next result come
// first, and a worker's wake-up never delays the window.
constexpr int kWorkerNiceness = 5;

void LowerThisThreadsPriority()
{
#if defined(__linux__)
    // The nice value belongs to each thread here, not to the process.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, tid);
    if (errno == 0)
        setpriority(PRIO_PROCESS, tid, std::min(current + kWorkerNiceness, 19));
#endif
}

} // namespace

struct TWorkerPool::TJob {
    enum class State { Queued, Running, Done } state = State::Queued;
    std::function<void()> body;
    std::exception_ptr error;
};

int TWorkerPool::Cores()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

TWorkerPool::TWorkerPool(int threads)
{
    const int n = threads < 0 ? Cores() : threads;
    workers_.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        workers_.emplace_back([this] { Work(); });
}

TWorkerPool::~TWorkerPool()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        queue_.clear();
    }
    queued_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void TWorkerPool::Run(TJob& job) noexcept
{
    try {
        job.body();
    } catch (...) {
        job.error = std::current_exception();
    }
    job.body = nullptr; // what the job held goes now, not with the ticket
}

void TWorkerPool::Work()
{
    LowerThisThreadsPriority();
    std::unique_lock guard(lock_);
    for (;;) {
        queued_.wait(guard, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        TTicket job = std::move(queue_.front());
        queue_.pop_front();
        job->state = TJob::State::Running;
        guard.unlock();
        Run(*job);
        guard.lock();
        job->state = TJob::State::Done;
        // Told after letting go, so the waiter does not wake to a held lock.
        guard.unlock();
        finished_.notify_all();
        guard.lock();
    }
}

TWorkerPool::TTicket TWorkerPool::Submit(std::function<void()> job)
{
    auto ticket = std::make_shared<TJob>();
    ticket->body = std::move(job);
    if (workers_.empty())
        return ticket; // runs when waited for
    {
        std::lock_guard guard(lock_);
        queue_.push_back(ticket);
    }
    queued_.notify_one();
    return ticket;
}

void TWorkerPool::Wait(const TTicket& ticket, const std::function<void()>& idle, int sliceMs)
{
    std::unique_lock guard(lock_);
    if (workers_.empty() && ticket->state == TJob::State::Queued) {
        ticket->state = TJob::State::Running;
        guard.unlock();
        Run(*ticket);
        guard.lock();
        ticket->state = TJob::State::Done;
    }
    while (ticket->state != TJob::State::Done) {
        finished_.wait_for(guard, std::chrono::milliseconds(sliceMs));
        if (ticket->state != TJob::State::Done && idle) {
            guard.unlock();
            idle();
            guard.lock();
        }
    }
    if (ticket->error)
        std::rethrow_exception(ticket->error);
}
