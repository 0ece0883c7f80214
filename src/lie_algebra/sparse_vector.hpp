// Sparse coordinate vectors over 64-bit keys (Pauli words, matrix positions), and the
// accumulator that sums terms into one while dropping entries that cancelled to rounding.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "dense/complex.hpp"

namespace tanvo {

// Keys in increasing order, each once; every key not listed has coordinate 0.
struct SparseVector {
    std::vector<std::uint64_t> keys;
    std::vector<Complex> values;

    std::size_t size() const noexcept { return keys.size(); }
};

inline double norm(const SparseVector& v) {
    double sum = 0.0;
    for (const Complex& c : v.values) sum += c.re * c.re + c.im * c.im;
    return std::sqrt(sum);
}

inline void scale(SparseVector& v, double factor) {
    for (Complex& c : v.values) c = {c.re * factor, c.im * factor};
}

// conj(a) · b
inline Complex conj_times(Complex a, Complex b) {
    return {a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re};
}

// Whether a sum is zero up to the rounding of adding terms whose magnitudes (|re| + |im|) sum
// to `magnitude`: it cancelled exactly in exact arithmetic.
inline bool cancelled(Complex sum, double magnitude) {
    constexpr double kRounding = 8 * std::numeric_limits<double>::epsilon();
    return std::abs(sum.re) + std::abs(sum.im) <= kRounding * magnitude;
}

// The terms (key, value) in increasing key order; keys are distinct.
inline SparseVector sorted_by_key(std::vector<std::pair<std::uint64_t, Complex>>& terms) {
    std::sort(terms.begin(), terms.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    SparseVector v;
    v.keys.reserve(terms.size());
    v.values.reserve(terms.size());
    for (const auto& [key, value] : terms) {
        v.keys.push_back(key);
        v.values.push_back(value);
    }
    return v;
}

// Sums terms by key (open addressing). A sum whose magnitude is within rounding of the sum of
// its terms' magnitudes cancelled exactly in exact arithmetic, and is dropped when extracted:
// this keeps elements as sparse as the algebra, at an error no larger than the rounding.
class KeyAccumulator {
public:
    void clear() {
        for (std::uint32_t slot : used_) slots_[slot].key = kEmpty;
        used_.clear();
    }

    void add(std::uint64_t key, Complex value) {
        if ((used_.size() + 1) * 2 > slots_.size()) grow();
        Slot& slot = find(key);
        slot.sum += value;
        slot.magnitude += std::abs(value.re) + std::abs(value.im);
    }

    // The non-cancelled sums in increasing key order; the accumulator is cleared.
    SparseVector extract() {
        terms_.clear();
        for (std::uint32_t index : used_) {
            const Slot& s = slots_[index];
            if (!cancelled(s.sum, s.magnitude)) terms_.emplace_back(s.key, s.sum);
        }
        clear();
        return sorted_by_key(terms_);
    }

private:
    static constexpr std::uint64_t kEmpty = std::numeric_limits<std::uint64_t>::max();
    struct Slot {
        std::uint64_t key = kEmpty;
        Complex sum;
        double magnitude = 0.0;
    };

    static std::size_t hash(std::uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return std::size_t(key);
    }

    Slot& find(std::uint64_t key) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.key == key) return s;
            if (s.key == kEmpty) {
                s = Slot{key, {}, 0.0};
                used_.push_back(std::uint32_t(i));
                return s;
            }
        }
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        std::vector<std::uint32_t> old_used;
        old_used.swap(used_);
        slots_.assign(std::max<std::size_t>(64, old.size() * 2), Slot{});
        for (std::uint32_t index : old_used) {
            Slot& s = find(old[index].key);
            s.sum = old[index].sum;
            s.magnitude = old[index].magnitude;
        }
    }

    std::vector<Slot> slots_;
    std::vector<std::uint32_t> used_;  // occupied slots in insertion order
    std::vector<std::pair<std::uint64_t, Complex>> terms_;
};

}  // namespace tanvo
