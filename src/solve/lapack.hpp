// The Fortran BLAS/LAPACK symbols the project calls (LP64 integers, everything by reference),
// and a row-major complex matrix product over BLAS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/complex.hpp"

// Builds against OpenBLAS from PyPI (scipy-openblas32) see every symbol with the prefix
// `scipy_`, so that it never clashes with another BLAS in the same process; the build defines
// TANVO_LAPACK_SYMBOL_PREFIX to it (empty for a system LAPACK). The declarations keep the plain
// Fortran names and only their linker names carry the prefix.
#ifndef TANVO_LAPACK_SYMBOL_PREFIX
#define TANVO_LAPACK_SYMBOL_PREFIX
#endif
#define TANVO_LAPACK_STRINGIFY_(x) #x
#define TANVO_LAPACK_STRINGIFY(x) TANVO_LAPACK_STRINGIFY_(x)
#define TANVO_LAPACK_SYMBOL(name) __asm__(TANVO_LAPACK_STRINGIFY(TANVO_LAPACK_SYMBOL_PREFIX) #name)

extern "C" {
// zgelsd has no character arguments, so no hidden string lengths.
void zgelsd_(const std::int32_t* m, const std::int32_t* n, const std::int32_t* nrhs,
             tanvo::Complex* a, const std::int32_t* lda, tanvo::Complex* b,
             const std::int32_t* ldb, double* s, const double* rcond, std::int32_t* rank,
             tanvo::Complex* work, const std::int32_t* lwork, double* rwork,
             std::int32_t* iwork, std::int32_t* info) TANVO_LAPACK_SYMBOL(zgelsd_);
// The two trailing lengths are the hidden lengths of the character arguments.
void zgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const tanvo::Complex* alpha, const tanvo::Complex* a, const int* lda,
            const tanvo::Complex* b, const int* ldb, const tanvo::Complex* beta, tanvo::Complex* c,
            const int* ldc, std::size_t transa_length, std::size_t transb_length)
    TANVO_LAPACK_SYMBOL(zgemm_);

// A Householder QR in panels and the pieces to apply its reflectors in blocks, and triangular
// products, solves and inverses (the trailing lengths are those of the character arguments).
void zgeqr2_(const std::int32_t* m, const std::int32_t* n, tanvo::Complex* a, const std::int32_t* lda,
             tanvo::Complex* tau, tanvo::Complex* work, std::int32_t* info) TANVO_LAPACK_SYMBOL(zgeqr2_);
void zlarft_(const char* direct, const char* storev, const std::int32_t* n, const std::int32_t* k,
             const tanvo::Complex* v, const std::int32_t* ldv, const tanvo::Complex* tau, tanvo::Complex* t,
             const std::int32_t* ldt, std::size_t direct_length, std::size_t storev_length)
    TANVO_LAPACK_SYMBOL(zlarft_);
void zlarfb_(const char* side, const char* trans, const char* direct, const char* storev, const std::int32_t* m,
             const std::int32_t* n, const std::int32_t* k, const tanvo::Complex* v, const std::int32_t* ldv,
             const tanvo::Complex* t, const std::int32_t* ldt, tanvo::Complex* c, const std::int32_t* ldc,
             tanvo::Complex* work, const std::int32_t* ldwork, std::size_t side_length, std::size_t trans_length,
             std::size_t direct_length, std::size_t storev_length) TANVO_LAPACK_SYMBOL(zlarfb_);
void ztrmm_(const char* side, const char* uplo, const char* transa, const char* diag, const std::int32_t* m,
            const std::int32_t* n, const tanvo::Complex* alpha, const tanvo::Complex* a, const std::int32_t* lda,
            tanvo::Complex* b, const std::int32_t* ldb, std::size_t side_length, std::size_t uplo_length,
            std::size_t transa_length, std::size_t diag_length) TANVO_LAPACK_SYMBOL(ztrmm_);
void ztrsm_(const char* side, const char* uplo, const char* transa, const char* diag, const std::int32_t* m,
            const std::int32_t* n, const tanvo::Complex* alpha, const tanvo::Complex* a, const std::int32_t* lda,
            tanvo::Complex* b, const std::int32_t* ldb, std::size_t side_length, std::size_t uplo_length,
            std::size_t transa_length, std::size_t diag_length) TANVO_LAPACK_SYMBOL(ztrsm_);
void ztrti2_(const char* uplo, const char* diag, const std::int32_t* n, tanvo::Complex* a, const std::int32_t* lda,
             std::int32_t* info, std::size_t uplo_length, std::size_t diag_length) TANVO_LAPACK_SYMBOL(ztrti2_);

// OpenBLAS's thread count, when the library is OpenBLAS (weak: absent from other libraries).
void openblas_set_num_threads(int count) TANVO_LAPACK_SYMBOL(openblas_set_num_threads)
    __attribute__((weak));
int openblas_get_num_threads() TANVO_LAPACK_SYMBOL(openblas_get_num_threads) __attribute__((weak));
}

namespace tanvo {

// The working buffer OpenBLAS maps for each thread at its first BLAS or LAPACK call; when it
// cannot, the library ends the process, so routes count it in their memory.
inline constexpr std::uint64_t kBlasBufferBytes = std::uint64_t(32) << 20;

// While it lives, BLAS and LAPACK calls run on their calling thread only: for work that is
// already split over threads of its own, where BLAS's threads would only compete with them.
// OpenBLAS's threads hand work over by spinning, so on cores that other processes keep busy
// each hand-off can wait for a time slice: threaded mid-sized products then took ten times
// longer than single-threaded ones. The thread count is process-wide: a concurrent BLAS call
// elsewhere in the process runs single-threaded too, and a count of the living guards lets
// overlapping calls restore the setting once, after the last one.
class SingleThreadedBlas {
public:
    SingleThreadedBlas();
    ~SingleThreadedBlas();
    SingleThreadedBlas(const SingleThreadedBlas&) = delete;
    SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
};

// to[c * ld_to + r] = from[r * cols + c]: a transposing copy by tiles (both sides then read
// and written in order), with stop_point() called after every million or so elements and
// the pages of `to` first touched here, between those calls.
void transpose_in_tiles(std::size_t rows, std::size_t cols, const Complex* from, Complex* to, std::size_t ld_to,
                        const std::function<void()>& stop_point);

// A (m x n, row-major) copied column-major for LAPACK, with a zeroed column of slack after the
// matrix: some OpenBLAS zgemv kernels read past its end (see solve_least_squares).
std::vector<Complex> lapack_copy(std::size_t m, std::size_t n, std::span<const Complex> a);

// C (m x n) = A (m x k) · B (k x n), all row-major and contiguous. Rounding is BLAS's own:
// only for results that are compared up to rounding.
void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a,
                        const Complex* b, Complex* c);
// The same for blocks of larger row-major matrices: rows lda, ldb, ldc elements apart.
void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a, std::size_t lda,
                        const Complex* b, std::size_t ldb, Complex* c, std::size_t ldc);

}  // namespace tanvo
