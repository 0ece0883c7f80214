#include "dense/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace tanvo {

namespace {

// Threads kept waiting between calls. A thread started afresh is queued on its parent's core
// and often runs only when the parent blocks or the scheduler next balances the cores: on a
// 2-core VM it started 2 ms late in most of 50 tries, while a waiting thread, woken, ran within
// about 30 µs on the idle core. Calls of a few milliseconds then gained nothing from threads.
class ThreadPool {
public:
    // Runs `task` on a waiting thread, or on a new one when none waits. Throws std::system_error
    // when no thread can be started; `task` must not throw.
    void run(std::function<void()> task) {
        Waiting* waiting = nullptr;
        {
            const std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                waiting = idle_.back();
                idle_.pop_back();
            }
        }
        if (!waiting) {
            auto fresh = std::make_unique<Waiting>();
            fresh->task = std::move(task);
            std::thread(&ThreadPool::serve, this, fresh.get()).detach();
            fresh.release();  // owned by its thread from here
            return;
        }
        {
            const std::lock_guard lock(waiting->mutex);
            waiting->task = std::move(task);
        }
        waiting->wake.notify_one();
    }

    // In a child of fork() only the forking thread exists: the pool starts empty there (the
    // parent's records are left as they are, their mutexes possibly held by threads now gone).
    static void reset_after_fork() noexcept { new (&instance()) ThreadPool; }

    static ThreadPool& instance() noexcept {
        // Never destroyed: its threads wait on it until the process ends.
        alignas(ThreadPool) static unsigned char storage[sizeof(ThreadPool)];
        static ThreadPool* const pool = [] {
            ThreadPool* created = new (storage) ThreadPool;
            pthread_atfork(nullptr, nullptr, &ThreadPool::reset_after_fork);
            return created;
        }();
        return *pool;
    }

private:
    struct Waiting {
        std::mutex mutex;
        std::condition_variable wake;
        std::function<void()> task;  // empty while waiting
    };

    void serve(Waiting* self) {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(self->mutex);
                self->wake.wait(lock, [self] { return bool(self->task); });
                task = std::move(self->task);
                self->task = nullptr;
            }
            task();
            task = nullptr;
            const std::lock_guard lock(mutex_);
            // Beyond a few threads per core the rest are started again when needed.
            if (idle_.size() >= 4 * std::size_t(available_threads())) break;
            try {
                idle_.push_back(self);
            } catch (const std::bad_alloc&) {
                break;
            }
        }
        delete self;
    }

    std::mutex mutex_;
    std::vector<Waiting*> idle_;
};

}  // namespace

unsigned available_threads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return unsigned(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

BackgroundTask::BackgroundTask(std::function<void()> task) {
    // The task signals under the lock, so that this object outlives its last touch of it.
    ThreadPool::instance().run([this, task = std::move(task)] {
        task();
        const std::lock_guard lock(mutex_);
        finished_ = true;
        finished_signal_.notify_all();
    });
}

bool BackgroundTask::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout == std::chrono::milliseconds::max()) {
        finished_signal_.wait(lock, [this] { return finished_; });
        return true;
    }
    return finished_signal_.wait_for(lock, timeout, [this] { return finished_; });
}

void parallel_chunks(std::size_t count, std::size_t chunk, unsigned threads,
                     const std::stop_token& stop,
                     const std::function<void(std::size_t, std::size_t, unsigned)>& work) {
    if (count == 0) return;
    chunk = std::max<std::size_t>(chunk, 1);
    const std::size_t chunks = (count + chunk - 1) / chunk;
    threads = unsigned(std::clamp<std::size_t>(threads, 1, chunks));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_failure;
    std::mutex failure_lock;

    auto run = [&](unsigned worker) {
        try {
            for (;;) {
                if (failed.load(std::memory_order_relaxed)) return;
                stop_point(stop);
                const std::size_t index = next.fetch_add(1, std::memory_order_relaxed);
                if (index >= chunks) return;
                const std::size_t begin = index * chunk;
                work(begin, std::min(count, begin + chunk), worker);
            }
        } catch (...) {
            std::lock_guard guard(failure_lock);
            if (!first_failure) first_failure = std::current_exception();
            failed = true;
        }
    };

    // The helpers count down under the lock, so that this call's frame outlives their last
    // touch of it.
    std::mutex done_lock;
    std::condition_variable done;
    unsigned running = 0;
    auto wait_for_helpers = [&] {
        std::unique_lock lock(done_lock);
        done.wait(lock, [&] { return running == 0; });
    };
    try {
        for (unsigned worker = 1; worker < threads; ++worker) {
            {
                const std::lock_guard lock(done_lock);
                ++running;
            }
            try {
                ThreadPool::instance().run([&, worker] {
                    run(worker);
                    const std::lock_guard lock(done_lock);
                    if (--running == 0) done.notify_all();
                });
            } catch (...) {
                const std::lock_guard lock(done_lock);
                --running;
                throw;
            }
        }
    } catch (...) {
        failed = true;  // could not start a thread: stop the ones that did, then report
        wait_for_helpers();
        throw;
    }
    run(0);
    wait_for_helpers();
    if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace tanvo
