// Structure constants and symmetric coefficients of a basis: each commutator (anticommutator)
// of a pair expanded in the basis by least squares, keeping its first non-negligible term.
#pragma once

#include "core/interrupt.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

// Same map as the per-pair method up to rounding, with the same failures in the same order,
// handed to `sink` as it is found: a sink may build its result while later pairs are computed.
void structure_constants(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt = {});
void d_coefficients(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt = {});

namespace reference {
// One full least-squares solve per ordered pair, on copies of the matrices.
CoefficientList structure_constants(const BasisViews& basis, Interrupt interrupt = {});
CoefficientList d_coefficients(const BasisViews& basis, Interrupt interrupt = {});
// The same lists handed to a sink once complete.
void structure_constants(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt = {});
void d_coefficients(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt = {});
}  // namespace reference

}  // namespace tanvo
