// Pauli-word coordinates of matrices of size d = 2^n: the words W(x, z) = X^x Z^z / sqrt(d),
// an orthonormal basis under tr(A^† B), keyed by x << 32 | z. Products of words are words up to
// a sign, found with bit operations, so sums of few words stay short through commutators.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/complex.hpp"
#include "core/sparse_vector.hpp"

namespace tanvo {

inline bool is_power_of_two(std::size_t d) { return d != 0 && (d & (d - 1)) == 0; }

// Whether the word X^x Z^z of `key` is Hermitian: (X^x Z^z)^† = Z^z X^x = (-1)^{x·z} X^x Z^z, so
// it is when x·z is even, and anti-Hermitian otherwise.
inline bool word_is_hermitian(std::uint64_t key) { return (std::popcount(key & (key >> 32)) & 1) == 0; }

// The coordinates of the row-major d x d matrix (d a power of two, at most 2^32) by a
// Walsh–Hadamard transform of each of its d generalised diagonals; coordinates that are zero
// up to the transform's rounding are left out.
SparseVector pauli_coordinates(const Complex* matrix, std::size_t d);

// [a, b] in the same coordinates.
void pauli_commutator(const SparseVector& a, const SparseVector& b, std::size_t d,
                      KeyAccumulator& sum);

// Writes the matrix with coordinates v into the zeroed row-major d x d `out`.
void pauli_to_dense(const SparseVector& v, std::size_t d, Complex* out);

}  // namespace tanvo
