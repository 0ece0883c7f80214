// The clock-and-shift basis of su(d): X, Z, then X^a Z^e in row-major order of (a, e).
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "core/sparse.hpp"

namespace tanvo {

// Builds each element as a permutation times a diagonal; bit-identical to the dense method.
std::vector<SparseMatrix> gen_sylvester(std::uint64_t d);

namespace reference {
// The straightforward method: dense products of running powers.
std::vector<ComplexMatrix> gen_sylvester(std::uint64_t d);
}  // namespace reference

}  // namespace tanvo
