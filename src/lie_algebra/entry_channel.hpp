// Coefficient entries passed from a thread that lists them to the thread that uses them, so
// that a map is used while its later pairs are still being computed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "dense/interrupt.hpp"
#include "dense/pages.hpp"
#include "lie_algebra/coefficients.hpp"

namespace tanvo {

// The listing thread hands its runs to the channel as to any sink and never waits; the using
// thread passes them on, in the same order, to its own sink. Runs are copied into blocks of
// mapped pages that go back to the system once used, so the listing thread may run ahead by
// the whole map: its entries take far less memory than the objects a user makes of them.
class EntryChannel final : public CoefficientSink {
public:
    // The listing thread's side.
    void expect(std::size_t at_most) override { post({Event::expect, at_most, {}, nullptr}); }
    void take(std::span<const CoefficientEntry> entries) override {
        if (entries.empty()) return;
        Block block(entries.begin(), entries.end());
        post({Event::take, 0, std::move(block), nullptr});
    }
    void restart() override { post({Event::restart, 0, {}, nullptr}); }
    // The last call of the listing thread: the map is complete, or `failure` stopped it.
    void close(std::exception_ptr failure) noexcept {
        try {
            post({Event::close, 0, {}, failure});
        } catch (...) {
            // No memory for the last event: the using thread still sees the channel closed.
            const std::lock_guard lock(mutex_);
            closed_without_event_ = failure ? failure : std::make_exception_ptr(std::bad_alloc());
            changed_.notify_all();
        }
    }

    // The using thread's side: passes everything to `sink` until the channel is closed, and
    // rethrows the failure that closed it. `interrupt` is called at least every few
    // milliseconds while nothing has arrived.
    void pass_to(CoefficientSink& sink, Interrupt interrupt) {
        for (;;) {
            Event event = next(interrupt);
            switch (event.kind) {
                case Event::expect: sink.expect(event.count); break;
                case Event::take: sink.take(event.entries); break;
                case Event::restart: sink.restart(); break;
                case Event::close:
                    if (event.failure) std::rethrow_exception(event.failure);
                    return;
            }
        }
    }

private:
    using Block = std::vector<CoefficientEntry, PageAllocator<CoefficientEntry, (std::size_t(64) << 10)>>;
    struct Event {
        enum Kind { expect, take, restart, close } kind;
        std::size_t count;
        Block entries;
        std::exception_ptr failure;
    };

    void post(Event event) {
        {
            const std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_one();
    }

    Event next(Interrupt interrupt) {
        std::unique_lock lock(mutex_);
        while (events_.empty()) {
            if (closed_without_event_) std::rethrow_exception(closed_without_event_);
            if (changed_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !events_.empty(); })) break;
            lock.unlock();
            interrupt();
            lock.lock();
        }
        Event event = std::move(events_.front());
        events_.pop_front();
        return event;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Event> events_;
    std::exception_ptr closed_without_event_;
};

}  // namespace tanvo
