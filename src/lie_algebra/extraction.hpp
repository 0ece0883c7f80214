// Structure constants and symmetric coefficients of a basis: each commutator (anticommutator)
// of a pair expanded in the basis by least squares, keeping its first non-negligible term.
#pragma once

#include "dense/interrupt.hpp"
#include "lie_algebra/coefficients.hpp"

namespace tanvo {

// Same map as the per-pair method up to rounding, with the same failures in the same order.
CoefficientList structure_constants(const BasisViews& basis, Interrupt interrupt = {});
CoefficientList d_coefficients(const BasisViews& basis, Interrupt interrupt = {});

namespace reference {
// One full least-squares solve per ordered pair, on copies of the matrices.
CoefficientList structure_constants(const BasisViews& basis, Interrupt interrupt = {});
CoefficientList d_coefficients(const BasisViews& basis, Interrupt interrupt = {});
}  // namespace reference

}  // namespace tanvo
