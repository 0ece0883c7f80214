// Coefficients of products with any square basis, a row of pairs at a time: the products of
// B_i with every B_j as two matrix products, their coefficients from one pseudo-inverse of the
// flattened basis (computed once) as one more.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "core/uninitialized.hpp"
#include "solve/least_squares.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

class DenseRowSolver {
public:
    using ElementOf = std::function<Complex(std::size_t m, std::size_t r, std::size_t c)>;

    // How the long LAPACK and BLAS calls may be left. `check` is called between steps, and
    // while a call that has none runs on a helper thread; it may throw to abandon the work. In
    // steps (the complete tensors), the pseudo-inverse of a well-conditioned basis comes from a
    // QR in panels and a row's matrix products are taken in blocks; otherwise (tanvo's maps) by
    // the single calls whose rounding those maps are defined by.
    struct Stops {
        std::function<void()> check;
        bool in_steps = false;
    };

    // Nothing when the pseudo-inverse cannot be trusted (a LAPACK failure, or a basis so
    // ill-conditioned that rounding decides the coefficients): the per-pair solves decide then.
    // Singular values at or below rcond times the largest count as zero (the default: machine
    // precision, the rule of tanvo's maps), the same in steps as in the single calls.
    static std::optional<DenseRowSolver> prepare(std::size_t n, std::size_t d, const ElementOf& element,
                                                 const Stops& stops, double rcond = kMachinePrecisionRcond);

    // The least memory prepare() and `threads` rows at once hold for n matrices of d x d: the
    // flattened, stacked and side-by-side copies with the pseudo-inverse, and for each thread a
    // row's products and coefficients (in bytes; a double, as products of sizes may overflow).
    static double bytes_needed(std::size_t n, std::size_t d, unsigned threads);

    // Scratch space of one row's products; one per thread.
    struct Workspace {
        Workspace(std::size_t n, std::size_t d);
        UninitializedScratch<Complex> block, left, right, products;  // written before they are read
    };

    // coefficients (n x n, row-major) gets in row j the coefficients of the product of (i, j).
    // False when a product or a coefficient is not finite, or when the basis is solved for
    // directly and turns out too ill-conditioned (as prepare would have found). `check` as in
    // Stops; with in_steps, between blocks of the row's products.
    bool solve_row(std::size_t i, PairProduct product, Workspace& work, std::vector<Complex>& coefficients,
                   const std::function<void()>& check = {}) const;

    std::size_t size() const noexcept { return n_; }

private:
    std::size_t n_ = 0, d_ = 0, length_ = 0;
    bool solve_directly_ = false;
    bool in_steps_ = false;
    double rcond_ = kMachinePrecisionRcond;
    // Gigabytes for large bases: left unzeroed, their pages touched as they are filled, between
    // stop points.
    UninitializedScratch<Complex> system_;        // row-major: row p, column k
    UninitializedScratch<Complex> stacked_;       // matrix j at rows j·d … j·d + d - 1
    UninitializedScratch<Complex> side_by_side_;  // matrix j at columns j·d … j·d + d - 1
    UninitializedScratch<Complex> inverse_t_;     // A⁺ transposed: the coefficients of pair (i, j) as row j
};

}  // namespace tanvo
