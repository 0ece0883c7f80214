// Work split over threads in chunks taken in turn, stoppable from outside through a
// std::stop_token: the first exception of any chunk stops the others and is rethrown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stop_token>

namespace tanvo {

// Thrown by work that saw its stop token requested.
struct Cancelled {};

inline void stop_point(const std::stop_token& stop) {
    if (stop.stop_requested()) throw Cancelled{};
}

// The number of threads to use when the caller names none: the cores this process may run on.
unsigned available_threads();

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
