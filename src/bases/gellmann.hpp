// The generalized Gell-Mann basis of su(d), each matrix multiplied by i.
#pragma once

#include <cstdint>
#include <vector>

#include "core/matrix.hpp"
#include "core/sparse.hpp"

namespace tanvo {

// The Hermitian element G(j, k) of dimension d, 1-based indices (symmetric for j > k,
// antisymmetric for j < k, diagonal for j = k < d, the identity for j = k >= d).
ComplexMatrix gellmann_matrix(std::uint64_t j, std::uint64_t k, std::uint64_t d);

// i·G(j, k) for all (j, k) in row-major order except (d, d); empty for d < 2. Lists only the
// non-zero entries, bit-identical to the dense method. std::bad_alloc when the d² - 1 dense
// d x d matrices could not fit in memory, before any work.
std::vector<SparseMatrix> gen_gellmann(std::uint64_t d);

namespace reference {
// The dense method: each gellmann_matrix multiplied entry by entry by 0 + 1i.
std::vector<ComplexMatrix> gen_gellmann(std::uint64_t d);
}  // namespace reference

}  // namespace tanvo
