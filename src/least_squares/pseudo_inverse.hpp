// The minimum-norm pseudo-inverse of a complex matrix by one zgelsd call with the identity as
// right-hand sides: the same singular value decomposition and rank decision (RCOND -1) as a
// zgelsd solve of any single right-hand side.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "dense/complex.hpp"

namespace tanvo {

// A is m x n row-major. Returns A⁺ as n x m row-major, or nothing when LAPACK reports a failure.
std::optional<std::vector<Complex>> pseudo_inverse(std::size_t m, std::size_t n,
                                                   const std::vector<Complex>& a);

}  // namespace tanvo
