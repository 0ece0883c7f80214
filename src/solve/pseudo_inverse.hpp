// The minimum-norm pseudo-inverse of a complex matrix by one zgelsd call with the identity as
// right-hand sides, and the minimum-norm solutions for many right-hand sides by one zgelsd
// call: the same singular value decomposition and rank decision (the same RCOND) as a zgelsd
// solve of any single right-hand side. For well-conditioned tall matrices, also a pseudo-inverse
// built from steps that can be stopped, under the same rank rule.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "solve/least_squares.hpp"

namespace tanvo {

// Below this ratio to the largest, a singular value that zgelsd keeps amplifies rounding
// until it decides which coefficients are negligible: then only the same rounding, that of
// the per-pair solves, gives the same answer.
inline constexpr double kConditionBound = 1e-8;

// Both give nothing when LAPACK reports a failure, when A is so ill-conditioned (a singular
// value kept below kConditionBound of the largest) that rounding decides the solutions, or
// when a solution is not finite. The single zgelsd call has no stop point: with `wait_point`,
// it runs on a helper thread while the caller waits there, and a caller that leaves by its
// exception leaves the call to finish on its own (see run_leavable).

// A is m x n row-major. Returns A⁺ as n x m row-major, singular values at or below rcond
// times the largest taken as zero (kMachinePrecisionRcond: machine precision).
std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   std::span<const Complex> a,
                                                   double rcond = kMachinePrecisionRcond,
                                                   const std::function<void()>& wait_point = {});

// A is m x n row-major; `b` holds `count` right-hand sides of length m, one after another.
// Returns the `count` solutions of length n, one after another, under the same rank rule.
std::optional<std::vector<Complex>> solve_each(std::size_t m, std::size_t n,
                                               std::span<const Complex> a, std::size_t count,
                                               const Complex* b, double rcond = kMachinePrecisionRcond,
                                               const std::function<void()>& wait_point = {});

// The same A⁺ as pseudo_inverse under the rank rule `rcond` (up to rounding) from steps of a
// few tens of milliseconds with `stop_point()` between them, which may throw to abandon the
// work: a Householder QR in panels, R⁻¹ and Q applied in blocks. Only for m >= n and A provably
// well-conditioned (|R|_F |R⁻¹|_F at most half of 1 / max(rcond, kConditionBound), so that the
// SVD would keep every singular value under that rank rule and accept them): nothing
// otherwise, and the SVD decides.
std::optional<std::vector<Complex>> pseudo_inverse_in_steps(std::size_t m, std::size_t n, std::span<const Complex> a,
                                                            double rcond, const std::function<void()>& stop_point);

}  // namespace tanvo
