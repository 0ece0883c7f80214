// Products and coefficients of a row of pairs by matrix products over one pseudo-inverse.
#include "coefficients/dense_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/parallel.hpp"
#include "solve/lapack.hpp"
#include "solve/pseudo_inverse.hpp"

namespace tanvo {

namespace {

// About this many complex multiply-adds per block of a row's products taken in steps.
constexpr double kMultiplyAddsPerStep = double(1 << 26);

std::size_t per_step(double per_unit) {
    return std::size_t(std::max(1.0, kMultiplyAddsPerStep / std::max(per_unit, 1.0)));
}

}  // namespace

std::optional<DenseRowSolver> DenseRowSolver::prepare(std::size_t n, std::size_t d, const ElementOf& element,
                                                      const Stops& stops, double rcond) {
    DenseRowSolver s;
    s.in_steps_ = stops.in_steps;
    s.rcond_ = rcond;
    const std::size_t length = d * d;
    s.n_ = n;
    s.d_ = d;
    s.length_ = length;
    require_memory(std::uint64_t(n) * length * 4 + std::uint64_t(n) * n, sizeof(Complex),
                   "the products of " + std::to_string(n) + " matrices of " + std::to_string(d) + " x " + std::to_string(d));
    s.system_.resize(length * n);
    s.stacked_.resize(n * length);
    s.side_by_side_.resize(d * n * d);
    // Copying gigabytes takes seconds, and its first touch of each page is most of it: every
    // copy is written in order, with stop points between pieces.
    const std::size_t matrices_per_check = per_step(double(length) * 64);
    const std::function<void()> no_check = [] {};
    const std::function<void()>& check = stops.check ? stops.check : no_check;
    for (std::size_t k = 0; k < n; ++k) {
        if (k % matrices_per_check == matrices_per_check - 1) check();
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) s.stacked_[(k * d + r) * d + c] = element(k, r, c);
    }
    // Row r of every matrix side by side: the stacked rows regrouped.
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t k = 0; k < n; ++k)
            std::copy_n(s.stacked_.data() + (k * d + r) * d, d, s.side_by_side_.data() + r * (n * d) + k * d);
        check();
    }
    // The stacked matrices as n rows of length d², transposed.
    transpose_in_tiles(n, length, s.stacked_.data(), s.system_.data(), n, check);
    // A⁺ is found with a d² x d² identity as right-hand sides. Where that dwarfs every other
    // buffer (far fewer matrices than d²), each i's products are solved for directly instead.
    s.solve_directly_ = std::uint64_t(length) * length >
                        8 * (std::uint64_t(length) * n + std::uint64_t(n) * n) + (1u << 20);
    // In steps, a well-conditioned basis needs no identity: its A⁺ is the size of the basis.
    std::optional<std::vector<Complex>> inverse;
    if (stops.in_steps) inverse = pseudo_inverse_in_steps(length, n, s.system_, rcond, stops.check);
    if (inverse) {
        s.solve_directly_ = false;
    } else if (!s.solve_directly_) {
        inverse = pseudo_inverse(length, n, s.system_, rcond, stops.check);
        if (!inverse) return std::nullopt;
    }
    if (inverse) {
        s.inverse_t_.resize(length * n);
        transpose_in_tiles(n, length, inverse->data(), s.inverse_t_.data(), n, check);
    }
    return s;
}

double DenseRowSolver::bytes_needed(std::size_t n, std::size_t d, unsigned threads) {
    const double matrices = double(n), length = double(d) * double(d);
    const double shared = 4 * matrices * length + matrices * matrices;
    const double per_thread = 3 * matrices * length + length + matrices * matrices;
    // Each thread calls BLAS; the ones beside the caller are started.
    const double blas = double(threads) * double(kBlasBufferBytes) + double(threads - 1) * double(kThreadRoom);
    return double(sizeof(Complex)) * (shared + double(threads) * per_thread) + blas;
}

DenseRowSolver::Workspace::Workspace(std::size_t n, std::size_t d)
    : block(d * d), left(d * n * d), right(n * d * d), products(n * d * d) {}

bool DenseRowSolver::solve_row(std::size_t i, PairProduct product, Workspace& work, std::vector<Complex>& coefficients,
                               const std::function<void()>& check) const {
    const std::size_t n = n_, d = d_, length = length_;
    const double sign = product == PairProduct::commutator ? -1.0 : 1.0;
    const bool in_steps = in_steps_ && check;
    std::copy_n(stacked_.begin() + std::ptrdiff_t(i * length), length, work.block.begin());
    if (!in_steps) {
        multiply_row_major(d, n * d, d, work.block.data(), side_by_side_.data(), work.left.data());  // B_i B_j
        multiply_row_major(n * d, d, d, stacked_.data(), work.block.data(), work.right.data());     // B_j B_i
    } else {
        // A few matrices j at a time.
        const std::size_t matrices = per_step(2.0 * double(d) * double(length));
        for (std::size_t j = 0; j < n; j += matrices) {
            const std::size_t count = std::min(matrices, n - j);
            multiply_row_major(d, count * d, d, work.block.data(), d, side_by_side_.data() + j * d, n * d,
                               work.left.data() + j * d, n * d);
            multiply_row_major(count * d, d, d, stacked_.data() + j * length, work.block.data(),
                               work.right.data() + j * length);
            check();
        }
    }
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex p = work.left[r * (n * d) + j * d + c], q = work.right[(j * d + r) * d + c];
                const Complex b{p.re + sign * q.re, p.im + sign * q.im};
                if (!std::isfinite(b.re) || !std::isfinite(b.im)) return false;
                work.products[j * length + r * d + c] = b;
            }
    if (solve_directly_) {
        std::optional<std::vector<Complex>> solved =
            solve_each(length, n, system_, n, work.products.data(), rcond_, check);
        if (!solved) return false;
        coefficients = std::move(*solved);
        return true;
    }
    coefficients.resize(n * n);
    if (!in_steps) {
        multiply_row_major(n, n, length, work.products.data(), inverse_t_.data(), coefficients.data());
        return true;
    }
    // Square blocks of the n x n coefficients, each reading a block of rows of the products and
    // one of columns of A⁺ᵀ: thin slices would stream the whole of one of them at every step.
    const std::size_t side = std::max<std::size_t>(1, std::size_t(std::sqrt(double(per_step(double(length))))));
    for (std::size_t j = 0; j < n; j += side)
        for (std::size_t k = 0; k < n; k += side) {
            multiply_row_major(std::min(side, n - j), std::min(side, n - k), length, work.products.data() + j * length,
                               length, inverse_t_.data() + k, n, coefficients.data() + j * n + k, n);
            check();
        }
    return true;
}

}  // namespace tanvo
