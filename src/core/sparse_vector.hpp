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

#include "core/complex.hpp"

namespace tanvo {

// Distinct keys (in increasing order where a routine says so); every key not listed has
// coordinate 0.
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

// The terms (key, value) as a vector, in increasing key order when `sort` is set (otherwise in
// the given order, which callers keep deterministic); keys are distinct.
inline SparseVector vector_of(std::vector<std::pair<std::uint64_t, Complex>>& terms, bool sort) {
    if (sort)
        std::sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    SparseVector v;
    v.keys.reserve(terms.size());
    v.values.reserve(terms.size());
    for (const auto& [key, value] : terms) {
        v.keys.push_back(key);
        v.values.push_back(value);
    }
    return v;
}

// Numbers the distinct keys it is given 0, 1, 2, ... in the order first given (open
// addressing, one probe sequence in one array).
class KeyTable {
public:
    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

    std::size_t size() const noexcept { return keys_.size(); }
    std::uint64_t key(std::uint32_t number) const noexcept { return keys_[number]; }

    std::uint32_t find(std::uint64_t key) const noexcept {
        if (slots_.empty()) return kAbsent;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            const std::uint32_t number = slots_[i];
            if (number == kAbsent || keys_[number] == key) return number;
        }
    }

    // The key's number, numbering it first if new.
    std::uint32_t insert(std::uint64_t key) {
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
            std::uint32_t& number = slots_[i];
            if (number == kAbsent) {
                number = std::uint32_t(keys_.size());
                keys_.push_back(key);
                slot_of_number_.push_back(std::uint32_t(i));
                return number;
            }
            if (keys_[number] == key) return number;
        }
    }

    void clear() {
        if (keys_.size() * 8 < slots_.size()) {
            for (std::uint32_t slot : slot_of_number_) slots_[slot] = kAbsent;
        } else {
            std::fill(slots_.begin(), slots_.end(), kAbsent);
        }
        keys_.clear();
        slot_of_number_.clear();
    }

private:
    static std::size_t hash(std::uint64_t key) {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdULL;
        key ^= key >> 33;
        return std::size_t(key);
    }

    void grow() {
        slots_.assign(std::max<std::size_t>(64, slots_.size() * 2), kAbsent);
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t number = 0; number < keys_.size(); ++number) {
            std::size_t i = hash(keys_[number]) & mask;
            while (slots_[i] != kAbsent) i = (i + 1) & mask;
            slots_[i] = number;
            slot_of_number_[number] = std::uint32_t(i);
        }
    }

    std::vector<std::uint32_t> slots_;  // numbers, kAbsent where free
    std::vector<std::uint64_t> keys_;   // by number
    std::vector<std::uint32_t> slot_of_number_;
};

// Sums terms by key. A sum whose magnitude is within rounding of the sum of its terms'
// magnitudes cancelled exactly in exact arithmetic, and is dropped when extracted: this keeps
// elements as sparse as the algebra, at an error no larger than the rounding.
class KeyAccumulator {
public:
    void add(std::uint64_t key, Complex value) {
        const std::uint32_t number = keys_.insert(key);
        if (number == sums_.size()) {
            sums_.push_back(value);
            magnitudes_.push_back(std::abs(value.re) + std::abs(value.im));
        } else {
            sums_[number] += value;
            magnitudes_[number] += std::abs(value.re) + std::abs(value.im);
        }
    }

    // The non-cancelled sums (in increasing key order when `sort` is set, else in the order
    // their keys were first added); the accumulator is cleared.
    SparseVector extract(bool sort) {
        terms_.clear();
        for (std::uint32_t number = 0; number < sums_.size(); ++number)
            if (!cancelled(sums_[number], magnitudes_[number])) terms_.emplace_back(keys_.key(number), sums_[number]);
        keys_.clear();
        sums_.clear();
        magnitudes_.clear();
        return vector_of(terms_, sort);
    }

private:
    KeyTable keys_;
    std::vector<Complex> sums_;
    std::vector<double> magnitudes_;
    std::vector<std::pair<std::uint64_t, Complex>> terms_;
};

}  // namespace tanvo
