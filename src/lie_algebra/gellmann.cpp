#include "lie_algebra/gellmann.hpp"
namespace tanvo {
ComplexMatrix gellmann_matrix(std::uint64_t, std::uint64_t, std::uint64_t) { fail("not built yet"); }
std::vector<SparseMatrix> gen_gellmann(std::uint64_t) { fail("not built yet"); }
namespace reference {
std::vector<ComplexMatrix> gen_gellmann(std::uint64_t) { fail("not built yet"); }
}
}  // namespace tanvo
