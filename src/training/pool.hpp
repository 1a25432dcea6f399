// A small pool of threads for the work of one evolution run: made when the run starts, joined
// when it ends, so no thread outlives the call (a fork() after a run, or the interpreter's exit,
// finds none).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane {

// The cores this process may run on (its CPU affinity), or the hardware's count where that
// cannot be asked; at least 1.
std::int32_t available_cores();

class WorkerPool {
public:
    // `workers` threads in all, the caller's included: workers - 1 are started here (none for 1).
    explicit WorkerPool(std::int32_t workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::int32_t size() const { return static_cast<std::int32_t>(threads_.size()) + 1; }

    // Called on the calling thread between its tasks and while it waits for the other threads,
    // at most about every `interval`: a pending interrupt can stop a long job. When it throws,
    // no further task starts, the running ones finish, and run() rethrows it (unless a task
    // failed: then that failure).
    void set_poll(std::function<void()> poll, std::chrono::milliseconds interval);

    // Calls task(i) for every i in 0 .. count-1, spread over the threads (the caller works too),
    // and returns when all are done. Which thread runs which i is left to chance, so a task must
    // depend on nothing but i. When tasks throw, the exception of the lowest i is rethrown here
    // once every thread has stopped; the tasks not started by then are skipped.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void stop();
    void work_loop();
    void take_tasks(bool caller);
    void poll_now(std::unique_lock<std::mutex>& lock);
    bool poll_due() const;

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    // The current job, guarded by mutex_ (next_ is taken under it too: tasks are coarse).
    // job_, running_ and stopping_ change only under mutex_, but are also read without it by
    // threads that spin a little before they sleep: a generation runs several short jobs in a
    // row, and waking a sleeping thread costs more than many of their tasks.
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::size_t count_ = 0, next_ = 0;
    std::atomic<std::size_t> running_{0};
    std::atomic<std::uint64_t> job_{0};
    std::atomic<bool> stopping_{false};
    std::size_t sleeping_workers_ = 0;
    bool caller_sleeping_ = false;
    std::size_t failed_index_ = 0;
    std::exception_ptr failure_;
    std::function<void()> poll_;
    std::chrono::milliseconds poll_interval_{20};
    std::chrono::steady_clock::time_point last_poll_{};
};

}  // namespace corvane
