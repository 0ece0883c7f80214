// Merging and commutators of sums of strings, one operator at a time.
#include "bases/pauli_sums.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "bases/pauli.hpp"
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

// pauli_coordinates gives w = tr(W^† A) for W = X^x Z^z / sqrt(d) with x, z masks of the row
// index, site j in bit sites - 1 - j; the string P = i^(x·z) X^x Z^z has tr(P A) / d =
// (-i)^(x·z) w / sqrt(d).
StringSums qubit_sums_of_matrices(const Complex* matrices, std::size_t m, std::size_t sites, double tol,
                                  const std::stop_token& stop) {
    const StringShape shape = string_shape(sites, 2);
    const std::size_t d = std::size_t(1) << sites, w = shape.part_words;
    const double scale = 1.0 / std::sqrt(double(d));
    StringSums out;
    out.offsets.push_back(0);
    std::vector<std::uint64_t> s(shape.words());
    for (std::size_t k = 0; k < m; ++k) {
        stop_point(stop);
        const SparseVector v = pauli_coordinates(matrices + k * d * d, d);
        for (std::size_t t = 0; t < v.size(); ++t) {
            const std::uint64_t x = v.keys[t] >> 32, z = v.keys[t] & 0xffffffffULL;
            std::fill(s.begin(), s.end(), 0);
            for (std::size_t j = 0; j < sites; ++j) {
                s[j / 64] |= ((x >> (sites - 1 - j)) & 1u) << (j % 64);
                s[w + j / 64] |= ((z >> (sites - 1 - j)) & 1u) << (j % 64);
            }
            const Complex phase = root_of_unity(4 - unsigned(std::popcount(x & z)) % 4, 4);
            const Complex c = phase * Complex{v.values[t].re * scale, v.values[t].im * scale};
            if (!(std::hypot(c.re, c.im) > tol)) continue;
            out.strings.insert(out.strings.end(), s.begin(), s.end());
            out.coefficients.push_back(c);
        }
        out.offsets.push_back(std::int64_t(out.coefficients.size()));
    }
    return out;
}

}  // namespace tanvo
