// Generalized Gell-Mann generator. The fast routine lists only the non-zero entries of each
// i·G(j, k), with the values the dense product by 0 + 1i stores, signed zeros included.
#include "bases/gellmann.hpp"

#include <cmath>
#include <new>
#include <string>

namespace tanvo {
namespace {

constexpr Complex kImaginaryUnit{0.0, 1.0};
constexpr Complex kMinusI{-0.0, -1.0};
constexpr Complex kPlusI{0.0, 1.0};

// sqrt(2 / ((1 + l) · l)), in this order, so that the diagonal of G(l, l) has trace of its
// square equal to 2.
double diagonal_factor(std::uint64_t l) {
    const double level = double(l);
    return std::sqrt(2.0 / ((1.0 + level) * level));
}

// A complex entry times a real factor, part by part.
Complex scaled_by(Complex entry, double factor) { return {entry.re * factor, entry.im * factor}; }

// The d² - 1 matrices of d² elements that the caller will hold must fit in memory.
void require_basis_memory(std::uint64_t d) {
    const std::uint64_t cells = bytes_of(d, d);
    const std::string size = std::to_string(d);
    require_memory(bytes_of(cells == 0 ? 0 : cells - 1, cells), sizeof(Complex),
                   "the generalized Gell-Mann basis of su(" + size + ") (d\u00b2 - 1 matrices of " + size + " x " +
                       size + ")");
}

}  // namespace

ComplexMatrix gellmann_matrix(std::uint64_t j, std::uint64_t k, std::uint64_t d) {
    ComplexMatrix g = ComplexMatrix::zeros(d, d);
    if (j > k) {
        g.at(j - 1, k - 1) = {1.0, 0.0};
        g.at(k - 1, j - 1) = {1.0, 0.0};
    } else if (j < k) {
        g.at(j - 1, k - 1) = kMinusI;
        g.at(k - 1, j - 1) = kPlusI;
    } else if (j < d) {
        const std::uint64_t l = j;
        const double s = diagonal_factor(l);
        for (std::uint64_t p = 0; p < l; ++p) g.at(p, p) = {1.0, 0.0};
        g.at(l, l) = {-double(l), 0.0};
        for (std::uint64_t r = 0; r < d; ++r)
            for (std::uint64_t c = 0; c < d; ++c) g(r, c) = scaled_by(g(r, c), s);
    } else {
        for (std::uint64_t p = 0; p < d; ++p) g.at(p, p) = {1.0, 0.0};
    }
    return g;
}

namespace reference {

std::vector<ComplexMatrix> gen_gellmann(std::uint64_t d) {
    require_basis_memory(d);
    std::vector<ComplexMatrix> basis;
    basis.reserve(d * d);
    if (d < 2) return basis;
    for (std::uint64_t j = 1; j <= d; ++j)
        for (std::uint64_t k = 1; k <= d; ++k) {
            if (j == d && k == d) continue;
            ComplexMatrix g = gellmann_matrix(j, k, d);
            scale(g, kImaginaryUnit);
            basis.push_back(std::move(g));
        }
    return basis;
}

}  // namespace reference

std::vector<SparseMatrix> gen_gellmann(std::uint64_t d) {
    require_basis_memory(d);
    std::vector<SparseMatrix> basis;
    basis.reserve(d * d);
    if (d < 2) return basis;

    // The zeros of G stay +0 under the product by i; only the entries below change.
    const Complex symmetric = Complex{1.0, 0.0} * kImaginaryUnit;
    const Complex antisymmetric_upper = kMinusI * kImaginaryUnit;
    const Complex antisymmetric_lower = kPlusI * kImaginaryUnit;
    auto pair = [d](std::uint64_t row, std::uint64_t col, Complex upper, Complex lower) {
        return SparseMatrix{d, d, {{row, col, upper}, {col, row, lower}}};
    };
    auto diagonal = [d](std::uint64_t l) {
        const double s = diagonal_factor(l);
        const Complex leading = scaled_by({1.0, 0.0}, s) * kImaginaryUnit;
        SparseMatrix m{d, d, {}};
        m.entries.reserve(l + 1);
        for (std::uint64_t p = 0; p < l; ++p) m.entries.push_back({p, p, leading});
        m.entries.push_back({l, l, scaled_by({-double(l), 0.0}, s) * kImaginaryUnit});
        return m;
    };

    for (std::uint64_t j = 1; j <= d; ++j)
        for (std::uint64_t k = 1; k <= d; ++k) {
            if (j > k)
                basis.push_back(pair(j - 1, k - 1, symmetric, symmetric));
            else if (j < k)
                basis.push_back(pair(j - 1, k - 1, antisymmetric_upper, antisymmetric_lower));
            else if (j < d)
                basis.push_back(diagonal(j));
        }
    return basis;
}

}  // namespace tanvo
