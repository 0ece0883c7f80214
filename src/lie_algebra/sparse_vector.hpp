// Sparse coordinate vectors over 64-bit keys (Pauli words, matrix positions), and the
// accumulator that sums terms into one while dropping entries that cancelled to rounding.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
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
        constexpr double kRounding = 8 * std::numeric_limits<double>::epsilon();
        std::vector<std::uint32_t> kept;
        kept.reserve(used_.size());
        for (std::uint32_t index : used_) {
            const Slot& s = slots_[index];
            if (std::abs(s.sum.re) + std::abs(s.sum.im) > kRounding * s.magnitude) kept.push_back(index);
        }
        std::sort(kept.begin(), kept.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return slots_[a].key < slots_[b].key; });
        SparseVector v;
        v.keys.reserve(kept.size());
        v.values.reserve(kept.size());
        for (std::uint32_t index : kept) {
            v.keys.push_back(slots_[index].key);
            v.values.push_back(slots_[index].sum);
        }
        clear();
        return v;
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
};

}  // namespace tanvo
