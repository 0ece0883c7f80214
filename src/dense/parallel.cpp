#include "dense/parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tanvo {

unsigned available_threads() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return unsigned(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
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

    std::vector<std::thread> helpers;
    helpers.reserve(threads - 1);
    try {
        for (unsigned worker = 1; worker < threads; ++worker) helpers.emplace_back(run, worker);
    } catch (...) {
        failed = true;  // could not start a thread: stop the ones that did, then report
        for (std::thread& helper : helpers) helper.join();
        throw;
    }
    run(0);
    for (std::thread& helper : helpers) helper.join();
    if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace tanvo
