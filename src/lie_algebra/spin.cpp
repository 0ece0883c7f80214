#include "lie_algebra/spin.hpp"
namespace tanvo {
RealMatrix jz_matrix(double) { fail("not built yet"); }
RealMatrix jplus_matrix(double) { fail("not built yet"); }
RealMatrix jminus_matrix(double) { fail("not built yet"); }
std::vector<RealMatrix> gen_sl2(double) { fail("not built yet"); }
std::vector<ComplexMatrix> gen_su2(double) { fail("not built yet"); }
}  // namespace tanvo
