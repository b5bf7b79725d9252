#pragma once
// A pool of worker threads for bulk work that the GUI thread consumes in
// order: jobs are queued first in, first out; the thread that needs a result
// waits for that job, never running it itself (it has its window to keep
// alive), except with no workers: then every job runs there, as plain calls.
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TWorkerPool {
public:
    struct TJob;
    using TTicket = std::shared_ptr<TJob>;

    // threads < 0: one per core; 0: none.
    explicit TWorkerPool(int threads = -1);
    // Drops the jobs no worker has started and waits for the running ones.
    ~TWorkerPool();
    TWorkerPool(const TWorkerPool&) = delete;
    TWorkerPool& operator=(const TWorkerPool&) = delete;

    int Threads() const { return static_cast<int>(workers_.size()); }
    static int Cores();

    TTicket Submit(std::function<void()> job);
    // Returns when the job has run; raises what it raised. While a worker
    // runs it, idle is called at least every sliceMs milliseconds (it
    // decides itself whether it has anything to do).
    void Wait(const TTicket& ticket, const std::function<void()>& idle, int sliceMs = 10);

private:
    void Work();
    static void Run(TJob& job) noexcept;

    std::mutex lock_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<TTicket> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
