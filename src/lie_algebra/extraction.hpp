// Structure constants and symmetric coefficients of a basis: each commutator (anticommutator)
// of a pair expanded in the basis by least squares, keeping its first non-negligible term.
#pragma once

#include "lie_algebra/coefficients.hpp"

namespace tanvo {

CoefficientList structure_constants(const Basis& basis);
CoefficientList d_coefficients(const Basis& basis);

namespace reference {
// One full least-squares solve per ordered pair.
CoefficientList structure_constants(const Basis& basis);
CoefficientList d_coefficients(const Basis& basis);
}  // namespace reference

}  // namespace tanvo
