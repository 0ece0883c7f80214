// The Fortran BLAS/LAPACK symbols the project calls, and a row-major complex matrix product.
#pragma once

#include <cstddef>

#include "dense/complex.hpp"

extern "C" {
void zgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const tanvo::Complex* alpha, const tanvo::Complex* a, const int* lda,
            const tanvo::Complex* b, const int* ldb, const tanvo::Complex* beta, tanvo::Complex* c,
            const int* ldc, std::size_t transa_length, std::size_t transb_length);
}

namespace tanvo {

// C (m x n) = A (m x k) · B (k x n), all row-major and contiguous. Rounding is BLAS's own:
// only for results that are compared up to rounding.
void multiply_row_major(std::size_t m, std::size_t n, std::size_t k, const Complex* a,
                        const Complex* b, Complex* c);

}  // namespace tanvo
