#include "lie_algebra/extraction.hpp"
namespace tanvo::reference {
CoefficientList structure_constants(const Basis&, Interrupt) { fail("not built yet"); }
CoefficientList d_coefficients(const Basis&, Interrupt) { fail("not built yet"); }
}  // namespace tanvo::reference
