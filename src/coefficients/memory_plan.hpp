// Whether a coefficient computation can fit in memory, judged from the sizes of its basis (and
// which of its matrices are one and the same view) before any matrix is read or any buffer
// allocated: a computation that no route it may take could fit is refused with MemoryShortfall,
// naming the least that any of them needs.
#pragma once

#include <cstddef>
#include <functional>

#include "coefficients/coefficients.hpp"
#include "coefficients/tensor.hpp"

namespace tanvo {

// More matrices than the d² dimensions of d x d matrices may give every pair a term: the map of
// n such matrices must have room for n² entries with their Python objects (none for d = 0:
// products of matrices without rows are empty).
void require_room_for_map(std::size_t n, std::size_t d);

// The map of first terms of `basis` (structure_constants, d_coefficients): the map above, then
// the least of the routes its shapes allow (the per-pair solves always, for square matrices of
// one size the dense rows, and the sparse route unless two matrices are one view, which no set
// of orthogonal matrices has).
void require_room_for_extraction(const BasisViews& basis);

// The tensor of n matrices of d x d by `method`. `repeated()` (asked only when it decides) tells
// whether two matrices are one, which rules out the sparse orthogonal route.
void require_room_for_tensor(std::size_t n, std::size_t d, TensorMethod method, const std::function<bool()>& repeated);

// How many of `threads` the dense rows of n matrices of d x d can use, each with a row's
// products and coefficients: fewer when not all fit; MemoryShortfall when not even one does.
unsigned dense_threads_that_fit(std::size_t n, std::size_t d, unsigned threads);

// Whether two of the matrices are the same memory (equal pointers).
bool has_repeated_matrix(const BasisView& basis);

}  // namespace tanvo
