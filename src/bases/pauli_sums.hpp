// Sums of packed strings in the CSR layout (every term's string and coefficient, operator by
// operator, with offsets): merging equal strings, and elementwise commutators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "bases/pauli_strings.hpp"
#include "core/complex.hpp"

namespace tanvo {

struct StringSums {
    std::vector<std::uint64_t> strings;  // terms x words
    std::vector<Complex> coefficients;   // one per term
    std::vector<std::int64_t> offsets;   // operators + 1
};

// A read-only view of sums in the same layout.
struct StringSumsView {
    const std::uint64_t* strings = nullptr;
    const Complex* coefficients = nullptr;
    const std::int64_t* offsets = nullptr;
    std::size_t operators = 0;
};

// Each operator with equal strings merged (in the order first seen) and the terms whose
// coefficient has modulus at most `tol` dropped.
StringSums simplify_sums(const StringShape& shape, const StringSumsView& sums, double tol,
                         const std::stop_token& stop = {});

// [a_k, b_k] for each k (a batch of one operator pairs with every operator of the other),
// simplified as above.
StringSums commutator_sums(const StringShape& shape, const StringSumsView& a, const StringSumsView& b, double tol,
                           const std::stop_token& stop = {});

// The Pauli decomposition of m row-major d x d matrices, d = 2^sites (at most 2^31): for
// each, the strings P with coefficient tr(P A) / d of modulus above `tol`, found by the
// Walsh–Hadamard transform of pauli_coordinates.
StringSums qubit_sums_of_matrices(const Complex* matrices, std::size_t m, std::size_t sites, double tol,
                                  const std::stop_token& stop = {});

// Adds the terms (string, coefficient) into an operator under construction, merging equal
// strings; `finish` appends the operator's surviving terms to `out`.
class TermAccumulator {
public:
    explicit TermAccumulator(std::size_t words) : set_(words) {}
    void add(const std::uint64_t* s, Complex c);
    void finish(double tol, StringSums& out);

private:
    StringSet set_;
    std::vector<Complex> sums_;
};

}  // namespace tanvo
