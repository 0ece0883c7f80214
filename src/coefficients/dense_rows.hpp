// Coefficients of products with any square basis, a row of pairs at a time: the products of
// B_i with every B_j as two matrix products, their coefficients from one pseudo-inverse of the
// flattened basis (computed once) as one more.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "solve/least_squares.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

class DenseRowSolver {
public:
    using ElementOf = std::function<Complex(std::size_t m, std::size_t r, std::size_t c)>;

    // Nothing when the pseudo-inverse cannot be trusted (a LAPACK failure, or a basis so
    // ill-conditioned that rounding decides the coefficients): the per-pair solves decide then.
    // Singular values at or below rcond times the largest count as zero (the default: machine
    // precision, the rule of tanvo's maps).
    static std::optional<DenseRowSolver> prepare(std::size_t n, std::size_t d, const ElementOf& element,
                                                 double rcond = kMachinePrecisionRcond);

    // Scratch space of one row's products; one per thread.
    struct Workspace {
        Workspace(std::size_t n, std::size_t d);
        std::vector<Complex> block, left, right, products;
    };

    // coefficients (n x n, row-major) gets in row j the coefficients of the product of (i, j).
    // False when a product or a coefficient is not finite, or when the basis is solved for
    // directly and turns out too ill-conditioned (as prepare would have found).
    bool solve_row(std::size_t i, PairProduct product, Workspace& work, std::vector<Complex>& coefficients) const;

    std::size_t size() const noexcept { return n_; }

private:
    std::size_t n_ = 0, d_ = 0, length_ = 0;
    bool solve_directly_ = false;
    double rcond_ = kMachinePrecisionRcond;
    std::vector<Complex> system_;        // row-major: row p, column k
    std::vector<Complex> stacked_;       // matrix j at rows j·d … j·d + d - 1
    std::vector<Complex> side_by_side_;  // matrix j at columns j·d … j·d + d - 1
    std::vector<Complex> inverse_t_;     // A⁺ transposed: the coefficients of pair (i, j) as row j
};

}  // namespace tanvo
