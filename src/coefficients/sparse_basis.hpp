// Sparse form of a basis, and the pieces the sparse fast paths share: the orthogonality
// test, products accumulated on their non-zero positions, and the coefficient of one column.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include "core/interrupt.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

// Off-diagonal Gram entries up to this fraction of |a_k|·|a_l| count as orthogonal; the
// diagonal solve then differs from the exact one by about this relative amount.
inline constexpr double kOrthogonality = 1e-13;

inline bool finite(Complex c) { return std::isfinite(c.re) && std::isfinite(c.im); }

// Whether every element is ±0, by the bits of the doubles (a loop the compiler vectorises):
// most rows of a sparse basis are empty.
inline bool all_zero(const Complex* row, std::size_t count) {
    std::uint64_t bits = 0;
    for (std::size_t t = 0; t < count; ++t) {
        std::uint64_t re, im;
        std::memcpy(&re, &row[t].re, sizeof re);
        std::memcpy(&im, &row[t].im, sizeof im);
        bits |= (re | im) << 1;  // the sign bit dropped
    }
    return bits == 0;
}
inline double magnitude2(Complex c) { return c.re * c.re + c.im * c.im; }
// conj(a) · b
inline Complex inner(Complex a, Complex b) { return {a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re}; }

// The basis with only its non-zero elements, by matrix (in row-major order) and by position.
struct SparseBasis {
    std::size_t d = 0, length = 0, n = 0;
    std::vector<std::size_t> start;      // entries of matrix m: [start[m], start[m + 1])
    std::vector<std::size_t> row_start;  // n x (d + 1): entries of row r of matrix m
    std::vector<std::uint32_t> row, col;
    std::vector<std::size_t> position;  // row · d + col
    std::vector<Complex> value;
    std::vector<std::size_t> position_start;  // length + 1: matrices non-zero at position p
    std::vector<std::uint32_t> position_matrix;
    std::vector<Complex> position_value;
    std::vector<double> norm2;
    std::size_t first_non_finite = 0;  // the first matrix with an infinite or NaN entry, or n

    std::size_t entries() const { return value.size(); }
    std::size_t row_begin(std::size_t m, std::size_t r) const { return row_start[m * (d + 1) + r]; }
};

// The least memory the sparse form of n matrices of d x d, none of them zero, and `threads`
// accumulators of products take (in bytes; a double, as products of sizes may overflow).
inline double sparse_form_bytes(std::size_t n, std::size_t d, unsigned threads) {
    const double matrices = double(n), length = double(d) * double(d);
    constexpr double kPerEntry = 2 * (2 * sizeof(std::uint32_t) + sizeof(std::size_t) + sizeof(Complex)) +
                                 sizeof(std::uint32_t) + sizeof(Complex);  // read in parts, then joined
    const double per_matrix = double(sizeof(std::size_t)) * (double(d) + 3) + kPerEntry;
    const double accumulator = length * double(sizeof(Complex) + 1);
    return matrices * per_matrix + double(sizeof(std::size_t)) * (length + 1) + double(threads) * accumulator;
}

// Row r of matrix m of a basis: its first element and the step between its elements.
struct MatrixRow {
    const Complex* first;
    std::ptrdiff_t step;
};
using RowOf = std::function<MatrixRow(std::size_t m, std::size_t r)>;

// The n matrices of d x d whose rows `row_of` gives, by their non-zero elements.
SparseBasis sparse_form(std::size_t n, std::size_t d, const RowOf& row_of, Interrupt interrupt = {});
// The same, read on up to `threads` threads (throws Cancelled when `stop` is requested);
// nothing as soon as the matrices are found to hold more than `most_entries` non-zeros (a dense
// basis is not read whole, nor held twice, for a route it cannot take).
std::optional<SparseBasis> sparse_form(std::size_t n, std::size_t d, const RowOf& row_of, unsigned threads,
                                       const std::stop_token& stop, std::size_t most_entries = SIZE_MAX);
// The basis's matrices (at least one; every matrix d x d, d the row count of the first).
SparseBasis sparse_form(const BasisViews& basis, Interrupt interrupt = {});

// Whether the columns are orthogonal within kOrthogonality and none is so short that the
// solver's rank decision (machine precision times the largest) could drop it.
bool orthogonal_columns(const SparseBasis& s, Interrupt interrupt);

// For each row (column) index, the matrices with an entry in that row (column), in order.
struct MatricesByLine {
    std::vector<std::vector<std::uint32_t>> by_row, by_col;
};
MatricesByLine matrices_by_line(const SparseBasis& s);

// Dense accumulator of one product's non-zeros; zero outside the touched positions.
class Accumulator {
public:
    explicit Accumulator(std::size_t length) : values_(length), used_(length, 0) {}

    void clear() {
        for (std::size_t p : touched_) {
            values_[p] = {};
            used_[p] = 0;
        }
        touched_.clear();
    }
    template <bool Subtract>
    void add(std::size_t p, Complex v) {
        if (!used_[p]) {
            used_[p] = 1;
            touched_.push_back(p);
        }
        values_[p] = Subtract ? values_[p] - v : values_[p] + v;
    }
    Complex at(std::size_t p) const { return values_[p]; }
    bool used(std::size_t p) const { return used_[p]; }
    const std::vector<std::size_t>& touched() const { return touched_; }

private:
    std::vector<Complex> values_;
    std::vector<char> used_;
    std::vector<std::size_t> touched_;
};

// Adds (or subtracts) the product B_left · B_right into the accumulator.
template <bool Subtract>
void accumulate_product(const SparseBasis& s, std::size_t left, std::size_t right, Accumulator& product) {
    const std::size_t d = s.d;
    const std::uint32_t* rows = s.row.data();
    const std::uint32_t* cols = s.col.data();
    const Complex* values = s.value.data();
    const std::size_t* right_rows = s.row_start.data() + right * (d + 1);
    for (std::size_t e = s.start[left]; e < s.start[left + 1]; ++e) {
        const std::size_t base = std::size_t(rows[e]) * d;
        const Complex v = values[e];
        const std::uint32_t t = cols[e];
        for (std::size_t f = right_rows[t]; f < right_rows[t + 1]; ++f)
            product.add<Subtract>(base + cols[f], v * values[f]);
    }
}

// Matrices with exactly one entry in every row: the column pattern of each (interned) and the
// pattern of each product of two patterns (-1 when no matrix has it), so that products of
// monomial matrices are found row by row.
struct MonomialPatterns {
    std::vector<std::vector<std::uint32_t>> patterns;  // row r of a matrix -> its column
    std::vector<std::size_t> pattern_of;                // by matrix
    std::vector<std::int32_t> compose;                  // patterns a, b -> pattern of B_a·B_b
};
// No patterns when a matrix is not monomial or there are too many patterns to compose.
MonomialPatterns monomial_patterns(const SparseBasis& s);

// The orthogonal projection coefficient of the accumulated product on column m.
inline Complex projection(const SparseBasis& s, const Accumulator& product, std::size_t m) {
    Complex sum{};
    for (std::size_t e = s.start[m]; e < s.start[m + 1]; ++e)
        sum += inner(s.value[e], product.at(s.position[e]));
    return {sum.re / s.norm2[m], sum.im / s.norm2[m]};
}

}  // namespace tanvo
