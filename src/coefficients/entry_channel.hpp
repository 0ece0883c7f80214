// Coefficient entries passed from a thread that lists them to the thread that uses them, so
// that a map is used while its later pairs are still being computed.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/pages.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

// The listing thread hands its runs to the channel as to any sink and never waits; the using
// thread passes them on, in the same order, to its own sink. Runs are kept as a list keeps
// them (each i once for its entries, the rest in mapped pages that go back to the system once
// used), so the listing thread may run ahead by the whole map: its entries take far less
// memory than the objects a user makes of them.
class EntryChannel final : public CoefficientSink {
public:
    // The listing thread's side.
    void expect(std::size_t at_most) override { post({Event::expect, at_most, nullptr, {}, {}}); }
    void take(std::span<const CoefficientEntry> entries) override {
        if (entries.empty()) return;
        Event event{Event::take, 0, nullptr, {}, {}};
        event.terms.reserve(entries.size());
        for (std::size_t at = 0; at < entries.size(); ++at) {
            const CoefficientEntry& e = entries[at];
            if (event.runs.empty() || event.runs.back().i != e.i) event.runs.push_back({e.i, at});
            event.terms.push_back({std::uint32_t(e.j), std::uint32_t(e.k), e.c});
        }
        post(std::move(event));
    }
    void restart() override { post({Event::restart, 0, nullptr, {}, {}}); }
    // The last call of the listing thread: the map is complete, or `failure` stopped it.
    void close(std::exception_ptr failure) noexcept {
        try {
            post({Event::close, 0, failure, {}, {}});
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
                case Event::take: pass_entries(event, sink); break;
                case Event::restart: sink.restart(); break;
                case Event::close:
                    if (event.failure) std::rethrow_exception(event.failure);
                    return;
            }
        }
    }

private:
    // Entries [start, next run's start) have this i. Indices fit in 32 bits: see CoefficientList.
    struct Run {
        std::uint64_t i;
        std::size_t start;
    };
    struct Event {
        enum Kind { expect, take, restart, close } kind;
        std::size_t count;
        std::exception_ptr failure;
        std::vector<Run> runs;
        std::vector<CoefficientList::Term, PageAllocator<CoefficientList::Term, (std::size_t(64) << 10)>> terms;
    };

    // In pieces, so that the whole entries of a run are never held at once.
    void pass_entries(const Event& event, CoefficientSink& sink) {
        constexpr std::size_t kPiece = 1024;
        entries_.reserve(kPiece);
        std::size_t run = 0;
        for (std::size_t first = 0; first < event.terms.size(); first += kPiece) {
            entries_.clear();
            for (std::size_t at = first; at < std::min(first + kPiece, event.terms.size()); ++at) {
                if (run + 1 < event.runs.size() && event.runs[run + 1].start == at) ++run;
                const CoefficientList::Term& t = event.terms[at];
                entries_.push_back({event.runs[run].i, t.j, t.k, t.c});
            }
            sink.take(entries_);
        }
    }

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
    std::vector<CoefficientEntry> entries_;  // the using thread's
};

}  // namespace tanvo
