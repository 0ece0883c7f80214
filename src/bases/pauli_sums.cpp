// Merging and commutators of sums of strings, one operator at a time.
#include "bases/pauli_sums.hpp"

#include <cmath>

#include "core/parallel.hpp"

namespace tanvo {

void TermAccumulator::add(const std::uint64_t* s, Complex c) {
    const auto [number, added] = set_.insert(s);
    if (added)
        sums_.push_back(c);
    else
        sums_[number] += c;
}

void TermAccumulator::finish(double tol, StringSums& out) {
    const std::size_t words = set_.words();
    for (std::size_t t = 0; t < sums_.size(); ++t) {
        if (!(std::hypot(sums_[t].re, sums_[t].im) > tol)) continue;
        out.strings.insert(out.strings.end(), set_.string(t), set_.string(t) + words);
        out.coefficients.push_back(sums_[t]);
    }
    out.offsets.push_back(std::int64_t(out.coefficients.size()));
    // A fresh set: clearing a large one would cost its whole table for every small operator.
    set_ = StringSet(words);
    sums_.clear();
}

StringSums simplify_sums(const StringShape& shape, const StringSumsView& sums, double tol, const std::stop_token& stop) {
    const std::size_t words = shape.words();
    StringSums out;
    out.offsets.push_back(0);
    TermAccumulator accumulator(words);
    for (std::size_t k = 0; k < sums.operators; ++k) {
        stop_point(stop);
        for (auto t = std::size_t(sums.offsets[k]); t < std::size_t(sums.offsets[k + 1]); ++t)
            accumulator.add(sums.strings + t * words, sums.coefficients[t]);
        accumulator.finish(tol, out);
    }
    return out;
}

// a·b = exp(2πi k/r) p and b·a = exp(2πi (k - c)/r) p, c the commutation phase of (a, b).
StringSums commutator_sums(const StringShape& shape, const StringSumsView& a, const StringSumsView& b, double tol,
                           const std::stop_token& stop) {
    const std::size_t words = shape.words(), operators = std::max(a.operators, b.operators);
    const unsigned order = shape.phase_order();
    std::vector<Complex> roots(order);
    for (unsigned k = 0; k < order; ++k) roots[k] = root_of_unity(k, order);
    StringSums out;
    out.offsets.push_back(0);
    TermAccumulator accumulator(words);
    std::vector<std::uint64_t> product(words);
    for (std::size_t k = 0; k < operators; ++k) {
        const std::size_t ka = a.operators == 1 ? 0 : k, kb = b.operators == 1 ? 0 : k;
        for (auto i = std::size_t(a.offsets[ka]); i < std::size_t(a.offsets[ka + 1]); ++i) {
            stop_point(stop);
            const std::uint64_t* s = a.strings + i * words;
            for (auto j = std::size_t(b.offsets[kb]); j < std::size_t(b.offsets[kb + 1]); ++j) {
                const std::uint64_t* t = b.strings + j * words;
                const unsigned c = commutation_phase(shape, s, t);
                if (c == 0) continue;
                const unsigned forward = multiply_strings(shape, s, t, product.data());
                const Complex difference = roots[forward] - roots[(forward + order - c) % order];
                accumulator.add(product.data(), a.coefficients[i] * b.coefficients[j] * difference);
            }
        }
        accumulator.finish(tol, out);
    }
    return out;
}

}  // namespace tanvo
