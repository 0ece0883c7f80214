// Products and coefficients of a row of pairs by matrix products over one pseudo-inverse.
#include "coefficients/dense_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/parallel.hpp"
#include "solve/lapack.hpp"
#include "solve/pseudo_inverse.hpp"

namespace tanvo {

std::optional<DenseRowSolver> DenseRowSolver::prepare(std::size_t n, std::size_t d, const ElementOf& element) {
    DenseRowSolver s;
    const std::size_t length = d * d;
    s.n_ = n;
    s.d_ = d;
    s.length_ = length;
    require_memory(std::uint64_t(n) * length * 4 + std::uint64_t(n) * n, sizeof(Complex));
    s.system_.resize(length * n);
    s.stacked_.resize(n * length);
    s.side_by_side_.resize(d * n * d);
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex v = element(k, r, c);
                s.system_[(r * d + c) * n + k] = v;
                s.stacked_[(k * d + r) * d + c] = v;
                s.side_by_side_[r * (n * d) + k * d + c] = v;
            }
    // A⁺ is found with a d² x d² identity as right-hand sides. Where that dwarfs every other
    // buffer (far fewer matrices than d²), each i's products are solved for directly instead.
    s.solve_directly_ = std::uint64_t(length) * length >
                        8 * (std::uint64_t(length) * n + std::uint64_t(n) * n) + (1u << 20);
    if (!s.solve_directly_) {
        std::optional<std::vector<Complex>> inverse = pseudo_inverse(length, n, s.system_);
        if (!inverse) return std::nullopt;
        s.inverse_t_.resize(length * n);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t p = 0; p < length; ++p) s.inverse_t_[p * n + k] = (*inverse)[k * length + p];
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

bool DenseRowSolver::solve_row(std::size_t i, PairProduct product, Workspace& work,
                               std::vector<Complex>& coefficients) const {
    const std::size_t n = n_, d = d_, length = length_;
    const double sign = product == PairProduct::commutator ? -1.0 : 1.0;
    std::copy_n(stacked_.begin() + std::ptrdiff_t(i * length), length, work.block.begin());
    multiply_row_major(d, n * d, d, work.block.data(), side_by_side_.data(), work.left.data());  // B_i B_j
    multiply_row_major(n * d, d, d, stacked_.data(), work.block.data(), work.right.data());     // B_j B_i
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex p = work.left[r * (n * d) + j * d + c], q = work.right[(j * d + r) * d + c];
                const Complex b{p.re + sign * q.re, p.im + sign * q.im};
                if (!std::isfinite(b.re) || !std::isfinite(b.im)) return false;
                work.products[j * length + r * d + c] = b;
            }
    if (solve_directly_) {
        std::optional<std::vector<Complex>> solved = solve_each(length, n, system_, n, work.products.data());
        if (!solved) return false;
        coefficients = std::move(*solved);
    } else {
        coefficients.resize(n * n);
        multiply_row_major(n, n, length, work.products.data(), inverse_t_.data(), coefficients.data());
    }
    return true;
}

}  // namespace tanvo
