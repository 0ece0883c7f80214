// Dense two-dimensional matrices of complex or real doubles with explicit element steps,
// and the array operations the algebra routines compute with.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace tanvo {

// "[r, c]": how shapes appear in failure messages.
std::string shape_text(std::size_t rows, std::size_t cols);

[[noreturn]] void fail_index_out_of_bounds(
    std::source_location where = std::source_location::current());

template <class T>
class Matrix {
public:
    Matrix() = default;

    // Row-major zero matrix. Fails when the product of the non-zero lengths overflows isize.
    // A large one is zeroed in pieces with interrupt() between them: filling (and faulting in)
    // gigabytes takes seconds.
    static Matrix zeros(std::size_t rows, std::size_t cols, Interrupt interrupt = {}) {
        check_shape(rows, cols);
        require_memory(std::uint64_t(rows) * cols, sizeof(T));
        const std::size_t count = rows * cols;
        std::vector<T> storage;
        if (count <= kZeroedPerInterrupt) {
            storage.resize(count);
        } else {
            storage.reserve(count);
            while (storage.size() < count) {
                interrupt();
                storage.resize(std::min(count, storage.size() + kZeroedPerInterrupt));
            }
        }
        return Matrix(rows, cols, std::ptrdiff_t(cols), 1, std::move(storage));
    }

    // Adopts `storage` holding element (r, c) at r * row_step + c * col_step (steps >= 0).
    static Matrix from_storage(std::size_t rows, std::size_t cols, std::ptrdiff_t row_step,
                               std::ptrdiff_t col_step, std::vector<T> storage) {
        return Matrix(rows, cols, row_step, col_step, std::move(storage));
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return rows_ * cols_; }
    std::ptrdiff_t row_step() const noexcept { return row_step_; }
    std::ptrdiff_t col_step() const noexcept { return col_step_; }

    T& operator()(std::size_t r, std::size_t c) noexcept {
        return data_[r * row_step_ + c * col_step_];
    }
    const T& operator()(std::size_t r, std::size_t c) const noexcept {
        return data_[r * row_step_ + c * col_step_];
    }

    // Bounds-checked access: "ndarray: index out of bounds".
    T& at(std::size_t r, std::size_t c,
          std::source_location where = std::source_location::current()) {
        if (r >= rows_ || c >= cols_) fail_index_out_of_bounds(where);
        return (*this)(r, c);
    }

    bool is_row_major() const noexcept {
        return rows_ == 0 || cols_ == 0 || (row_step_ == std::ptrdiff_t(cols_) && col_step_ == 1);
    }
    bool is_column_major() const noexcept {
        return (row_step_ == 1 || rows_ == 1) && (col_step_ == std::ptrdiff_t(rows_) || cols_ == 1);
    }

    // The storage in memory order; only meaningful as a whole for contiguous matrices.
    std::span<T> storage() noexcept { return data_; }
    std::span<const T> storage() const noexcept { return data_; }

    // Visits every element in row-major logical order, whatever the storage order.
    template <class F>
    void for_each(F&& visit) const {
        for (std::size_t r = 0; r < rows_; ++r)
            for (std::size_t c = 0; c < cols_; ++c) visit((*this)(r, c));
    }

    static void check_shape(std::size_t rows, std::size_t cols) {
        std::uint64_t product = 1;
        for (std::uint64_t length : {std::uint64_t(rows), std::uint64_t(cols)}) {
            if (length == 0) continue;
            if (__builtin_mul_overflow(product, length, &product) || product > INT64_MAX)
                fail("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
        }
    }

private:
    static constexpr std::size_t kZeroedPerInterrupt = std::size_t(1) << 20;

    Matrix(std::size_t rows, std::size_t cols, std::ptrdiff_t row_step, std::ptrdiff_t col_step,
           std::vector<T> data)
        : rows_(rows), cols_(cols), row_step_(row_step), col_step_(col_step),
          data_(std::move(data)) {}

    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_step_ = 0;
    std::ptrdiff_t col_step_ = 1;
    std::vector<T> data_;
};

using ComplexMatrix = Matrix<Complex>;
using RealMatrix = Matrix<double>;

// Every element e becomes e * factor.
template <class T>
void scale(Matrix<T>& m, T factor) {
    for (std::size_t r = 0; r < m.rows(); ++r)
        for (std::size_t c = 0; c < m.cols(); ++c) m(r, c) = m(r, c) * factor;
}

// left[r][c] = op(left[r][c], right'[r][c]), where right' is `right` stretched to left's
// shape (an axis of length 1 repeats). The left operand is never stretched.
template <class T, class Op>
void combine_into(Matrix<T>& left, const Matrix<T>& right, Op op,
                  std::source_location where = std::source_location::current()) {
    const bool rows_ok = right.rows() == left.rows() || right.rows() == 1;
    const bool cols_ok = right.cols() == left.cols() || right.cols() == 1;
    if (!rows_ok || !cols_ok)
        fail("ndarray: could not broadcast array from shape: " +
                 shape_text(right.rows(), right.cols()) + " to: " +
                 shape_text(left.rows(), left.cols()),
             where);
    const bool repeat_row = right.rows() != left.rows();
    const bool repeat_col = right.cols() != left.cols();
    for (std::size_t r = 0; r < left.rows(); ++r)
        for (std::size_t c = 0; c < left.cols(); ++c)
            left(r, c) = op(left(r, c), right(repeat_row ? 0 : r, repeat_col ? 0 : c));
}

template <class T>
void add_into(Matrix<T>& left, const Matrix<T>& right,
              std::source_location where = std::source_location::current()) {
    combine_into(left, right, [](T a, T b) { return a + b; }, where);
}
template <class T>
void subtract_into(Matrix<T>& left, const Matrix<T>& right,
                   std::source_location where = std::source_location::current()) {
    combine_into(left, right, [](T a, T b) { return a - b; }, where);
}
template <class T>
void multiply_into(Matrix<T>& left, const Matrix<T>& right,
                   std::source_location where = std::source_location::current()) {
    combine_into(left, right, [](T a, T b) { return a * b; }, where);
}

// Matrix product: each element sums left(i, x) * right(x, j) for x = 0, 1, ... from 0 + 0i,
// and stores (1 + 0i) * S + (0 + 0i) * (0 + 0i).
ComplexMatrix matmul(const ComplexMatrix& left, const ComplexMatrix& right,
                     std::source_location where = std::source_location::current());

}  // namespace tanvo
