// Complex least squares over LAPACK zgelsd: the minimum-norm x minimising |A x - b|, or a
// SolverError value saying why there is none.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/matrix.hpp"

namespace tanvo {

// The INFO value zgelsd returned (or would return): -i names the illegal i-th argument.
struct LapackInvalidValue {
    std::int32_t return_code;
};
// INFO > 0: the singular value decomposition did not converge.
struct LapackComputationalFailure {
    std::int32_t return_code;
};
using LapackError = std::variant<LapackInvalidValue, LapackComputationalFailure>;

enum class ShapeErrorKind { IncompatibleShape };
struct ShapeError {
    ShapeErrorKind kind;
};

struct SolverError {
    std::variant<LapackError, ShapeError> cause;
};

// "Lapack(LapackInvalidValue { return_code: -4 })", "Shape(ShapeError/IncompatibleShape:
// incompatible shapes)", ...: the text a failed solve is reported with.
std::string render(const SolverError& error);

// Either the solution x (length n) or why there is none.
using LeastSquaresResult = std::variant<std::vector<Complex>, SolverError>;

// zgelsd's RCOND, the rank rule: singular values at or below rcond times the largest count as
// zero. A negative rcond means machine precision, the rule of tanvo's maps, which their results
// are fixed by; numpy.linalg.lstsq's default is max(m, n) times machine precision.
inline constexpr double kMachinePrecisionRcond = -1.0;

// Solves min |a x - b| for the m x n matrix `a` (any storage order, read in logical order)
// and the length-m vector `b`, returning the minimum-norm minimiser under the rank rule
// `rcond`. Neither input changes. A non-finite entry in `a` or `b` is refused as LAPACK's
// illegal 4th or 6th argument before LAPACK is called: its SVD can loop forever on NaN.
LeastSquaresResult solve_least_squares(const ComplexMatrix& a, std::span<const Complex> b,
                                       double rcond = kMachinePrecisionRcond);

}  // namespace tanvo
