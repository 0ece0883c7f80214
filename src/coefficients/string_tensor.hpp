// Coefficient tensors of a basis of Pauli strings, without matrices: the product of two
// strings is a phase times one string, so each pair (i, j) has at most one term per basis
// element holding that string, in closed form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>

#include "bases/pauli_strings.hpp"
#include "bases/pauli_sums.hpp"
#include "coefficients/tensor.hpp"

namespace tanvo {

// A basis of n elements b_k = c_k P_k: packed strings and their coefficients (non-zero).
struct StringBasisView {
    StringShape shape;
    const std::uint64_t* strings = nullptr;
    const Complex* coefficients = nullptr;
    std::size_t size = 0;
};

// The terms (i, j, k, T) of [b_i, b_j] (or {b_i, b_j}) = Σ_k T b_k for i in the request's rows,
// sorted by (i, j, k): the minimum-norm least-squares expansion, as for matrices. With P_i P_j
// = φ P, the product is c_i c_j (φ ∓ φ') P (φ' the phase of P_j P_i); it is spread over the
// elements b_k holding P as conj(c_k) / Σ|c|^2 of that product (one element in a basis of
// distinct strings), and a product outside the basis has no terms. Rows are split over the
// request's threads; the result does not depend on them. Only product, tol, rows and threads
// of the request are read.
TermTable string_structure_tensor(const StringBasisView& basis, const TensorRequest& request,
                                  const std::stop_token& stop);

// A basis of sums of strings (sums, terms of each element in any order).
// The inner products <b_k, [b_i, b_j]> (or with {b_i, b_j}) for i in the request's rows, as
// sorted (i, j, k) terms, those of modulus above zero kept: the caller solves with the Gram
// matrix (for an orthonormal basis they are the tensor). With product `identity`, the Gram
// matrix itself: <b_k, b_i> as terms (i, 0, k). Rows are split over the request's threads.
enum class SumProduct { commutator, anticommutator, identity };
TermTable sum_basis_projections(const StringShape& shape, const StringSumsView& basis, SumProduct product,
                                const TensorRequest& request, const std::stop_token& stop);

namespace reference {
// The same terms, bit for bit, with each row's partners found by a test of every string of the
// basis (word operations down its columns), without the site index.
TermTable string_structure_tensor_scanning(const StringBasisView& basis, const TensorRequest& request,
                                           const std::stop_token& stop);
// The same terms pair by pair, every product formed with multiply_strings.
TermTable string_structure_tensor(const StringBasisView& basis, const TensorRequest& request);
}  // namespace reference

}  // namespace tanvo
