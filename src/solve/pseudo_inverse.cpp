// Pseudo-inverse, least squares for many right-hand sides, and row-major matrix product over
// BLAS/LAPACK.
#include "solve/pseudo_inverse.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>

#include "core/matrix.hpp"
#include "core/parallel.hpp"
#include "solve/lapack.hpp"


namespace tanvo {

namespace {
std::mutex blas_threads_lock;
int single_threaded_users = 0;
int saved_blas_threads = 0;
}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
    if (!openblas_set_num_threads || !openblas_get_num_threads) return;
    std::lock_guard guard(blas_threads_lock);
    if (single_threaded_users++ == 0) {
        saved_blas_threads = openblas_get_num_threads();
        openblas_set_num_threads(1);
    }
}

SingleThreadedBlas::~SingleThreadedBlas() {
    if (!openblas_set_num_threads || !openblas_get_num_threads) return;
    std::lock_guard guard(blas_threads_lock);
    if (--single_threaded_users == 0 && saved_blas_threads > 0) openblas_set_num_threads(saved_blas_threads);
}

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

void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a, std::size_t lda,
                        const Complex* b, std::size_t ldb, Complex* c, std::size_t ldc) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        for (std::size_t r = 0; r < m; ++r) std::fill(c + r * ldc, c + r * ldc + n, Complex{});
        return;
    }
    const std::int32_t mi = std::int32_t(m), ni = std::int32_t(n), ki = std::int32_t(k);
    const std::int32_t la = std::int32_t(lda), lb = std::int32_t(ldb), lc = std::int32_t(ldc);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    zgemm_("N", "N", &ni, &mi, &ki, &one, b, &lb, a, &la, &zero, c, &lc, 1, 1);
}

void transpose_in_tiles(std::size_t rows, std::size_t cols, const Complex* from, Complex* to, std::size_t ld_to,
                        const std::function<void()>& stop_point) {
    constexpr std::size_t kTile = 64, kElementsPerCheck = std::size_t(1) << 20;
    std::size_t since_check = 0;
    for (std::size_t first_row = 0; first_row < rows; first_row += kTile) {
        const std::size_t last_row = std::min(rows, first_row + kTile);
        for (std::size_t first_col = 0; first_col < cols; first_col += kTile) {
            const std::size_t last_col = std::min(cols, first_col + kTile);
            for (std::size_t c = first_col; c < last_col; ++c)
                for (std::size_t r = first_row; r < last_row; ++r) to[c * ld_to + r] = from[r * cols + c];
            since_check += (last_row - first_row) * (last_col - first_col);
            if (since_check >= kElementsPerCheck && stop_point) {
                stop_point();
                since_check = 0;
            }
        }
    }
}

std::vector<Complex> lapack_copy(std::size_t m, std::size_t n, std::span<const Complex> a) {
    std::vector<Complex> column_major(m * n + m);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < n; ++c) column_major[c * m + r] = a[r * n + c];
    return column_major;
}

namespace {

// zgelsd on the column-major A and the `count` right-hand sides in `rhs` (max(m, n) rows
// each) with the rank rule `rcond`: the workspace query, then the solve. False when LAPACK
// reports a failure, when A is too ill-conditioned, or when a solution overflows (A⁺ of a
// matrix of subnormal numbers).
bool solve_in_place(std::size_t m, std::size_t n, std::vector<Complex>& column_major,
                    std::size_t count, std::vector<Complex>& rhs, double rcond) {
    const std::size_t rows = std::max(m, n);
    const std::int32_t mi = std::int32_t(m), ni = std::int32_t(n), nrhs = std::int32_t(count);
    const std::int32_t lda = std::int32_t(m), ldb = std::int32_t(rows);
    std::vector<double> singular(std::min(m, n));
    std::int32_t rank = 0, info = 0, query = -1, iwork_size = 0;
    Complex work_size;
    double rwork_size = 0.0;
    zgelsd_(&mi, &ni, &nrhs, column_major.data(), &lda, rhs.data(), &ldb, singular.data(), &rcond,
            &rank, &work_size, &query, &rwork_size, &iwork_size, &info);
    if (info != 0) return false;
    const std::int32_t lwork = std::int32_t(std::min(work_size.re, double(INT32_MAX)));
    std::vector<Complex> work(std::size_t(std::max<std::int32_t>(lwork, 1)));
    std::vector<double> rwork(std::size_t(std::max(rwork_size, 1.0)));
    std::vector<std::int32_t> iwork(std::size_t(std::max(iwork_size, 1)));
    zgelsd_(&mi, &ni, &nrhs, column_major.data(), &lda, rhs.data(), &ldb, singular.data(), &rcond,
            &rank, work.data(), &lwork, rwork.data(), iwork.data(), &info);
    if (info != 0) return false;
    if (rank > 0 && singular[std::size_t(rank) - 1] < kConditionBound * singular[0]) return false;
    return std::all_of(rhs.begin(), rhs.end(),
                       [](Complex z) { return std::isfinite(z.re) && std::isfinite(z.im); });
}

// LAPACK's 32-bit sizes, and the memory for the matrix copy and `count` right-hand sides.
void require_lapack_sizes(std::size_t m, std::size_t n, std::size_t count) {
    const std::size_t rows = std::max(m, n);
    if (m > INT_MAX / 2 || n > INT_MAX / 2 || count > std::size_t(INT_MAX) ||
        rows * count > std::size_t(INT_MAX))
        throw std::bad_alloc();
    require_memory(std::uint64_t(rows) * count + std::uint64_t(m) * n + m, sizeof(Complex));
}

}  // namespace

std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   std::span<const Complex> a, double rcond,
                                                   const std::function<void()>& wait_point) {
    if (m == 0 || n == 0) return std::vector<Complex>(n * m);
    require_lapack_sizes(m, n, m);
    const std::size_t rows = std::max(m, n);
    // Owned by the solve, which a caller that leaves at wait_point leaves running.
    const auto column_major = std::make_shared<std::vector<Complex>>(lapack_copy(m, n, a));
    const auto rhs = std::make_shared<std::vector<Complex>>(rows * m);
    for (std::size_t r = 0; r < m; ++r) (*rhs)[r * rows + r] = {1.0, 0.0};
    const auto solved = std::make_shared<bool>(false);
    // The caller's single-threaded BLAS may end before a solve it left: the solve keeps its own.
    run_leavable(
        [=] {
            const SingleThreadedBlas one_thread;
            *solved = solve_in_place(m, n, *column_major, m, *rhs, rcond);
        },
        wait_point);
    if (!*solved) return std::nullopt;

    // Column r of the solution holds A⁺ e_r: row k of A⁺ is entry k of every column.
    std::vector<Complex> inverse(n * m);
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t k = 0; k < n; ++k) inverse[k * m + r] = (*rhs)[r * rows + k];
    return inverse;
}

std::optional<std::vector<Complex>> solve_each(std::size_t m, std::size_t n,
                                               std::span<const Complex> a, std::size_t count,
                                               const Complex* b, double rcond,
                                               const std::function<void()>& wait_point) {
    if (m == 0 || n == 0 || count == 0) return std::vector<Complex>(n * count);
    require_lapack_sizes(m, n, count);
    const std::size_t rows = std::max(m, n);
    const auto column_major = std::make_shared<std::vector<Complex>>(lapack_copy(m, n, a));
    const auto rhs = std::make_shared<std::vector<Complex>>(rows * count);
    for (std::size_t c = 0; c < count; ++c) std::copy(b + c * m, b + c * m + m, rhs->begin() + c * rows);
    const auto solved = std::make_shared<bool>(false);
    run_leavable(
        [=] {
            const SingleThreadedBlas one_thread;
            *solved = solve_in_place(m, n, *column_major, count, *rhs, rcond);
        },
        wait_point);
    if (!*solved) return std::nullopt;

    std::vector<Complex> solutions(n * count);
    for (std::size_t c = 0; c < count; ++c)
        std::copy(rhs->begin() + c * rows, rhs->begin() + c * rows + n, solutions.begin() + c * n);
    return solutions;
}

}  // namespace tanvo
