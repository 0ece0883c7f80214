// The minimum-norm pseudo-inverse of a complex matrix by one zgelsd call with the identity as
// right-hand sides, and the minimum-norm solutions for many right-hand sides by one zgelsd
// call: the same singular value decomposition and rank decision (the same RCOND) as a zgelsd
// solve of any single right-hand side.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/complex.hpp"
#include "solve/least_squares.hpp"

namespace tanvo {

// Both give nothing when LAPACK reports a failure, when A is so ill-conditioned (a singular
// value kept below 1e-8 of the largest) that rounding decides the solutions, or when a
// solution is not finite.

// A is m x n row-major. Returns A⁺ as n x m row-major, singular values at or below rcond
// times the largest taken as zero (kMachinePrecisionRcond: machine precision).
std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   const std::vector<Complex>& a,
                                                   double rcond = kMachinePrecisionRcond);

// A is m x n row-major; `b` holds `count` right-hand sides of length m, one after another.
// Returns the `count` solutions of length n, one after another, under the same rank rule.
std::optional<std::vector<Complex>> solve_each(std::size_t m, std::size_t n,
                                               const std::vector<Complex>& a, std::size_t count,
                                               const Complex* b, double rcond = kMachinePrecisionRcond);

}  // namespace tanvo
