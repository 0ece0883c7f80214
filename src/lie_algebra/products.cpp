#include "lie_algebra/products.hpp"
namespace tanvo {
ComplexMatrix su_commutator(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&, const Basis&) { fail("not built yet"); }
ComplexMatrix su_anticommutator(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&, const Basis&) { fail("not built yet"); }
ComplexMatrix cross(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&) { fail("not built yet"); }
namespace reference {
ComplexMatrix su_commutator(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&, const Basis&) { fail("not built yet"); }
ComplexMatrix su_anticommutator(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&, const Basis&) { fail("not built yet"); }
ComplexMatrix cross(const ComplexMatrix&, const ComplexMatrix&, const CoefficientMap&) { fail("not built yet"); }
}
}  // namespace tanvo
