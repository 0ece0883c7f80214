// Non-template parts of the dense array layer.
#include "core/matrix.hpp"

namespace tanvo {

std::string shape_text(std::size_t rows, std::size_t cols) {
    return "[" + std::to_string(rows) + ", " + std::to_string(cols) + "]";
}

void fail_index_out_of_bounds(std::source_location where) {
    fail("ndarray: index out of bounds", where);
}

ComplexMatrix matmul(const ComplexMatrix& left, const ComplexMatrix& right,
                     std::source_location where) {
    const std::size_t m = left.rows(), k = left.cols(), k2 = right.rows(), n = right.cols();
    std::uint64_t cells = 0;
    const bool wraps = __builtin_mul_overflow(std::uint64_t(m), std::uint64_t(n), &cells);
    if (k != k2 || wraps) {
        if (wraps || cells > std::uint64_t(INT64_MAX))
            fail("ndarray: shape " + std::to_string(m) + " \u00d7 " + std::to_string(n) +
                     " overflows isize",
                 where);
        fail("ndarray: inputs " + std::to_string(m) + " \u00d7 " + std::to_string(k) + " and " +
                 std::to_string(k2) + " \u00d7 " + std::to_string(n) +
                 " are not compatible for matrix multiplication",
             where);
    }
    ComplexMatrix product = ComplexMatrix::zeros(m, n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            Complex sum{0.0, 0.0};
            for (std::size_t x = 0; x < k; ++x) sum += left(i, x) * right(x, j);
            product(i, j) = stored_product_sum(sum);
        }
    return product;
}

}  // namespace tanvo
