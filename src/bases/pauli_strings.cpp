// Products, phases and commutation of packed strings with word operations and popcounts; the
// hash set of strings; the columns of a string's matrix.
#include "bases/pauli_strings.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/parallel.hpp"

namespace tanvo {
namespace {

using string_words::bytes;
using string_words::count_bits;
using string_words::multiply_qubits;
using string_words::multiply_qudits;
using string_words::qubit_commutation_phase;
using string_words::qudit_commutation_phase;

// Work between two stop points of a batch.
constexpr std::size_t kBatchChunk = std::size_t(1) << 16;

}  // namespace

StringShape string_shape(std::size_t sites, unsigned q) {
    if (q < 2 || q > 255)
        throw std::invalid_argument("the local dimension q must be an integer from 2 to 255; got " + std::to_string(q));
    StringShape shape;
    shape.sites = sites;
    shape.q = q;
    const std::size_t per_word = q == 2 ? 64 : 8;
    shape.part_words = (sites + per_word - 1) / per_word;
    return shape;
}

Complex root_of_unity(unsigned k, unsigned order) {
    k %= order;
    if ((4 * k) % order == 0) {
        static const Complex quarter[4] = {{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}, {0.0, -1.0}};
        return quarter[4 * k / order];
    }
    const double angle = 2.0 * M_PI * double(k) / double(order);
    return {std::cos(angle), std::sin(angle)};
}

TANVO_POPCOUNT_CLONES
void multiply_batch(const StringShape& shape, const std::uint64_t* a, std::size_t a_step, const std::uint64_t* b,
                    std::size_t b_step, std::size_t count, std::uint64_t* products, std::uint8_t* phases,
                    const std::stop_token& stop) {
    const std::size_t words = shape.words(), w = shape.part_words;
    for (std::size_t begin = 0; begin < count; begin += kBatchChunk) {
        stop_point(stop);
        const std::size_t end = std::min(count, begin + kBatchChunk);
        if (shape.qubits() && w == 1) {  // up to 64 sites: the common case, with the loop unrolled
            for (std::size_t i = begin; i < end; ++i)
                phases[i] = std::uint8_t(multiply_qubits(1, a + i * a_step, b + i * b_step, products + i * 2));
        } else if (shape.qubits()) {
            for (std::size_t i = begin; i < end; ++i)
                phases[i] = std::uint8_t(multiply_qubits(w, a + i * a_step, b + i * b_step, products + i * words));
        } else {
            for (std::size_t i = begin; i < end; ++i)
                phases[i] = std::uint8_t(multiply_qudits(shape, a + i * a_step, b + i * b_step, products + i * words));
        }
    }
}

TANVO_POPCOUNT_CLONES
void commutes_batch(const StringShape& shape, const std::uint64_t* a, std::size_t a_step, const std::uint64_t* b,
                    std::size_t b_step, std::size_t count, bool* commute, const std::stop_token& stop) {
    for (std::size_t begin = 0; begin < count; begin += kBatchChunk) {
        stop_point(stop);
        const std::size_t end = std::min(count, begin + kBatchChunk);
        for (std::size_t i = begin; i < end; ++i)
            commute[i] = commutation_phase(shape, a + i * a_step, b + i * b_step) == 0;
    }
}

namespace {

TANVO_POPCOUNT_CLONES
void commutation_rows(const StringShape& shape, const std::uint64_t* a, std::size_t begin, std::size_t end,
                      const std::uint64_t* b, std::size_t nb, bool* out) {
    const std::size_t words = shape.words(), w = shape.part_words;
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint64_t* s = a + i * words;
        bool* row = out + i * nb;
        if (shape.qubits() && w == 1) {
            const std::uint64_t sx = s[0], sz = s[1];
            for (std::size_t j = 0; j < nb; ++j)
                row[j] = (string_words::count_bits((sx & b[2 * j + 1]) ^ (sz & b[2 * j])) & 1u) == 0;
        } else if (shape.qubits()) {
            for (std::size_t j = 0; j < nb; ++j) row[j] = qubit_commutation_phase(w, s, b + j * words) == 0;
        } else {
            for (std::size_t j = 0; j < nb; ++j) row[j] = qudit_commutation_phase(shape, s, b + j * words) == 0;
        }
    }
}

}  // namespace

void commutation_matrix(const StringShape& shape, const std::uint64_t* a, std::size_t na, const std::uint64_t* b,
                        std::size_t nb, bool* out, unsigned threads, const std::stop_token& stop) {
    // Rows per chunk: about a batch chunk of pairs between stop points.
    const std::size_t rows = std::max<std::size_t>(1, kBatchChunk / std::max<std::size_t>(1, nb));
    parallel_chunks(na, rows, threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
        stop_point(stop);
        commutation_rows(shape, a, begin, end, b, nb, out);
    });
}

void StringSet::reserve(std::size_t expected) {
    strings_.reserve(expected * words_);
    std::size_t wanted = 16;
    while (wanted < 2 * expected) wanted *= 2;
    if (wanted <= slots_.size()) return;
    slots_.assign(wanted, kAbsent);
    const std::size_t mask = wanted - 1;
    for (std::size_t number = 0; number < count_; ++number) {
        std::size_t i = hash(string(number), words_) & mask;
        while (slots_[i] != kAbsent) i = (i + 1) & mask;
        slots_[i] = std::uint32_t(number);
    }
}

void StringSet::grow() { reserve(std::max<std::size_t>(8, 2 * count_)); }

std::pair<std::uint32_t, bool> StringSet::insert(const std::uint64_t* s) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(s, words_) & mask;
    for (;; i = (i + 1) & mask) {
        const std::uint32_t number = slots_[i];
        if (number == kAbsent) break;
        if (string_words::same_words(string(number), s, words_)) return {number, false};
    }
    if (count_ >= kAbsent) throw std::length_error("more than 2^32 - 1 distinct strings");
    slots_[i] = std::uint32_t(count_);
    strings_.insert(strings_.end(), s, s + words_);
    return {std::uint32_t(count_++), true};
}

std::vector<std::int64_t> index_of(std::size_t words, const std::uint64_t* strings, std::size_t count,
                                   const std::uint64_t* others, std::size_t other_count) {
    StringSet set(words);
    set.reserve(count);
    std::vector<std::int64_t> first;
    for (std::size_t i = 0; i < count; ++i)
        if (set.insert(strings + i * words).second) first.push_back(std::int64_t(i));
    std::vector<std::int64_t> positions(other_count);
    for (std::size_t i = 0; i < other_count; ++i) {
        const std::uint32_t number = set.find(others + i * words);
        positions[i] = number == StringSet::kAbsent ? -1 : first[number];
    }
    return positions;
}

UniqueStrings unique_strings(std::size_t words, const std::uint64_t* strings, std::size_t count) {
    StringSet set(words);
    UniqueStrings unique;
    unique.inverse.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto [number, added] = set.insert(strings + i * words);
        if (added) unique.first.push_back(std::int64_t(i));
        unique.inverse[i] = number;
    }
    return unique;
}

std::uint64_t matrix_size(const StringShape& shape) {
    std::uint64_t d = 1;
    for (std::size_t j = 0; j < shape.sites; ++j) {
        if (d > (std::uint64_t(1) << 62) / shape.q) return 0;
        d *= shape.q;
    }
    return d;
}

// Qubits: P e_c = i^(x·z) (-1)^(z·c) e_(c ^ x), with site j the bit n - 1 - j of c. Qudits:
// X^a Z^b e_c = ω^(b·c) e_(c + a), digit by digit.
void string_columns(const StringShape& shape, const std::uint64_t* s, std::int64_t* rows, Complex* values) {
    const std::uint64_t d = matrix_size(shape);
    const std::size_t n = shape.sites, w = shape.part_words;
    if (shape.qubits()) {
        std::uint64_t x = 0, z = 0;
        for (std::size_t j = 0; j < n; ++j) {
            x |= ((s[j / 64] >> (j % 64)) & 1u) << (n - 1 - j);
            z |= ((s[w + j / 64] >> (j % 64)) & 1u) << (n - 1 - j);
        }
        const Complex phase = root_of_unity(count_bits(x & z), 4);
        const Complex negative{-phase.re, -phase.im};
        for (std::uint64_t c = 0; c < d; ++c) {
            rows[c] = std::int64_t(c ^ x);
            values[c] = (count_bits(c & z) & 1u) ? negative : phase;
        }
        return;
    }
    const unsigned q = shape.q;
    const std::uint8_t *a = bytes(s), *b = bytes(s + w);
    std::vector<Complex> roots(q);
    for (unsigned k = 0; k < q; ++k) roots[k] = root_of_unity(k, q);
    for (std::uint64_t c = 0; c < d; ++c) {
        std::uint64_t rest = c, row = 0, place = 1, k = 0;
        for (std::size_t j = n; j-- > 0;) {  // site n - 1 is the least significant digit
            const unsigned digit = unsigned(rest % q);
            rest /= q;
            row += ((digit + a[j]) % q) * place;
            place *= q;
            k += std::uint64_t(digit) * b[j];
        }
        rows[c] = std::int64_t(row);
        values[c] = roots[k % q];
    }
}

void add_string_matrices(const StringShape& shape, const std::uint64_t* strings, const Complex* coefficients,
                         const std::int64_t* offsets, std::size_t operators, Complex* out,
                         const std::stop_token& stop) {
    const std::uint64_t d = matrix_size(shape);
    std::vector<std::int64_t> rows(d);
    std::vector<Complex> values(d);
    for (std::size_t op = 0; op < operators; ++op) {
        Complex* matrix = out + op * d * d;
        for (auto t = std::size_t(offsets[op]); t < std::size_t(offsets[op + 1]); ++t) {
            stop_point(stop);
            string_columns(shape, strings + t * shape.words(), rows.data(), values.data());
            const Complex c = coefficients[t];
            for (std::uint64_t col = 0; col < d; ++col) matrix[std::uint64_t(rows[col]) * d + col] += c * values[col];
        }
    }
}

}  // namespace tanvo
