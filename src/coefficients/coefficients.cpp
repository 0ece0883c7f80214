// Copies of borrowed matrices; a whole coefficient list handed to a sink.
#include "coefficients/coefficients.hpp"

namespace tanvo {

ComplexMatrix MatrixView::copy() const {
    ComplexMatrix::check_shape(rows, cols);
    require_memory_for(std::uint64_t(rows) * cols, sizeof(Complex),
                       [this] { return "a copy of a " + std::to_string(rows) + " x " + std::to_string(cols) + " matrix"; });
    std::vector<Complex> storage;
    storage.reserve(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) storage.push_back((*this)(r, c));
    return ComplexMatrix::from_storage(rows, cols, std::ptrdiff_t(cols), 1, std::move(storage));
}

Basis copy_of(const BasisViews& basis, Interrupt interrupt) {
    Basis copies;
    copies.reserve(basis.size());
    for (const MatrixView& m : basis) {
        interrupt();
        copies.push_back(m.copy());
    }
    return copies;
}

void hand_over(CoefficientList& entries, CoefficientSink& sink) {
    sink.expect(entries.size());
    std::vector<CoefficientEntry> run;
    run.reserve(std::min(entries.size(), CoefficientList::kBlockEntries));
    for (const CoefficientEntry& e : entries.drain()) {
        run.push_back(e);
        if (run.size() == CoefficientList::kBlockEntries) {
            sink.take(run);
            run.clear();
        }
    }
    if (!run.empty()) sink.take(run);
}

}  // namespace tanvo
