// Products of algebra elements given by coefficients: the commutator or anticommutator as a
// matrix, and the contraction of two coefficient arrays with a coefficient table.
#pragma once

#include "core/interrupt.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

ComplexMatrix su_commutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                            const CoefficientMap& f_ijk, const BasisViews& basis,
                            Interrupt interrupt = {});
ComplexMatrix su_anticommutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                                const CoefficientMap& d_ijk, const BasisViews& basis,
                                Interrupt interrupt = {});
// Component k of the result, in column 0 of an array shaped like l_a, sums f·a_i·b_j.
ComplexMatrix cross(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                    const CoefficientMap& f_ijk, Interrupt interrupt = {});

namespace reference {
// Every pair (g, t) probed; each term added as a dense scaled matrix.
ComplexMatrix su_commutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                            const CoefficientMap& f_ijk, const BasisViews& basis,
                            Interrupt interrupt = {});
ComplexMatrix su_anticommutator(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                                const CoefficientMap& d_ijk, const BasisViews& basis,
                                Interrupt interrupt = {});
ComplexMatrix cross(const ComplexMatrix& l_a, const ComplexMatrix& l_b,
                    const CoefficientMap& f_ijk, Interrupt interrupt = {});
}  // namespace reference

}  // namespace tanvo
