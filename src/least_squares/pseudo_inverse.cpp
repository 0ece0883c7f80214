// Pseudo-inverse and row-major matrix product over BLAS/LAPACK.
#include "least_squares/pseudo_inverse.hpp"

#include <algorithm>
#include <climits>
#include <new>

#include "dense/matrix.hpp"
#include "least_squares/blas.hpp"

extern "C" void zgelsd_(const int* m, const int* n, const int* nrhs, tanvo::Complex* a,
                        const int* lda, tanvo::Complex* b, const int* ldb, double* s,
                        const double* rcond, int* rank, tanvo::Complex* work, const int* lwork,
                        double* rwork, int* iwork, int* info);

namespace tanvo {

void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a,
                        const Complex* b, Complex* c) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        std::fill(c, c + m * n, Complex{});
        return;
    }
    // Row-major C = A·B is column-major Cᵀ = Bᵀ·Aᵀ.
    const int mi = int(m), ni = int(n), ki = int(k);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    zgemm_("N", "N", &ni, &mi, &ki, &one, b, &ni, a, &ki, &zero, c, &ni, 1, 1);
}

std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   const std::vector<Complex>& a) {
    if (m == 0 || n == 0) return std::vector<Complex>(n * m);
    const std::size_t rows = std::max(m, n);
    if (m > INT_MAX / 2 || n > INT_MAX / 2 || rows * m > std::size_t(INT_MAX)) throw std::bad_alloc();
    require_memory(std::uint64_t(rows) * m + std::uint64_t(m) * n, sizeof(Complex));

    std::vector<Complex> column_major(m * n);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < n; ++c) column_major[c * m + r] = a[r * n + c];
    std::vector<Complex> rhs(rows * m);
    for (std::size_t r = 0; r < m; ++r) rhs[r * rows + r] = {1.0, 0.0};

    const int mi = int(m), ni = int(n), nrhs = int(m), lda = int(m), ldb = int(rows);
    const double rcond = -1.0;
    std::vector<double> singular(std::min(m, n));
    int rank = 0, info = 0, query = -1, iwork_size = 0;
    Complex work_size;
    double rwork_size = 0.0;
    zgelsd_(&mi, &ni, &nrhs, column_major.data(), &lda, rhs.data(), &ldb, singular.data(), &rcond,
            &rank, &work_size, &query, &rwork_size, &iwork_size, &info);
    if (info != 0) return std::nullopt;
    const int lwork = int(work_size.re);
    std::vector<Complex> work(std::size_t(std::max(lwork, 1)));
    std::vector<double> rwork(std::size_t(std::max(rwork_size, 1.0)));
    std::vector<int> iwork(std::size_t(std::max(iwork_size, 1)));
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
