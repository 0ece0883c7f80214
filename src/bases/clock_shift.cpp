// Clock-and-shift generator. The root of unity, its integer powers and every running
// product follow one fixed order of operations, so the fast and the dense method agree
// to the last bit.
#include "bases/clock_shift.hpp"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>

namespace tanvo {
namespace {

Complex root_of_unity(std::uint64_t d) {
    const double theta = 6.283185307179586 / double(d);
    const double magnitude = std::exp(0.0);
    return {magnitude * std::cos(theta), magnitude * std::sin(theta)};
}

// Square while the exponent is even, then square-and-multiply into an accumulator.
Complex integer_power(Complex base, std::uint64_t exponent) {
    if (exponent == 0) return {1.0, 0.0};
    while ((exponent & 1) == 0) {
        base = base * base;
        exponent >>= 1;
    }
    if (exponent == 1) return base;
    Complex accumulator = base;
    while (exponent > 1) {
        exponent >>= 1;
        base = base * base;
        if (exponent & 1) accumulator = accumulator * base;
    }
    return accumulator;
}

// The value a dense product stores when exactly one term of its sum is non-zero: the sum
// starts from +0 (so zero parts come out +0) and passes through the (1 + 0i) * S store.
Complex single_term_product(Complex left, Complex right) {
    return stored_product_sum(Complex{0.0, 0.0} + left * right);
}

std::string matrix_text(const ComplexMatrix& m) {
    std::string text = "[";
    char buffer[64];
    for (std::size_t r = 0; r < m.rows(); ++r) {
        text += r ? ",\n [" : "[";
        for (std::size_t c = 0; c < m.cols(); ++c) {
            std::snprintf(buffer, sizeof buffer, "%s%.17g%+.17gi", c ? ", " : "", m(r, c).re,
                          m(r, c).im);
            text += buffer;
        }
        text += "]";
    }
    return text + "]";
}

void require_close(const ComplexMatrix& p, const ComplexMatrix& q) {
    bool close = p.rows() == q.rows() && p.cols() == q.cols();
    for (std::size_t r = 0; close && r < p.rows(); ++r)
        for (std::size_t c = 0; close && c < p.cols(); ++c)
            close = std::abs(p(r, c).re - q(r, c).re) <= 1e-8 &&
                    std::abs(p(r, c).im - q(r, c).im) <= 1e-8;
    if (!close)
        fail("assert_abs_diff_eq!(z.dot(&x), w * x.dot(&z), epsilon = 1e-8)\n\n    left  = " +
             matrix_text(p) + "\n    right = " + matrix_text(q) + "\n\n");
}

ComplexMatrix shift_matrix(std::uint64_t d) {
    ComplexMatrix x = ComplexMatrix::zeros(d, d);
    for (std::uint64_t i = 1; i < d; ++i) x.at(i, i - 1) = {1.0, 0.0};
    x.at(0, d - 1) = {1.0, 0.0};
    return x;
}

}  // namespace

namespace reference {

std::vector<ComplexMatrix> gen_sylvester(std::uint64_t d) {
    const ComplexMatrix x = shift_matrix(d);
    const Complex w = root_of_unity(d);
    ComplexMatrix z = ComplexMatrix::zeros(d, d);
    for (std::uint64_t k = 0; k < d; ++k) z.at(k, k) = integer_power(w, k);

    ComplexMatrix scaled = matmul(x, z);
    scale(scaled, w);
    require_close(matmul(z, x), scaled);

    std::vector<ComplexMatrix> basis;
    basis.reserve(d * d);
    basis.push_back(x);
    basis.push_back(z);
    ComplexMatrix x_power = x;
    for (std::uint64_t a = 1; a <= d; ++a) {
        ComplexMatrix z_power = z;
        for (std::uint64_t e = 1; e <= d; ++e) {
            const bool skipped = (a == 1 && e == d) || (a == d && e == 1) || (a == d && e == d);
            if (!skipped) basis.push_back(matmul(x_power, z_power));
            z_power = matmul(z_power, z);
        }
        x_power = matmul(x_power, x);
    }
    return basis;
}

}  // namespace reference

std::vector<SparseMatrix> gen_sylvester(std::uint64_t d) {
    if (d == 0) fail_index_out_of_bounds();
    // d² - 1 matrices of d² elements each must fit before any work starts.
    const std::uint64_t cells = bytes_of(d, d);
    const std::string size = std::to_string(d);
    require_memory(bytes_of(cells, cells), sizeof(Complex),
                   "the clock-and-shift basis of su(" + size + ") (d\u00b2 - 1 matrices of " + size + " x " + size + ")");

    const Complex w = root_of_unity(d);
    std::vector<Complex> clock(d);
    for (std::uint64_t k = 0; k < d; ++k) clock[k] = integer_power(w, k);

    // Z·X has w^(c+1) at (c+1, c) and 1 at (0, d-1); w·(X·Z) has w·w^c there.
    ComplexMatrix p = ComplexMatrix::zeros(d, d), q = ComplexMatrix::zeros(d, d);
    for (std::uint64_t c = 0; c < d; ++c) {
        const std::uint64_t r = (c + 1) % d;
        p(r, c) = single_term_product(clock[r], {1.0, 0.0});
        q(r, c) = w * single_term_product({1.0, 0.0}, clock[c]);
    }
    require_close(p, q);

    auto shifted = [d](std::uint64_t shift, const std::vector<Complex>& diagonal) {
        SparseMatrix m{d, d, {}};
        m.entries.reserve(d);
        for (std::uint64_t c = 0; c < d; ++c)
            m.entries.push_back({(c + shift) % d, c, diagonal[c]});
        return m;
    };

    std::vector<SparseMatrix> basis;
    basis.reserve(d * d);
    basis.push_back(shifted(1, std::vector<Complex>(d, Complex{1.0, 0.0})));
    basis.push_back(shifted(0, clock));

    // powers[e - 1][c] = (w^c)^e as the running products E·Z accumulate it.
    std::vector<std::vector<Complex>> powers(d);
    powers[0] = clock;
    for (std::uint64_t e = 1; e < d; ++e) {
        powers[e].resize(d);
        for (std::uint64_t c = 0; c < d; ++c)
            powers[e][c] = single_term_product(powers[e - 1][c], clock[c]);
    }
    std::vector<Complex> entry(d);
    for (std::uint64_t a = 1; a <= d; ++a)
        for (std::uint64_t e = 1; e <= d; ++e) {
            if ((a == 1 && e == d) || (a == d && e == 1) || (a == d && e == d)) continue;
            for (std::uint64_t c = 0; c < d; ++c)
                entry[c] = single_term_product({1.0, 0.0}, powers[e - 1][c]);
            basis.push_back(shifted(a % d, entry));
        }
    return basis;
}

}  // namespace tanvo
