// Rows 0, 1, … of a computation taken in order by one thread, computed ahead of it by helper
// threads (and by the taking thread itself while the row it needs is not ready), at most a
// window of rows ahead, so that the memory held stays bounded.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"

namespace tanvo {

template <class Row>
class RowsAhead {
public:
    // fill(index, row, worker, check) computes row `index` into `row` on worker `worker` (0 is
    // the taking thread, 1 … helpers the others) and calls check() every so often.
    using Fill = std::function<void(std::size_t index, Row& row, unsigned worker, const std::function<void()>& check)>;

    // `interrupt` is called only on the taking thread: while it waits for a helper, and through
    // check() while it computes. A row whose computation fails on any thread rethrows its
    // failure when taken, so failures surface in row order whatever the number of helpers.
    RowsAhead(std::size_t count, std::size_t window, unsigned helpers, Fill fill, Interrupt interrupt)
        : count_(count), window_(std::max<std::size_t>(1, window)), fill_(std::move(fill)),
          interrupt_(interrupt), slots_(window_) {
        try {
            for (unsigned worker = 1; worker <= helpers; ++worker) helpers_.push_back(start_thread([this, worker] { help(worker); }));
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the taking thread computes what they do not.
        }
    }
    RowsAhead(const RowsAhead&) = delete;
    RowsAhead& operator=(const RowsAhead&) = delete;
    ~RowsAhead() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& helper : helpers_) helper.join();
    }

    // Row `index`, for index = 0, 1, … in turn; it stays valid until the next call.
    const Row& take(std::size_t index) {
        std::unique_lock lock(mutex_);
        taken_ = index;  // every earlier row is done with: its slot may be filled again
        changed_.notify_all();
        Slot& slot = slots_[index % window_];
        while (!(slot.ready && slot.index == index)) {
            if (next_ < count_ && next_ < taken_ + window_) {
                const std::size_t claimed = claim();
                lock.unlock();
                compute(claimed, 0);
                lock.lock();
                continue;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(5));
            lock.unlock();
            interrupt_();
            lock.lock();
        }
        if (slot.failure) std::rethrow_exception(slot.failure);
        return slot.row;
    }

private:
    struct Slot {
        std::size_t index = 0;
        bool ready = false;
        std::exception_ptr failure;
        Row row;
    };

    // With the lock held. The slot of the row window_ places before is free: that row is taken.
    std::size_t claim() {
        const std::size_t index = next_++;
        Slot& slot = slots_[index % window_];
        slot.index = index;
        slot.ready = false;
        return index;
    }

    void compute(std::size_t index, unsigned worker) {
        Slot& slot = slots_[index % window_];
        slot.failure = nullptr;
        bool interrupted = false;
        const std::function<void()> check = [&] {
            if (worker != 0) {
                if (stopping_.load(std::memory_order_relaxed)) throw Cancelled{};
                return;
            }
            try {
                interrupt_();
            } catch (...) {
                interrupted = true;
                throw;
            }
        };
        try {
            fill_(index, slot.row, worker, check);
        } catch (...) {
            if (interrupted) throw;  // answered at once, not when the row is taken
            slot.failure = std::current_exception();
        }
        {
            const std::lock_guard lock(mutex_);
            slot.ready = true;
        }
        changed_.notify_all();
    }

    void help(unsigned worker) {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (stopping_ || next_ >= count_) return;
            if (next_ >= taken_ + window_) {
                changed_.wait(lock);
                continue;
            }
            const std::size_t claimed = claim();
            lock.unlock();
            compute(claimed, worker);
            lock.lock();
        }
    }

    const std::size_t count_, window_;
    const Fill fill_;
    const Interrupt interrupt_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;   // the first row nobody has claimed
    std::size_t taken_ = 0;  // the row the taking thread holds
    std::atomic<bool> stopping_ = false;  // set with the lock held
    std::vector<std::thread> helpers_;
};

}  // namespace tanvo
