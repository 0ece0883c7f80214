#include "core/parallel.hpp"

#include "core/memory.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace tanvo {

namespace {

// Threads a call starts at most, and the pool keeps waiting at most, per core.
constexpr unsigned kThreadsPerCore = 4;

// Threads kept waiting between calls. A thread started afresh is queued on its parent's core
// and often runs only when the parent blocks or the scheduler next balances the cores: on a
// 2-core VM it started 2 ms late in most of 50 tries, while a waiting thread, woken, ran within
// about 30 µs on the idle core. Calls of a few milliseconds then gained nothing from threads.
class ThreadPool {
public:
    // Runs `task` on a waiting thread, or on a new one when none waits, then `done` once the
    // thread waits again: a caller that `done` wakes finds it waiting for its next task, where a
    // thread still on its way back made the pool start another. Throws std::system_error when no
    // thread can be started; neither function may throw.
    void run(std::function<void()> task, std::function<void()> done) {
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
            fresh->done = std::move(done);
            Waiting* const waiting_thread = fresh.get();
            start_thread([this, waiting_thread] { serve(waiting_thread); }).detach();
            fresh.release();  // owned by its thread from here
            return;
        }
        {
            const std::lock_guard lock(waiting->mutex);
            waiting->task = std::move(task);
            waiting->done = std::move(done);
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
        std::function<void()> done;
    };

    void serve(Waiting* self) {
        for (;;) {
            std::function<void()> task, done;
            {
                std::unique_lock lock(self->mutex);
                self->wake.wait(lock, [self] { return bool(self->task); });
                task = std::move(self->task);
                done = std::move(self->done);
                self->task = nullptr;
                self->done = nullptr;
            }
            task();
            task = nullptr;
            bool waits = false;
            {
                const std::lock_guard lock(mutex_);
                // Beyond a few threads per core the rest are started again when needed.
                if (idle_.size() < std::size_t(thread_limit())) {
                    try {
                        idle_.push_back(self);
                        waits = true;
                    } catch (const std::bad_alloc&) {
                    }
                }
            }
            done();
            if (!waits) break;
        }
        delete self;
    }

    std::mutex mutex_;
    std::vector<Waiting*> idle_;
};

}  // namespace

std::thread start_thread(std::function<void()> body) {
    if (memory_room(kThreadRoom) < kThreadRoom) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread([body = std::move(body)] {
        // The runtime's exception state lives in its thread-local storage, which the C library
        // allocates on first use: here, while there is room, not when a failure is thrown.
        (void)std::uncaught_exceptions();
        body();
    });
}

unsigned available_threads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return unsigned(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

unsigned thread_limit() { return kThreadsPerCore * available_threads(); }

BackgroundTask::BackgroundTask(std::function<void()> task) {
    // The task signals under the lock, so that this object outlives its last touch of it.
    ThreadPool::instance().run(std::move(task), [this] {
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

void run_leavable(std::function<void()> task, const std::function<void()>& wait_point) {
    if (!wait_point) return task();
    // Shared with the helper, which may outlive the caller's wait.
    struct Run {
        std::mutex mutex;
        std::condition_variable finished_signal;
        bool finished = false;
        std::exception_ptr failure;
    };
    const auto run = std::make_shared<Run>();
    auto guarded = [run, task]() noexcept {
        try {
            task();
        } catch (...) {
            run->failure = std::current_exception();
        }
    };
    try {
        ThreadPool::instance().run(guarded, [run] {
            const std::lock_guard lock(run->mutex);
            run->finished = true;
            run->finished_signal.notify_all();
        });
    } catch (const std::system_error&) {
        return task();
    }
    for (;;) {
        {
            std::unique_lock lock(run->mutex);
            if (run->finished_signal.wait_for(lock, std::chrono::milliseconds(10), [&run] { return run->finished; }))
                break;
        }
        wait_point();
    }
    if (run->failure) std::rethrow_exception(run->failure);
}

namespace {

// What the threads of one parallel_chunks call share. The call waits until every thread it
// dispatched has left, that is, waits in the pool again, ready for the call's next step.
struct ChunkRun {
    using Work = std::function<void(std::size_t, std::size_t, unsigned)>;
    ChunkRun(std::size_t count, std::size_t chunk, const std::stop_token& stop, const Work& work)
        : count(count), chunk(chunk), chunks((count + chunk - 1) / chunk), stop(stop), work(work) {}

    // A thread is to take chunks: take(), then leave() once it waits again.
    void dispatched() {
        const std::lock_guard guard(lock);
        ++busy;
    }
    // Takes chunks until none is left or one has failed.
    void take(unsigned worker) {
        try {
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
    }
    void leave() {
        const std::lock_guard guard(lock);
        if (--busy == 0) idle.notify_all();
    }
    void fail(std::exception_ptr failure) {
        const std::lock_guard guard(lock);
        if (!first_failure) first_failure = failure;
        failed = true;
    }
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
    for (unsigned worker = 1; worker < threads; ++worker) {
        shared->dispatched();
        try {
            ThreadPool::instance().run([shared, worker] { shared->take(worker); }, [shared] { shared->leave(); });
        } catch (const std::system_error&) {
            // No thread could be started: the threads running so far do the work.
            shared->leave();
            break;
        }
    }
    shared->dispatched();
    shared->take(0);
    shared->leave();
    shared->wait_for_takers();
    if (shared->first_failure) std::rethrow_exception(shared->first_failure);
}

void fault_in(void* data, std::size_t bytes, unsigned threads, const std::stop_token& stop) {
    constexpr std::size_t kPiece = std::size_t(4) << 20, kPage = std::size_t(4) << 10;
    volatile char* const first = static_cast<char*>(data);
    parallel_chunks((bytes + kPiece - 1) / kPiece, 1, threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t piece = begin; piece < end; ++piece) {
            stop_point(stop);
            const std::size_t from = piece * kPiece, to = std::min(bytes, from + kPiece);
            for (std::size_t at = from; at < to; at += kPage) first[at] = 0;
            first[to - 1] = 0;
        }
    });
}

}  // namespace tanvo
