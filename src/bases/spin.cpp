// Spin-j matrices. The dimension, the magnetic-number sequences and the ladder factors are
// evaluated in double in one fixed grouping: it decides the last bit of every factor and, for
// negative or non-half-integer spins, which failure (if any) a call meets.
#include "bases/spin.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <functional>
#include <new>

namespace tanvo {
namespace {

constexpr double kTwoTo64 = 18446744073709551616.0;

// trunc((j + j) + 1) as a count: NaN and negatives give 0, too large values saturate.
std::uint64_t dimension(double j) {
    const double n = (j + j) + 1.0;
    if (!(n > 0.0)) return 0;
    if (n >= kTwoTo64) return UINT64_MAX;
    return std::uint64_t(n);
}

// The values start, start - 1, ..., ceil(length) of them; built on demand, never stored.
class DescendingRange {
public:
    DescendingRange(double start, double length) : start_(start) {
        if (!(length > -1.0 && length < kTwoTo64))
            fail("Converting the length to `usize` must not fail. The most likely cause of this "
                 "failure is if the sign of `end - start` is different from the sign of `step`.");
        length_ = std::uint64_t(length);
    }

    std::uint64_t length() const noexcept { return length_; }

    double operator[](std::uint64_t i) const {
        if (i >= length_) fail_index_out_of_bounds();
        return start_ - double(i);
    }

private:
    double start_;
    std::uint64_t length_ = 0;
};

// sqrt((j - m) · ((m + j) + 1)), the J_+ coefficient in the column of magnetic number m + 1.
double raising_factor(double j, double m) { return std::sqrt((j - m) * ((m + j) + 1.0)); }
// sqrt((m + j) · (((-m) + j) + 1)), the J_- coefficient in the column of magnetic number m.
double lowering_factor(double j, double m) { return std::sqrt((m + j) * (((-m) + j) + 1.0)); }

// Rows between two interrupt checks in the passes over whole matrices.
constexpr std::size_t kRowsPerInterrupt = 256;

ComplexMatrix to_complex(const RealMatrix& m, Interrupt interrupt) {
    ComplexMatrix out = ComplexMatrix::zeros(m.rows(), m.cols(), interrupt);
    for (std::size_t r = 0; r < m.rows(); ++r) {
        if (r % kRowsPerInterrupt == kRowsPerInterrupt - 1) interrupt();
        for (std::size_t c = 0; c < m.cols(); ++c) out(r, c) = {m(r, c), 0.0};
    }
    return out;
}

// 0.5·(left ± right), element by element: the sum or difference first, then the halving.
template <class Op>
void half_of_combination(RealMatrix& left, const RealMatrix& right, Op op, Interrupt interrupt) {
    for (std::size_t r = 0; r < left.rows(); ++r) {
        if (r % kRowsPerInterrupt == kRowsPerInterrupt - 1) interrupt();
        for (std::size_t c = 0; c < left.cols(); ++c) left(r, c) = op(left(r, c), right(r, c)) * 0.5;
    }
}

// j as Python prints a float's repr, near enough for a message.
std::string spin_text(double j) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", j);
    return text;
}

// Before any matrix exists: the shape must be representable, and `count` n x n matrices of
// `element_size` bytes must fit in memory. NaN and negative spins give n = 0 and pass, so
// they keep failing on their sequences.
void require_output(double j, std::uint64_t count, std::uint64_t element_size) {
    const std::uint64_t n = dimension(j);
    RealMatrix::check_shape(n, n);
    const std::string size = std::to_string(n);
    require_memory(bytes_of(n * n, count), element_size,
                   std::to_string(count) + " matrices of " + size + " x " + size + " (spin j = " + spin_text(j) + ")");
}

}  // namespace

RealMatrix jz_matrix(double j, Interrupt interrupt) {
    const std::uint64_t n = dimension(j);
    RealMatrix m = RealMatrix::zeros(n, n, interrupt);
    const DescendingRange magnetic(j, std::ceil(-((-1.0 - j) - j)));
    for (std::uint64_t r = 0; r < n; ++r) {
        if (r % kRowsPerInterrupt == kRowsPerInterrupt - 1) interrupt();
        m(r, r) = magnetic[r];
    }
    return m;
}

RealMatrix jplus_matrix(double j, Interrupt interrupt) {
    const std::uint64_t n = dimension(j);
    const DescendingRange magnetic(j - 1.0, std::ceil(-((-1.0 - j) - (j - 1.0))));
    RealMatrix m = RealMatrix::zeros(n, n, interrupt);
    // n - 1 wraps for n = 0; the first step then finds no ladder entry and fails.
    const std::uint64_t steps = n - 1;
    for (std::uint64_t i = 0; i < steps; ++i) {
        if (i % kRowsPerInterrupt == kRowsPerInterrupt - 1) interrupt();
        const double factor = raising_factor(j, magnetic[i]);
        m.at(i, i + 1) = factor;
    }
    return m;
}

RealMatrix jminus_matrix(double j, Interrupt interrupt) {
    const std::uint64_t n = dimension(j);
    const DescendingRange magnetic(j, std::ceil(-((-j) - j)));
    RealMatrix m = RealMatrix::zeros(n, n, interrupt);
    for (std::uint64_t r = 1; r < n; ++r) {
        if (r % kRowsPerInterrupt == 0) interrupt();
        m(r, r - 1) = lowering_factor(j, magnetic[r - 1]);
    }
    return m;
}

std::vector<RealMatrix> gen_sl2(double j, Interrupt interrupt) {
    require_output(j, 3, sizeof(double));
    std::vector<RealMatrix> matrices;
    matrices.reserve(3);
    matrices.push_back(jz_matrix(j, interrupt));
    matrices.push_back(jplus_matrix(j, interrupt));
    matrices.push_back(jminus_matrix(j, interrupt));
    return matrices;
}

std::vector<ComplexMatrix> gen_su2(double j, Interrupt interrupt) {
    // Three complex outputs, and two real ladders alive beside them.
    require_output(j, 4, sizeof(Complex));
    std::vector<ComplexMatrix> matrices;
    matrices.reserve(3);
    matrices.push_back(to_complex(jz_matrix(j, interrupt), interrupt));

    RealMatrix sum = jplus_matrix(j, interrupt);
    half_of_combination(sum, jminus_matrix(j, interrupt), std::plus<>(), interrupt);
    matrices.push_back(to_complex(sum, interrupt));

    RealMatrix difference = jplus_matrix(j, interrupt);
    half_of_combination(difference, jminus_matrix(j, interrupt), std::minus<>(), interrupt);
    matrices.push_back(to_complex(difference, interrupt));
    return matrices;
}

}  // namespace tanvo
