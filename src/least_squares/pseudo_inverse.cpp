// Pseudo-inverse and row-major matrix product over BLAS/LAPACK.
#include "least_squares/pseudo_inverse.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include "dense/matrix.hpp"
#include "least_squares/lapack.hpp"


namespace tanvo {

void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a,
                        const Complex* b, Complex* c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        std::fill(c, c + m * n, Complex{});
        return;
    }
    // Row-major C = A·B is column-major Cᵀ = Bᵀ·Aᵀ.
    const std::int32_t mi = std::int32_t(m), ni = std::int32_t(n), ki = std::int32_t(k);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    zgemm_("N", "N", &ni, &mi, &ki, &one, b, &ni, a, &ki, &zero, c, &ni, 1, 1);
}

std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   const std::vector<Complex>& a) {
    if (m == 0 || n == 0) return std::vector<Complex>(n * m);
    const std::size_t rows = std::max(m, n);
    if (m > INT_MAX / 2 || n > INT_MAX / 2 || rows * m > std::size_t(INT_MAX)) throw std::bad_alloc();
    require_memory(std::uint64_t(rows) * m + std::uint64_t(m) * n, sizeof(Complex));

    // A zeroed column of slack after the matrix: some OpenBLAS zgemv kernels read past its end
    // (see solve_least_squares).
    std::vector<Complex> column_major(m * n + m);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < n; ++c) column_major[c * m + r] = a[r * n + c];
    std::vector<Complex> rhs(rows * m);
    for (std::size_t r = 0; r < m; ++r) rhs[r * rows + r] = {1.0, 0.0};

    const std::int32_t mi = std::int32_t(m), ni = std::int32_t(n), nrhs = std::int32_t(m);
    const std::int32_t lda = std::int32_t(m), ldb = std::int32_t(rows);
    const double rcond = -1.0;
    std::vector<double> singular(std::min(m, n));
    std::int32_t rank = 0, info = 0, query = -1, iwork_size = 0;
    Complex work_size;
    double rwork_size = 0.0;
    zgelsd_(&mi, &ni, &nrhs, column_major.data(), &lda, rhs.data(), &ldb, singular.data(), &rcond,
            &rank, &work_size, &query, &rwork_size, &iwork_size, &info);
    if (info != 0) return std::nullopt;
    const std::int32_t lwork = std::int32_t(std::min(work_size.re, double(INT32_MAX)));
    std::vector<Complex> work(std::size_t(std::max<std::int32_t>(lwork, 1)));
    std::vector<double> rwork(std::size_t(std::max(rwork_size, 1.0)));
    std::vector<std::int32_t> iwork(std::size_t(std::max(iwork_size, 1)));
    zgelsd_(&mi, &ni, &nrhs, column_major.data(), &lda, rhs.data(), &ldb, singular.data(), &rcond,
            &rank, work.data(), &lwork, rwork.data(), iwork.data(), &info);
    if (info != 0) return std::nullopt;

    // Column r of the solution holds A⁺ e_r: row k of A⁺ is entry k of every column.
    std::vector<Complex> inverse(n * m);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t k = 0; k < n; ++k) inverse[k * m + r] = rhs[r * rows + k];
    return inverse;
}

}  // namespace tanvo
