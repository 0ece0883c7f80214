// Pauli strings on n sites of local dimension q, bit-packed, and their products: phases,
// commutation, the hash set that numbers distinct strings, and their matrices.
//
// Layout: a string is 2W 64-bit words, its x exponents then its z exponents. Qubits (q = 2)
// hold one bit per site, site j in bit j % 64 of word j / 64 (the symplectic layout of Stim and
// of Qiskit's PauliList); qudits (q > 2) one byte per site, site j in byte j % 8 of word j / 8.
// Bits and bytes past the last site are zero, so equal strings have equal words.
//
// Matrices: a qubit string is the Hermitian Pauli P(x, z) = i^(x·z) X^x Z^z on each site
// (Y = iXZ); a qudit string the word X^a Z^b on each site, with X e_c = e_(c+1 mod q) and
// Z e_c = ω^c e_c, ω = e^(2πi/q). The matrix of a string is the Kronecker product over the
// sites, site 0 first (the most significant digit of a row index). A product of two strings is
// a string times a phase exp(2πi k / r): r = 4 for qubits (powers of i), r = q for qudits.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stop_token>
#include <vector>

#include "core/complex.hpp"

// Loops over packed words are compiled twice, for processors with and without the popcnt
// instruction (the default x86-64 target has none, and a library call per word would cost most
// of a product); the loader picks one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TANVO_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TANVO_POPCOUNT_CLONES
#endif

namespace tanvo {

// The shape shared by a batch of strings.
struct StringShape {
    std::size_t sites = 0;
    unsigned q = 2;
    std::size_t part_words = 0;  // words of the x part, and of the z part

    std::size_t words() const noexcept { return 2 * part_words; }
    // Phases of products are powers of exp(2πi / phase_order()).
    unsigned phase_order() const noexcept { return q == 2 ? 4 : q; }
    bool qubits() const noexcept { return q == 2; }
};

// Throws std::invalid_argument for q < 2 or q > 255.
StringShape string_shape(std::size_t sites, unsigned q);

// exp(2πi k / order), exact for the multiples of a quarter turn.
Complex root_of_unity(unsigned k, unsigned order);

// Inline so that loops compiled for the popcnt instruction (target_clones) inline them whole.
namespace string_words {
// Word by word (std::equal would call memcmp for a few words).
inline bool same_words(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
    std::uint64_t differ = 0;
    for (std::size_t i = 0; i < words; ++i) differ |= a[i] ^ b[i];
    return differ == 0;
}

inline unsigned count_bits(std::uint64_t bits) { return unsigned(std::popcount(bits)); }

inline const std::uint8_t* bytes(const std::uint64_t* words) { return reinterpret_cast<const std::uint8_t*>(words); }
inline std::uint8_t* bytes(std::uint64_t* words) { return reinterpret_cast<std::uint8_t*>(words); }

// P(x, z) = i^(x·z) X^x Z^z, so P1 P2 = i^(x1·z1 + x2·z2 - x3·z3) (-1)^(z1·x2) P3 with
// x3 = x1 ^ x2, z3 = z1 ^ z2: moving Z^z1 past X^x2 costs a sign per site holding both.
inline unsigned multiply_qubits(std::size_t w, const std::uint64_t* a, const std::uint64_t* b, std::uint64_t* out) {
    unsigned k = 0;
    for (std::size_t i = 0; i < w; ++i) {
        const std::uint64_t ax = a[i], az = a[w + i], bx = b[i], bz = b[w + i];
        const std::uint64_t ox = ax ^ bx, oz = az ^ bz;
        out[i] = ox;
        out[w + i] = oz;
        k += count_bits(ax & az) + count_bits(bx & bz) + 2 * count_bits(az & bx) - count_bits(ox & oz);
    }
    return k & 3u;
}

// (X^a1 Z^b1)(X^a2 Z^b2) = ω^(b1·a2) X^(a1+a2) Z^(b1+b2), as Z X = ω X Z on each site.
inline unsigned multiply_qudits(const StringShape& shape, const std::uint64_t* a, const std::uint64_t* b,
                                std::uint64_t* out) {
    const std::size_t w = shape.part_words, n = shape.sites;
    const unsigned q = shape.q;
    const std::uint8_t *ax = bytes(a), *az = bytes(a + w), *bx = bytes(b), *bz = bytes(b + w);
    std::uint8_t *ox = bytes(out), *oz = bytes(out + w);
    std::uint64_t k = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const unsigned sx = unsigned(ax[j]) + bx[j], sz = unsigned(az[j]) + bz[j];
        ox[j] = std::uint8_t(sx >= q ? sx - q : sx);
        oz[j] = std::uint8_t(sz >= q ? sz - q : sz);
        k += unsigned(az[j]) * bx[j];
    }
    std::memset(ox + n, 0, 8 * w - n);
    std::memset(oz + n, 0, 8 * w - n);
    return unsigned(k % q);
}

inline unsigned qubit_commutation_phase(std::size_t w, const std::uint64_t* a, const std::uint64_t* b) {
    std::uint64_t odd = 0;
    for (std::size_t i = 0; i < w; ++i) odd ^= (a[i] & b[w + i]) ^ (a[w + i] & b[i]);
    return 2 * (count_bits(odd) & 1u);
}

// A B = ω^(b1·a2) W and B A = ω^(b2·a1) W.
inline unsigned qudit_commutation_phase(const StringShape& shape, const std::uint64_t* a, const std::uint64_t* b) {
    const std::size_t w = shape.part_words, n = shape.sites;
    const std::uint8_t *ax = bytes(a), *az = bytes(a + w), *bx = bytes(b), *bz = bytes(b + w);
    std::uint64_t ab = 0, ba = 0;
    for (std::size_t j = 0; j < n; ++j) {
        ab += unsigned(az[j]) * bx[j];
        ba += unsigned(bz[j]) * ax[j];
    }
    const std::uint64_t q = shape.q;
    return unsigned((ab % q + q - ba % q) % q);
}

}  // namespace string_words

// a · b = exp(2πi k / r) · out; returns k in [0, r). `out` may alias neither input.
inline unsigned multiply_strings(const StringShape& shape, const std::uint64_t* a, const std::uint64_t* b,
                                 std::uint64_t* out) {
    return shape.qubits() ? string_words::multiply_qubits(shape.part_words, a, b, out)
                          : string_words::multiply_qudits(shape, a, b, out);
}

// The k in [0, r) with a · b = exp(2πi k / r) · b · a: 0 exactly when they commute.
inline unsigned commutation_phase(const StringShape& shape, const std::uint64_t* a, const std::uint64_t* b) {
    return shape.qubits() ? string_words::qubit_commutation_phase(shape.part_words, a, b)
                          : string_words::qudit_commutation_phase(shape, a, b);
}

inline bool strings_commute(const StringShape& shape, const std::uint64_t* a, const std::uint64_t* b) {
    return commutation_phase(shape, a, b) == 0;
}

// Elementwise over `count` pairs: a string advances by `a_step` words per pair (0 repeats one
// string), as does b; products are written contiguously.
void multiply_batch(const StringShape& shape, const std::uint64_t* a, std::size_t a_step, const std::uint64_t* b,
                    std::size_t b_step, std::size_t count, std::uint64_t* products, std::uint8_t* phases,
                    const std::stop_token& stop);
void commutes_batch(const StringShape& shape, const std::uint64_t* a, std::size_t a_step, const std::uint64_t* b,
                    std::size_t b_step, std::size_t count, bool* commute, const std::stop_token& stop);

// out[i * nb + j] = whether a_i and b_j commute, rows split over `threads`.
void commutation_matrix(const StringShape& shape, const std::uint64_t* a, std::size_t na, const std::uint64_t* b,
                        std::size_t nb, bool* out, unsigned threads, const std::stop_token& stop);

// Numbers the distinct strings it is given 0, 1, 2, ... in the order first given; holds a copy
// of each (open addressing over one array of numbers).
class StringSet {
public:
    static constexpr std::uint32_t kAbsent = 0xffffffffu;

    explicit StringSet(std::size_t words) : words_(words) {}

    std::size_t size() const noexcept { return count_; }
    std::size_t words() const noexcept { return words_; }
    const std::uint64_t* string(std::size_t number) const noexcept { return strings_.data() + number * words_; }
    std::vector<std::uint64_t>& strings() noexcept { return strings_; }

    std::uint32_t find(const std::uint64_t* s) const noexcept;
    // find for `count` strings laid end to end, into numbers[0 .. count): the same numbers, with
    // the slots and strings of a few dozen requested from memory before any is compared (a set
    // past the cache costs one wait per lookup otherwise).
    void find_all(const std::uint64_t* strings, std::size_t count, std::uint32_t* numbers) const noexcept;
    // The number of s, and whether it was added now.
    std::pair<std::uint32_t, bool> insert(const std::uint64_t* s);
    void reserve(std::size_t count);

private:
    static std::uint64_t hash(const std::uint64_t* s, std::size_t words) noexcept;
    void grow();

    std::size_t words_;
    std::size_t count_ = 0;
    std::vector<std::uint64_t> strings_;
    std::vector<std::uint32_t> slots_;
};

inline std::uint64_t StringSet::hash(const std::uint64_t* s, std::size_t words) noexcept {
    std::uint64_t h = 0x243f6a8885a308d3ULL ^ words;
    for (std::size_t i = 0; i < words; ++i) {
        h = (h ^ s[i]) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 29;
    }
    return h ^ (h >> 32);
}

inline std::uint32_t StringSet::find(const std::uint64_t* s) const noexcept {
    if (slots_.empty()) return kAbsent;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(s, words_) & mask;; i = (i + 1) & mask) {
        const std::uint32_t number = slots_[i];
        if (number == kAbsent) return kAbsent;
        if (string_words::same_words(s, string(number), words_)) return number;
    }
}

inline void StringSet::find_all(const std::uint64_t* strings, std::size_t count,
                                std::uint32_t* numbers) const noexcept {
    constexpr std::size_t kAhead = 32;
    if (slots_.empty()) {
        std::fill(numbers, numbers + count, kAbsent);
        return;
    }
    const std::size_t mask = slots_.size() - 1;
    std::size_t home[kAhead];
    for (std::size_t begin = 0; begin < count; begin += kAhead) {
        const std::size_t end = std::min(count, begin + kAhead);
        for (std::size_t t = begin; t < end; ++t) {
            home[t - begin] = hash(strings + t * words_, words_) & mask;
            __builtin_prefetch(&slots_[home[t - begin]]);
        }
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint32_t number = slots_[home[t - begin]];
            if (number != kAbsent) __builtin_prefetch(string(number));
        }
        for (std::size_t t = begin; t < end; ++t) {
            const std::uint64_t* s = strings + t * words_;
            for (std::size_t i = home[t - begin];; i = (i + 1) & mask) {
                const std::uint32_t number = slots_[i];
                if (number == kAbsent || string_words::same_words(s, string(number), words_)) {
                    numbers[t] = number;
                    break;
                }
            }
        }
    }
}

// For each string of `others`, its first position among `strings` (-1 when absent).
std::vector<std::int64_t> index_of(std::size_t words, const std::uint64_t* strings, std::size_t count,
                                   const std::uint64_t* others, std::size_t other_count);

// The distinct strings in first-seen order: `first` their first positions, `inverse` the
// distinct number of each input string.
struct UniqueStrings {
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> inverse;
};
UniqueStrings unique_strings(std::size_t words, const std::uint64_t* strings, std::size_t count);

// q^sites, or 0 when it passes 2^62.
std::uint64_t matrix_size(const StringShape& shape);

// The one non-zero entry of each column c of the string's matrix: at row rows[c], value values[c]
// (d = matrix_size entries each).
void string_columns(const StringShape& shape, const std::uint64_t* s, std::int64_t* rows, Complex* values);

// Adds coefficient[t] times the matrix of strings[t] to the dense row-major d x d matrix
// out[operator] for t in [offsets[operator], offsets[operator + 1]); `out` holds `operators`
// zeroed matrices.
void add_string_matrices(const StringShape& shape, const std::uint64_t* strings, const Complex* coefficients,
                         const std::int64_t* offsets, std::size_t operators, Complex* out,
                         const std::stop_token& stop);

}  // namespace tanvo
