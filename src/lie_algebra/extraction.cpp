#include "lie_algebra/extraction.hpp"
namespace tanvo {
CoefficientList structure_constants(const Basis&) { fail("not built yet"); }
CoefficientList d_coefficients(const Basis&) { fail("not built yet"); }
namespace reference {
CoefficientList structure_constants(const Basis&) { fail("not built yet"); }
CoefficientList d_coefficients(const Basis&) { fail("not built yet"); }
}
}  // namespace tanvo
