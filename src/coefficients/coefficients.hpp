// The types that carry a basis and its coefficient tables between the algebra routines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/matrix.hpp"
#include "core/pages.hpp"

namespace tanvo {

// Which product of a pair is expanded: B_i B_j - B_j B_i or B_i B_j + B_j B_i.
enum class PairProduct { commutator, anticommutator };

// An ordered list of matrices; the list index is the basis index.
using Basis = std::vector<ComplexMatrix>;

// A matrix read where its owner keeps it: element (r, c) at first[r * row_step + c * col_step],
// steps in elements and of either sign.
struct MatrixView {
    const Complex* first = nullptr;
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t row_step = 0, col_step = 1;

    static MatrixView of(const ComplexMatrix& m) {
        return {m.storage().data(), m.rows(), m.cols(), m.row_step(), m.col_step()};
    }
    std::size_t size() const noexcept { return rows * cols; }
    const Complex& operator()(std::size_t r, std::size_t c) const noexcept {
        return first[std::ptrdiff_t(r) * row_step + std::ptrdiff_t(c) * col_step];
    }
    // A row-major copy.
    ComplexMatrix copy() const;
};

// A basis as its caller holds it, without copies: the routines that need owned matrices (the
// per-pair solves, a matrix stretched to another shape) copy what they use.
using BasisViews = std::vector<MatrixView>;
Basis copy_of(const BasisViews& basis, Interrupt interrupt = {});

// One term (i, j) -> (k, c) of a coefficient table.
struct CoefficientEntry {
    std::uint64_t i;
    std::uint64_t j;
    std::uint64_t k;
    Complex c;
};

// What the per-pair and dense extractions list: at most one entry per pair, in the order the pairs
// were visited (i outer, j inner). Each entry's i is kept once for its run of entries; the rest
// sits in blocks of mapped pages, and a reader that walks them once with drain() hands each
// block back to the system as soon as it has passed it: a long list turned into Python objects
// never coexists with all of them.
class CoefficientList {
public:
    // What is stored of an entry. Indices from 2^32 on would need a basis that no memory holds.
    struct Term {
        std::uint32_t j, k;
        Complex c;
    };
    static constexpr std::size_t kBlockEntries = std::size_t(1) << 13;

    // std::bad_alloc for an index from 2^32 on.
    void push_back(const CoefficientEntry& entry) {
        if ((entry.j | entry.k) >> 32) [[unlikely]]
            throw std::bad_alloc();
        if (size_ % kBlockEntries == 0) [[unlikely]]
            start_block();
        if (runs_.empty() || runs_.back().i != entry.i) [[unlikely]]
            runs_.push_back({entry.i, size_});
        blocks_.back().push_back({std::uint32_t(entry.j), std::uint32_t(entry.k), entry.c});
        ++size_;
    }
    // Entry `at` without its i.
    const Term& operator[](std::size_t at) const noexcept {
        return blocks_[at / kBlockEntries][at % kBlockEntries];
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Visits the entries in order, once: each block is released when passed, so that the list
    // may only be destroyed afterwards, whether the walk went to the end or not.
    class Drain {
    public:
        explicit Drain(CoefficientList& list) : list_(list) {}
        class Iterator {
        public:
            explicit Iterator(CoefficientList* list, std::size_t at) : list_(list), at_(at) {}
            CoefficientEntry operator*() const noexcept {
                const Term& term = (*list_)[at_];
                return {list_->runs_[run_].i, term.j, term.k, term.c};
            }
            Iterator& operator++() {
                if (++at_ % kBlockEntries == 0 || at_ == list_->size_)
                    list_->release_block((at_ - 1) / kBlockEntries);
                if (run_ + 1 < list_->runs_.size() && list_->runs_[run_ + 1].start == at_) ++run_;
                return *this;
            }
            bool operator!=(const Iterator& other) const noexcept { return at_ != other.at_; }

        private:
            CoefficientList* list_;
            std::size_t at_;
            std::size_t run_ = 0;
        };
        Iterator begin() { return Iterator(&list_, 0); }
        Iterator end() { return Iterator(&list_, list_.size_); }

    private:
        CoefficientList& list_;
    };
    Drain drain() { return Drain(*this); }

private:
    using Block = std::vector<Term, PageAllocator<Term, (std::size_t(64) << 10)>>;
    // The first block grows as a vector does, so that short lists stay small and on the heap;
    // the others are mapped whole at once.
    void start_block() {
        Block& block = blocks_.emplace_back();
        if (size_ > 0) block.reserve(kBlockEntries);
    }
    void release_block(std::size_t block) noexcept { Block().swap(blocks_[block]); }

    struct Run {
        std::uint64_t i;
        std::size_t start;
    };
    std::vector<Run> runs_;
    std::vector<Block> blocks_;
    std::size_t size_ = 0;
};

// Takes a map's entries in order, a run at a time, on the thread that lists them: a sink may
// use the first runs while later ones are still being computed.
class CoefficientSink {
public:
    virtual ~CoefficientSink() = default;
    // Called once before the first run: at most this many entries follow.
    virtual void expect(std::size_t at_most) = 0;
    // The next entries in order; the span is valid only during the call.
    virtual void take(std::span<const CoefficientEntry> entries) = 0;
    // Everything taken so far is void: the entries are listed again from the first.
    virtual void restart() = 0;
};

// Hands a whole list to `sink`, releasing its blocks as they are passed.
void hand_over(CoefficientList& entries, CoefficientSink& sink);

// A coefficient table read by key (i, j): one entry per key, held in increasing key order, so
// that walking it meets the keys as probing every pair (i outer, j inner) would.
class CoefficientMap {
public:
    // An entry as held. An index from kPastAny on is held as kPastAny: past the end of any
    // coefficient array or basis that memory holds (2^32 - 1 complex numbers take 64 GiB), so
    // that its term is never reached and names no matrix.
    static constexpr std::uint32_t kPastAny = ~std::uint32_t(0);
    struct Term {
        std::uint32_t i, j, k;
        Complex c;
        static std::uint32_t held(std::uint64_t index) {
            return index < kPastAny ? std::uint32_t(index) : kPastAny;
        }
    };
    static_assert(sizeof(Term) == 32);

    CoefficientMap() = default;
    // From entries in any order. Of several entries with one key the last is kept, as inserting
    // them one after the other into a map would keep it. Entries the caller found in strictly
    // increasing key order (as extraction lists them) are taken as they are.
    // Up to the C heap's own limit for mapping (32 MiB, a million entries), a buffer freed by
    // one call is reused by the next; beyond it every call maps afresh, and takes huge pages
    // where it can.
    using Entries = std::vector<Term, PageAllocator<Term, (std::size_t(32) << 20)>>;

    CoefficientMap(Entries entries, bool in_key_order) : entries_(std::move(entries)) {
        if (in_key_order) return;
        std::stable_sort(entries_.begin(), entries_.end(), key_before);
        // Keeps the last entry of each run of equal keys.
        auto kept = entries_.begin();
        for (auto e = entries_.begin(); e != entries_.end(); ++e) {
            const auto next = std::next(e);
            if (next == entries_.end() || key_before(*e, *next)) *kept++ = *e;
        }
        entries_.erase(kept, entries_.end());
    }

    const Term* find(std::uint64_t i, std::uint64_t j) const {
        if (i >= kPastAny || j >= kPastAny) return nullptr;
        const Term probe{std::uint32_t(i), std::uint32_t(j), 0, {}};
        const auto at = std::lower_bound(entries_.begin(), entries_.end(), probe, key_before);
        return at != entries_.end() && at->i == i && at->j == j ? &*at : nullptr;
    }
    // In increasing key order.
    std::span<const Term> entries() const noexcept { return entries_; }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    static bool key_before(const Term& x, const Term& y) {
        return x.i != y.i ? x.i < y.i : x.j < y.j;
    }

private:
    Entries entries_;
};

}  // namespace tanvo
