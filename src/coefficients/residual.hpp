// How far a basis is from closed under a product, row by row, without forming a product of two
// basis matrices: for each row i, the squared norm of the part of sum_j (B_i B_j -/+ B_j B_i)
// outside the basis's span, from sums quadratic in the basis's entries and the row's terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "coefficients/coefficients.hpp"
#include "coefficients/tensor.hpp"

namespace tanvo {

// Per row i of a range: the squared norms summed over j of the products' parts outside the
// span, and the scale of the rounding in them (the sum of the magnitudes of what was added and
// subtracted); with the largest squared norm of a basis matrix.
struct RowResiduals {
    std::vector<double> outside;
    std::vector<double> scale;
    double largest_norm2 = 0.0;
};

// The terms are those of the rows [row_begin, row_end) of the basis's tensor, sorted by
// (i, j, k). The work is about sum_m nnz(B_m)^2 hashed pairs of entries and their lookups, plus
// the entries of the terms of pairs with several; returns nothing when those pairs pass a
// bound of memory or, with `leave_dense`, of what matrix products of the whole basis would
// cost instead (dense bases). Throws std::invalid_argument for a term outside the rows.
std::optional<RowResiduals> row_residuals(const BasisView& basis, std::span<const std::int64_t> indices,
                                          std::span<const Complex> values, PairProduct product,
                                          std::size_t row_begin, std::size_t row_end, bool leave_dense,
                                          const std::stop_token& stop);

// The largest ||B_i B_j -/+ B_j B_i - sum_k T[i, j, k] B_k|| over the pairs (i, j) whose row i
// is listed, each pair's residual formed from the non-zero entries (for the bases row_residuals
// takes: each product costs the matching entries of two matrices, not d^3). The terms are as
// for row_residuals, of the rows [row_begin, row_end), which hold the listed rows.
double pair_residual(const BasisView& basis, std::span<const std::int64_t> indices, std::span<const Complex> values,
                     PairProduct product, std::size_t row_begin, std::size_t row_end,
                     std::span<const std::int64_t> rows, const std::stop_token& stop);

}  // namespace tanvo
