// The types that carry a basis and its coefficient tables between the algebra routines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

#include "dense/matrix.hpp"

namespace tanvo {

// Which product of a pair is expanded: B_i B_j - B_j B_i or B_i B_j + B_j B_i.
enum class PairProduct { commutator, anticommutator };

// An ordered list of matrices; the list index is the basis index.
using Basis = std::vector<ComplexMatrix>;

// One term (i, j) -> (k, c) of a coefficient table.
struct CoefficientEntry {
    std::uint64_t i;
    std::uint64_t j;
    std::uint64_t k;
    Complex c;
};

// What coefficient extraction returns: at most one entry per pair, in the order the pairs
// were visited (i outer, j inner).
using CoefficientList = std::vector<CoefficientEntry>;

// A coefficient table read by key (i, j): one entry per key, held in increasing key order, so
// that walking it meets the keys as probing every pair (i outer, j inner) would.
class CoefficientMap {
public:
    CoefficientMap() = default;
    // From entries in any order. Of several entries with one key the last is kept, as inserting
    // them one after the other into a map would keep it. Entries already in strictly increasing
    // key order (as extraction lists them) are taken as they are.
    explicit CoefficientMap(CoefficientList entries) : entries_(std::move(entries)) {
        if (std::adjacent_find(entries_.begin(), entries_.end(), key_not_before) == entries_.end()) return;
        std::stable_sort(entries_.begin(), entries_.end(), key_before);
        // Keeps the last entry of each run of equal keys.
        auto kept = entries_.begin();
        for (auto e = entries_.begin(); e != entries_.end(); ++e) {
            const auto next = std::next(e);
            if (next == entries_.end() || key_before(*e, *next)) *kept++ = *e;
        }
        entries_.erase(kept, entries_.end());
    }

    const CoefficientEntry* find(std::uint64_t i, std::uint64_t j) const {
        const CoefficientEntry probe{i, j, 0, {}};
        const auto at = std::lower_bound(entries_.begin(), entries_.end(), probe, key_before);
        return at != entries_.end() && at->i == i && at->j == j ? &*at : nullptr;
    }
    // In increasing key order.
    std::span<const CoefficientEntry> entries() const noexcept { return entries_; }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

private:
    static bool key_before(const CoefficientEntry& x, const CoefficientEntry& y) {
        return x.i != y.i ? x.i < y.i : x.j < y.j;
    }
    static bool key_not_before(const CoefficientEntry& x, const CoefficientEntry& y) {
        return !key_before(x, y);
    }

    CoefficientList entries_;
};

}  // namespace tanvo
