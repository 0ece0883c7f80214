// The Lie closure of sums of Pauli strings: an orthonormal basis (under <A, B> = tr(A^† B) /
// q^n, for which the strings are orthonormal) of the span of the generators and their nested
// commutators, every element a sparse sum of strings, found by Gram–Schmidt keyed on strings.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>

#include "bases/pauli_strings.hpp"
#include "bases/pauli_sums.hpp"
#include "closure/closure.hpp"

namespace tanvo {

struct SumClosureOptions {
    double tol = 1e-10;
    std::optional<std::size_t> max_dimension;  // fail once the algebra passes it
    unsigned threads = 1;
    // Every generator is a qubit sum i Σ r_P P with real r_P (anti-Hermitian): the elements are
    // then held by their real r_P, at a quarter of the arithmetic.
    bool real = false;
    // Every generator is anti-Hermitian, so each ad_g is antisymmetric under the inner product:
    // <e_j, [g, e_i]> = -conj <e_i, [g, e_j]>, and half of every candidate's projections are
    // known from earlier ones.
    bool antisymmetric = false;
    // Called from the thread running the closure, at most a few times per second.
    std::function<void(const ClosureProgress&)> progress;
};

// The basis: independent generators first (normalised and reduced against those before), then
// the reduced commutators [g, e] of each element e in turn with each generator g, in that
// order. Elements' terms are in the order their strings were first seen. Candidates are reduced
// in parallel in batches of a fixed size, then accepted one by one after a reduction against
// the batch's own new elements, so the result does not depend on `threads`. Throws
// ClosureTooLarge past max_dimension.
StringSums sum_closure(const StringShape& shape, const StringSumsView& generators, const SumClosureOptions& options,
                       const std::stop_token& stop = {});

}  // namespace tanvo
