// Structure constants and symmetric coefficients by the per-pair method: the commutator or
// anticommutator of every pair, expanded in the flattened basis by a least-squares solve of
// its own, keeping the first coefficient that is not negligible.
#include "coefficients/extraction.hpp"

#include <cmath>
#include <source_location>

#include "solve/least_squares.hpp"

namespace tanvo {
namespace {

// Where a routine reports its own failures, so that a diagnostic names the routine.
struct FailureSites {
    std::source_location empty_basis;
    std::source_location too_few_elements;
    std::source_location solver;
};

constexpr double kNegligible = 1e-8;

// NaN compares false, so a NaN part is never negligible.
bool negligible(Complex c) { return std::abs(c.re) <= kNegligible && std::abs(c.im) <= kNegligible; }

// The d² x n system matrix, column k holding the first d² elements of B_k in logical
// row-major order whatever B_k's storage order, so a column-major matrix gives exactly the
// column of its row-major copy. Stored column-major: each column is one flattened matrix.
ComplexMatrix system_matrix(const Basis& basis, const FailureSites& sites) {
    const std::uint64_t d = basis[0].rows();
    std::uint64_t length = 0;
    const bool huge = __builtin_mul_overflow(d, d, &length);
    for (const ComplexMatrix& m : basis)
        if (huge || length > std::uint64_t(m.size()))
            fail(std::string(kUnwrapErr) + "ShapeError/OutOfBounds: out of bounds indexing",
                 sites.too_few_elements);

    const std::size_t n = basis.size();
    require_memory(length * n, sizeof(Complex),
                   "the " + std::to_string(length) + " x " + std::to_string(n) + " least-squares system of the basis");
    std::vector<Complex> columns(length * n);
    for (std::size_t k = 0; k < n; ++k) {
        const ComplexMatrix& m = basis[k];
        for (std::size_t t = 0; t < length; ++t) columns[k * length + t] = m(t / m.cols(), t % m.cols());
    }
    return ComplexMatrix::from_storage(length, n, 1, std::ptrdiff_t(length), std::move(columns));
}

CoefficientList expand_pair_products(const BasisViews& views, PairProduct product,
                                     const FailureSites& sites, Interrupt interrupt) {
    if (views.empty()) fail("index out of bounds: the len is 0 but the index is 0", sites.empty_basis);
    const Basis basis = copy_of(views, interrupt);
    const ComplexMatrix system = system_matrix(basis, sites);

    CoefficientList entries;
    std::vector<Complex> rhs;
    for (std::size_t i = 0; i < basis.size(); ++i)
        for (std::size_t j = 0; j < basis.size(); ++j) {
            if (i == j && product == PairProduct::commutator) continue;
            interrupt();
            ComplexMatrix combined = matmul(basis[i], basis[j]);
            const ComplexMatrix reversed = matmul(basis[j], basis[i]);
            if (product == PairProduct::commutator)
                subtract_into(combined, reversed);
            else
                add_into(combined, reversed);

            rhs.clear();
            rhs.reserve(combined.size());
            combined.for_each([&rhs](const Complex& z) { rhs.push_back(z); });
            const LeastSquaresResult solved = solve_least_squares(system, rhs);
            if (const auto* error = std::get_if<SolverError>(&solved))
                fail(kUnwrapErr + render(*error), sites.solver);

            const auto& x = std::get<std::vector<Complex>>(solved);
            for (std::size_t k = 0; k < x.size(); ++k)
                if (!negligible(x[k])) {
                    entries.push_back({i, j, k, x[k]});
                    break;
                }
        }
    return entries;
}

}  // namespace

namespace reference {

CoefficientList structure_constants(const BasisViews& basis, Interrupt interrupt) {
    return expand_pair_products(basis, PairProduct::commutator,
                                {.empty_basis = std::source_location::current(),
                                 .too_few_elements = std::source_location::current(),
                                 .solver = std::source_location::current()},
                                interrupt);
}

CoefficientList d_coefficients(const BasisViews& basis, Interrupt interrupt) {
    return expand_pair_products(basis, PairProduct::anticommutator,
                                {.empty_basis = std::source_location::current(),
                                 .too_few_elements = std::source_location::current(),
                                 .solver = std::source_location::current()},
                                interrupt);
}

void structure_constants(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt) {
    CoefficientList entries = structure_constants(basis, interrupt);
    hand_over(entries, sink);
}

void d_coefficients(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt) {
    CoefficientList entries = d_coefficients(basis, interrupt);
    hand_over(entries, sink);
}

}  // namespace reference

}  // namespace tanvo
