#include "dense/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
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

namespace {

// What the threads of one parallel_chunks call share, held by the helpers too: one that starts
// only after the call has returned (its core busy elsewhere meanwhile) finds every chunk taken
// and leaves without touching the call's work. The call waits only for the helpers that took
// part, never for one that has not started.
struct ChunkRun {
    using Work = std::function<void(std::size_t, std::size_t, unsigned)>;
    ChunkRun(std::size_t count, std::size_t chunk, const std::stop_token& stop, const Work& work)
        : count(count), chunk(chunk), chunks((count + chunk - 1) / chunk), stop(stop), work(work) {}

    // Takes chunks until none is left or one has failed.
    void take(unsigned worker) {
        {
            const std::lock_guard guard(lock);
            ++busy;
        }
        try {
            // Every chunk is taken, or `failed` set, before the call stops waiting: only then is
            // `work` gone.
            for (;;) {
                if (failed.load()) break;
                stop_point(stop);
                const std::size_t index = next.fetch_add(1);
                if (index >= chunks) break;
                const std::size_t begin = index * chunk;
                work(begin, std::min(count, begin + chunk), worker);
            }
        } catch (...) {
            fail(std::current_exception());
        }
        const std::lock_guard guard(lock);
        if (--busy == 0) idle.notify_all();
    }
    void fail(std::exception_ptr failure) {
        const std::lock_guard guard(lock);
        if (!first_failure) first_failure = failure;
        failed = true;
    }
    // Once this returns, no thread runs or will run a chunk.
    void wait_for_takers() {
        std::unique_lock guard(lock);
        idle.wait(guard, [this] { return busy == 0; });
    }

    const std::size_t count, chunk, chunks;
    const std::stop_token stop;
    const Work& work;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::condition_variable idle;
    unsigned busy = 0;
    std::exception_ptr first_failure;
};

}  // namespace

void parallel_chunks(std::size_t count, std::size_t chunk, unsigned threads,
                     const std::stop_token& stop,
                     const std::function<void(std::size_t, std::size_t, unsigned)>& work) {
    if (count == 0) return;
    const auto shared = std::make_shared<ChunkRun>(count, std::max<std::size_t>(chunk, 1), stop, work);
    threads = unsigned(std::clamp<std::size_t>(threads, 1, shared->chunks));
    try {
        for (unsigned worker = 1; worker < threads; ++worker)
            ThreadPool::instance().run([shared, worker] { shared->take(worker); });
    } catch (...) {
        // Could not start a thread: stop the ones that did, then report.
        shared->failed = true;
        shared->wait_for_takers();
        throw;
    }
    shared->take(0);
    shared->wait_for_takers();
    if (shared->first_failure) std::rethrow_exception(shared->first_failure);
}

}  // namespace tanvo
