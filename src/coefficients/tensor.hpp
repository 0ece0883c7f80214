// Complete coefficient tensors of a basis: every term of the least-squares expansion of each
// pair's commutator (anticommutator), for the rows i of a range, as sorted (i, j, k, c) terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "core/uninitialized.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

// n square d x d matrices, each contiguous and row-major, owned by the caller.
struct BasisView {
    std::size_t d = 0;
    std::vector<const Complex*> matrices;

    std::size_t size() const noexcept { return matrices.size(); }
    Complex at(std::size_t m, std::size_t r, std::size_t c) const noexcept { return matrices[m][r * d + c]; }
};

// Terms sorted by (i, j, k): indices holds i, j, k of each term in turn.
struct TermTable {
    UninitializedVector<std::int64_t> indices;
    UninitializedVector<Complex> values;

    std::size_t size() const noexcept { return values.size(); }
};

// How the terms are found; every method gives the same terms up to rounding.
enum class TensorMethod {
    automatic,          // the fastest that applies
    sparse_orthogonal,  // sparse products, orthogonal projection (orthogonal bases only)
    dense,              // one pseudo-inverse, products and coefficients by matrix products
    per_pair,           // one least-squares solve per pair
};

struct TensorRequest {
    PairProduct product = PairProduct::commutator;
    double tol = 1e-8;           // terms with |re| > tol or |im| > tol are kept
    std::size_t row_begin = 0;   // rows i in [row_begin, row_end)
    std::size_t row_end = 0;
    unsigned threads = 1;
    TensorMethod method = TensorMethod::automatic;
    // The rank rule: singular values of the d² x n system (column k: B_k flattened) at or below
    // rcond times the largest count as zero. None: numpy.linalg.lstsq's default, max(d², n)
    // times machine precision.
    std::optional<double> rcond;
};

// Thrown for a basis matrix with an infinite or NaN entry (which LAPACK's SVD may never finish).
struct NonFiniteMatrix {
    std::size_t index;
};

// Index of the first matrix with a non-finite entry, or the basis size when there is none.
std::size_t first_non_finite(const BasisView& basis, unsigned threads, const std::stop_token& stop);

// The terms of the rows [row_begin, row_end): the same for a row whatever the range, method
// choice aside, and whatever the thread count. The coefficients scale with the basis: s·B gives
// s·T, bit for bit when s is a power of two, whatever the basis's scale. Throws Cancelled when
// `stop` is requested, NonFiniteMatrix for a non-finite basis, std::invalid_argument for a
// forced method that does not apply, std::overflow_error when a coefficient overflows,
// std::runtime_error when LAPACK fails, std::bad_alloc when the work cannot fit in memory.
TermTable coefficient_tensor(const BasisView& basis, const TensorRequest& request, const std::stop_token& stop);

// c[k, col] = Σ a[i, col] b[j, col] c_ijk over the terms, for `columns` columns of length n
// (row-major n x columns arrays). Throws std::invalid_argument for an index outside [0, n).
std::vector<Complex> contract_terms(std::span<const std::int64_t> indices, std::span<const Complex> values,
                                    std::size_t n, std::size_t columns, const Complex* a, const Complex* b,
                                    const std::stop_token& stop);

}  // namespace tanvo
