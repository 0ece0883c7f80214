// Lie closure: an orthonormal basis (trace inner product) of the span of a set of matrices and
// all their nested commutators, found by commuting each new element with the generators only.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <vector>

#include "core/complex.hpp"

namespace tanvo {

// How elements are held while the closure grows. Automatic picks Pauli coordinates when d is a
// power of two and the generators are short sums of Pauli words, matrix entries when they have
// few non-zero entries (monomial matrices), dense d x d matrices otherwise.
enum class ClosureMethod { Automatic, Pauli, Entries, Dense };

struct ClosureProgress {
    std::size_t dimension = 0;  // independent elements found so far
    std::size_t tried = 0;      // commutators formed and reduced against the span
    double seconds = 0.0;
};

struct ClosureOptions {
    double tol = 1e-10;
    std::optional<std::size_t> max_dimension;  // fail once the algebra passes it
    unsigned threads = 1;
    ClosureMethod method = ClosureMethod::Automatic;
    // Called from the thread running the closure, at most a few times per second.
    std::function<void(const ClosureProgress&)> progress;
};

struct ClosureBasis {
    std::size_t count = 0;
    std::size_t d = 0;
    std::vector<Complex> elements;  // count x d x d, row-major
};

// The algebra passed ClosureOptions::max_dimension.
class ClosureTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// `generators`: m row-major d x d matrices, contiguous, of any scale. Elements come in the order
// found (independent generators first); the result does not depend on `threads`. When every
// generator is Hermitian or anti-Hermitian (within tol), the Hermitian ones are multiplied by i
// and every element is anti-Hermitian: a basis of the compact real form, of the same size.
ClosureBasis lie_closure(const Complex* generators, std::size_t m, std::size_t d,
                         const ClosureOptions& options, const std::stop_token& stop = {});

namespace reference {
// The same closure one candidate at a time on dense matrices with plain loops: the routine the
// fast paths are checked against (equal elements up to rounding).
ClosureBasis lie_closure(const Complex* generators, std::size_t m, std::size_t d, double tol);
}  // namespace reference

}  // namespace tanvo
