// Work split over threads in chunks taken in turn, stoppable from outside through a
// std::stop_token: the first exception of any chunk stops the others and is rethrown.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

namespace tanvo {

// Thrown by work that saw its stop token requested.
struct Cancelled {};

// While it lives, the stop points that its thread reaches call `poll` at most once per
// `interval`: a caller that runs stoppable work on its own thread checks there whether to
// request the stop (the extension takes Ctrl-C that way). Other threads' stop points do not poll.
class StopPolling {
public:
    StopPolling(std::function<void()> poll, std::chrono::steady_clock::duration interval)
        : poll_(std::move(poll)), interval_(interval), next_(std::chrono::steady_clock::now() + interval),
          previous_(current_) {
        current_ = this;
    }
    StopPolling(const StopPolling&) = delete;
    StopPolling& operator=(const StopPolling&) = delete;
    ~StopPolling() { current_ = previous_; }

    static void poll_if_due() {
        StopPolling* const self = current_;
        if (!self) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < self->next_) return;
        self->next_ = now + self->interval_;
        self->poll_();
    }

private:
    static inline thread_local StopPolling* current_ = nullptr;
    std::function<void()> poll_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point next_;
    StopPolling* previous_;
};

inline void stop_point(const std::stop_token& stop) {
    StopPolling::poll_if_due();
    if (stop.stop_requested()) throw Cancelled{};
}

// The number of threads to use when the caller names none: the cores this process may run on.
unsigned available_threads();

// The most threads a call starts: beyond a few per core they only cost their stacks and
// start-up (results never depend on the count).
unsigned thread_limit();

// `requested` within [1, thread_limit()].
inline unsigned worker_count(std::uint64_t requested) {
    return unsigned(std::clamp<std::uint64_t>(requested, 1, thread_limit()));
}

// What a started thread may take beside its work's buffers: its stack (8 MiB by default), the C
// heap's arena of its own (64 MiB of address space) and a margin. Below this much room under
// an address-space limit, no thread is started.
inline constexpr std::uint64_t kThreadRoom = std::uint64_t(96) << 20;

// Starts `body` on a new thread, which first takes its thread-local storage (the C++ runtime's
// included) so that no later step allocates it: the C library ends the whole process when such
// a late allocation fails. Throws std::system_error, starting nothing, when the process lacks
// the room for a thread's stack and first allocations (under an address-space limit).
std::thread start_thread(std::function<void()> body);

// A task run on another thread while the caller goes on: one of the threads kept waiting
// between calls, or a new one. The destructor returns once the task has finished.
class BackgroundTask {
public:
    // Throws std::system_error when no thread can be started. `task` must not throw.
    explicit BackgroundTask(std::function<void()> task);
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;
    ~BackgroundTask() { wait_for(std::chrono::milliseconds::max()); }

    // Whether the task finished within `timeout`.
    bool wait_for(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable finished_signal_;
    bool finished_ = false;
};

// Runs `task`, a step that has no stop points of its own (one long LAPACK call), on a helper
// thread while the calling thread waits, calling `wait_point` every few milliseconds: when that
// throws, the caller leaves with its exception at once and the task runs on to its end unseen,
// so it must own everything it touches (capture by value or shared_ptr). Without a wait point,
// or when no thread can be started, the task runs on the calling thread. The task's own
// exception is rethrown to a caller that waited.
void run_leavable(std::function<void()> task, const std::function<void()>& wait_point);

// Calls work(begin, end, worker) for consecutive ranges of at most `chunk` indices covering
// [0, count), on up to `threads` threads (worker in [0, threads)); the calling thread is one
// of them, and the only one when no other can be started. Ranges are handed out in increasing
// order; which worker takes which is not fixed.
void parallel_chunks(std::size_t count, std::size_t chunk, unsigned threads,
                     const std::stop_token& stop,
                     const std::function<void(std::size_t begin, std::size_t end, unsigned worker)>& work);

// Faults in the pages of a fresh buffer a few megabytes at a time, on up to `threads` threads,
// with a stop point between pieces. Writes scattered over a buffer of hundreds of megabytes
// (a tensor's mirrored terms) otherwise fault it all in between two stop points: seconds where
// the system zeroes its pages slowly. The buffer's bytes are left unspecified.
void fault_in(void* data, std::size_t bytes, unsigned threads, const std::stop_token& stop);

}  // namespace tanvo
