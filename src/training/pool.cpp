#include "training/pool.hpp"

#include <algorithm>
#include <limits>

#include <sched.h>

namespace corvane {

namespace {

// The failure index of a poll that threw: after every task, so that a task's own failure wins.
constexpr std::size_t poll_failure = std::numeric_limits<std::size_t>::max();

// How long a thread spins for the next job, or for the others to finish, before it sleeps.
constexpr std::chrono::microseconds spin_time{50};

// Spins until done() or spin_time has passed; true when done() became true.
template <class Done>
bool spin_until(Done done) {
    const auto until = std::chrono::steady_clock::now() + spin_time;
    for (int round = 0;; ++round) {
        if (done()) return true;
        if ((round & 63) == 63 && std::chrono::steady_clock::now() >= until) return false;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

}  // namespace

std::int32_t available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<std::int32_t>(hardware) : 1;
}

WorkerPool::WorkerPool(std::int32_t workers) {
    const std::int32_t extra = workers > 1 ? workers - 1 : 0;
    threads_.reserve(static_cast<std::size_t>(extra));
    try {
        for (std::int32_t i = 0; i < extra; ++i) threads_.emplace_back([this] { work_loop(); });
    } catch (...) {
        // A thread that could not be started: stop those that were, then report the failure.
        stop();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

void WorkerPool::set_poll(std::function<void()> poll, std::chrono::milliseconds interval) {
    poll_ = std::move(poll);
    poll_interval_ = interval;
}

bool WorkerPool::poll_due() const {
    return poll_ && std::chrono::steady_clock::now() - last_poll_ >= poll_interval_;
}

void WorkerPool::poll_now(std::unique_lock<std::mutex>& lock) {
    // Called by the calling thread with the lock held; the poll itself runs without it.
    if (!poll_ || failure_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < poll_interval_) return;
    last_poll_ = now;
    lock.unlock();
    std::exception_ptr thrown;
    try {
        poll_();
    } catch (...) {
        thrown = std::current_exception();
    }
    lock.lock();
    if (thrown && !failure_) {
        failure_ = thrown;
        failed_index_ = poll_failure;
    }
}

void WorkerPool::take_tasks(bool caller) {
    // Called with mutex_ held; returns with it held.
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    // Indices are handed out in order, so once a task failed every one not yet started comes
    // after it and is skipped; those already running finish, and the lowest failure wins.
    while (next_ < count_ && !failure_) {
        // Guided scheduling: a share of what is left, so that short tasks do not each take the
        // lock, and the last ones still spread over the threads.
        const std::size_t share = (count_ - next_) / (4 * static_cast<std::size_t>(size()));
        const std::size_t first = next_, last = first + std::max<std::size_t>(1, share);
        next_ = last;
        const std::function<void(std::size_t)>& task = *task_;
        lock.unlock();
        std::exception_ptr thrown;
        std::size_t i = first;
        try {
            for (; i < last; ++i) {
                task(i);
                // The caller looks for an interrupt between its tasks, not only between shares.
                if (caller && poll_due()) {
                    lock.lock();
                    poll_now(lock);
                    const bool stop = failure_ != nullptr;
                    lock.unlock();
                    if (stop) break;
                }
            }
        } catch (...) {
            thrown = std::current_exception();
        }
        lock.lock();
        if (thrown && (!failure_ || i < failed_index_)) {
            failure_ = thrown;
            failed_index_ = i;
        }
        if (caller) poll_now(lock);
    }
    lock.release();
}

void WorkerPool::work_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t seen = job_;
    for (;;) {
        auto wanted = [&] { return stopping_.load() || job_.load() != seen; };
        if (!wanted()) {
            lock.unlock();
            spin_until(wanted);
            lock.lock();
            ++sleeping_workers_;
            start_.wait(lock, wanted);
            --sleeping_workers_;
        }
        if (stopping_) return;
        seen = job_;
        ++running_;
        lock.release();  // take_tasks adopts the held lock
        take_tasks(false);
        lock = std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
        if (--running_ == 0 && caller_sleeping_) done_.notify_all();
    }
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = &task;
    count_ = count;
    next_ = 0;
    failure_ = nullptr;
    ++job_;
    ++running_;
    if (count > 1 && sleeping_workers_ > 0) start_.notify_all();
    lock.release();
    take_tasks(true);
    lock = std::unique_lock<std::mutex>(mutex_, std::adopt_lock);
    --running_;
    // Wait for the threads still inside a task of this job, polling meanwhile.
    if (running_ != 0) {
        lock.unlock();
        spin_until([&] { return running_.load() == 0; });
        lock.lock();
    }
    while (running_ != 0) {
        caller_sleeping_ = true;
        if (poll_) {
            done_.wait_for(lock, poll_interval_);
            caller_sleeping_ = false;
            poll_now(lock);
        } else {
            done_.wait(lock);
        }
    }
    caller_sleeping_ = false;
    task_ = nullptr;
    count_ = 0;
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    lock.unlock();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace corvane
