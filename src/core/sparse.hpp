// Matrices given by their non-zero entries: how generators hand over their mostly-zero
// output without building it densely.
#pragma once

#include <cstddef>
#include <vector>

#include "core/matrix.hpp"

namespace tanvo {

struct SparseEntry {
    std::size_t row;
    std::size_t col;
    Complex value;
};

// Every element not listed is 0 + 0i; a position is listed at most once.
struct SparseMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<SparseEntry> entries;

    ComplexMatrix to_dense() const {
        ComplexMatrix dense = ComplexMatrix::zeros(rows, cols);
        for (const SparseEntry& e : entries) dense(e.row, e.col) = e.value;
        return dense;
    }
};

}  // namespace tanvo
