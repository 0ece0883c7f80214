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

// Calls work(begin, end, worker) for consecutive ranges of at most `chunk` indices covering
// [0, count), on up to `threads` threads (worker in [0, threads)); the calling thread is one
// of them. Ranges are handed out in increasing order; which worker takes which is not fixed.
void parallel_chunks(std::size_t count, std::size_t chunk, unsigned threads,
                     const std::stop_token& stop,
                     const std::function<void(std::size_t begin, std::size_t end, unsigned worker)>& work);

}  // namespace tanvo
