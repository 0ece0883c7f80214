// Product signatures: the two lowest clearly non-zero positions of a vector and their ratio on a
// coarse grid, an index of matrices by signature, and the order-fixed sums used to decide (never
// to compute) a result. Shared by the fast extraction only.
#pragma once

#include <malloc.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "coefficients/sparse_basis.hpp"

namespace tanvo::extraction_parts {


// The two lowest positions where a vector is clearly non-zero, and their ratio on a coarse
// grid: equal for proportional vectors, except in rare cases at a grid boundary, which the
// verification of a term catches (the pair is then scanned).
struct Signature {
    std::uint64_t first = 0, second = 0;
    std::int64_t ratio_re = 0, ratio_im = 0;
    bool operator==(const Signature&) const = default;
};
struct SignatureHash {
    std::size_t operator()(const Signature& s) const noexcept {
        std::uint64_t h = s.first * 0x9E3779B97F4A7C15ull;
        h ^= s.second + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        h ^= std::uint64_t(s.ratio_re) * 0xBF58476D1CE4E5B9ull + (h << 6) + (h >> 2);
        h ^= std::uint64_t(s.ratio_im) * 0x94D049BB133111EBull + (h << 6) + (h >> 2);
        return std::size_t(h);
    }
};

inline std::int64_t grid_point(double x) { return std::int64_t(std::floor(x + 0.5)); }

// `largest2` is the largest squared magnitude among the positions.
template <class Positions, class ValueAt>
Signature signature_of(const Positions& positions, ValueAt value_at, double largest2) {
    const double threshold = 1e-12 * largest2;
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t first = kNone, second = kNone;
    for (std::size_t p : positions) {
        if (p >= second || !(magnitude2(value_at(p)) > threshold)) continue;
        if (p < first) {
            second = first;
            first = p;
        } else if (p != first) {
            second = p;
        }
    }
    Signature signature{first, second, 0, 0};
    if (second != kNone) {
        const Complex a = value_at(first), b = value_at(second);
        const double scale = double(1 << 20) / magnitude2(a);
        const Complex ratio = inner(a, b);  // (b / a) · |a|²
        signature.ratio_re = grid_point(ratio.re * scale);
        signature.ratio_im = grid_point(ratio.im * scale);
    }
    return signature;
}

// The columns of each signature, in increasing order. The table probed by hash holds 16-byte
// slots (a fingerprint of the hash and where the signature and its columns are), so that it
// stays in the caches next to the products.
class SignatureIndex {
public:
    // `signatures[m]` is the signature of column m.
    explicit SignatureIndex(const std::vector<Signature>& signatures) {
        std::size_t size = 16;
        while (size < 2 * signatures.size()) size *= 2;
        slots_.resize(size);
        for (std::size_t m = 0; m < signatures.size(); ++m) {
            Slot& slot = slots_[slot_of(signatures[m])];
            if (slot.key == kFree) {
                slot.key = std::uint32_t(keys_.size());
                slot.fingerprint = fingerprint(signatures[m]);
                keys_.push_back(signatures[m]);
            }
            ++slot.count;
        }
        std::uint32_t offset = 0;
        for (Slot& slot : slots_) {
            slot.begin = offset;
            offset += slot.count;
            slot.count = 0;
        }
        members_.resize(signatures.size());
        for (std::size_t m = 0; m < signatures.size(); ++m) {
            Slot& slot = slots_[slot_of(signatures[m])];
            members_[slot.begin + slot.count++] = std::uint32_t(m);
        }
    }

    std::span<const std::uint32_t> find(const Signature& s) const {
        const Slot& slot = slots_[slot_of(s)];
        return {members_.data() + slot.begin, slot.count};
    }

private:
    static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();
    struct Slot {
        std::uint32_t fingerprint = 0, key = kFree, begin = 0, count = 0;
    };

    // The hash with all of its bits mixed into the low ones, which pick the slot.
    static std::uint64_t mixed_hash(const Signature& s) {
        std::uint64_t h = SignatureHash{}(s);
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        return h ^ (h >> 33);
    }
    static std::uint32_t fingerprint(const Signature& s) { return std::uint32_t(mixed_hash(s) >> 32); }

    // The slot holding `s`, or the free slot where it would go.
    std::size_t slot_of(const Signature& s) const {
        const std::uint64_t h = mixed_hash(s);
        const std::uint32_t print = std::uint32_t(h >> 32);
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = std::size_t(h) & mask;
        while (slots_[at].key != kFree && !(slots_[at].fingerprint == print && keys_[slots_[at].key] == s))
            at = (at + 1) & mask;
        return at;
    }

    std::vector<Slot> slots_;
    std::vector<Signature> keys_;  // the distinct signatures
    std::vector<std::uint32_t> members_;
};

// Sums and maxima of many terms taken only to decide (never a result): in four interleaved
// parts, so that each addition does not wait for the one before.
struct SumAndMax {
    double sum = 0.0, max = 0.0;
};
template <class Term>
SumAndMax interleaved_sum_and_max(std::size_t count, Term term) {
    double sums[4] = {}, maxima[4] = {};
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double t = term(r + lane);
            sums[lane] += t;
            maxima[lane] = std::max(maxima[lane], t);
        }
    for (; r < count; ++r) {
        const double t = term(r);
        sums[0] += t;
        maxima[0] = std::max(maxima[0], t);
    }
    return {(sums[0] + sums[1]) + (sums[2] + sums[3]),
            std::max(std::max(maxima[0], maxima[1]), std::max(maxima[2], maxima[3]))};
}

template <class Term>
double sum_in_order(std::size_t count, Term term) {
    double sum = 0.0;
    for (std::size_t r = 0; r < count; ++r) sum += term(r);
    return sum;
}

}  // namespace tanvo::extraction_parts
