// What the closure's driver and its one-by-one reference share: which commutators wait until
// no other adds to the span and in which order they are taken again, and the dense vector
// operations both use (norm, scaling, removal of the identity).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/complex.hpp"

namespace tanvo::closure_rules {

// The m row-major d x d generators, each multiplied by the power of two that brings the largest
// real or imaginary part of its entries into [1, 2): exact (the normalised elements keep their
// bits), and the squares that norms add neither overflow nor underflow whatever the input's
// scale (generators of entries 1e154 or 1e-162 were otherwise lost).
inline std::vector<Complex> unit_scaled(const Complex* generators, std::size_t m, std::size_t d) {
    const std::size_t area = d * d;
    std::vector<Complex> scaled(generators, generators + m * area);
    for (std::size_t i = 0; i < m; ++i) {
        Complex* g = scaled.data() + i * area;
        double largest = 0.0;
        for (std::size_t t = 0; t < area; ++t) largest = std::max({largest, std::abs(g[t].re), std::abs(g[t].im)});
        if (largest == 0.0) continue;
        const int exponent = -std::ilogb(largest);
        for (std::size_t t = 0; t < area; ++t) g[t] = {std::ldexp(g[t].re, exponent), std::ldexp(g[t].im, exponent)};
    }
    return scaled;
}

// (A - A^†) / 2 of the row-major d x d matrix, in place: its anti-Hermitian part.
inline void make_anti_hermitian(Complex* a, std::size_t d) {
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = r; c < d; ++c) {
            const Complex x = a[r * d + c], y = a[c * d + r];
            const Complex part{(x.re - y.re) * 0.5, (x.im + y.im) * 0.5};  // (x - conj(y)) / 2
            a[r * d + c] = part;
            a[c * d + r] = {-part.re, part.im};                          // -conj(part)
        }
}

// When every one of the m generators is Hermitian or anti-Hermitian (within tol of its norm),
// multiplies the Hermitian ones by i, makes all exactly anti-Hermitian and returns true: their
// real span closed under commutators is then the compact real form of the algebra, and keeping
// every element anti-Hermitian gives it a basis (the complex inner product of two
// anti-Hermitian matrices is real, so Gram–Schmidt keeps them so up to rounding).
inline bool to_compact_form(std::vector<Complex>& generators, std::size_t m, std::size_t d, double tol) {
    const std::size_t area = d * d;
    std::vector<bool> hermitian(m);
    for (std::size_t i = 0; i < m; ++i) {
        const Complex* g = generators.data() + i * area;
        double norm2 = 0.0, skew2 = 0.0, sym2 = 0.0;  // |g|^2, |g - g^†|^2, |g + g^†|^2
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex x = g[r * d + c], y = g[c * d + r];  // g^†[r, c] = conj(y)
                norm2 += x.re * x.re + x.im * x.im;
                skew2 += (x.re - y.re) * (x.re - y.re) + (x.im + y.im) * (x.im + y.im);
                sym2 += (x.re + y.re) * (x.re + y.re) + (x.im - y.im) * (x.im - y.im);
            }
        const double allowed = 4 * tol * tol * norm2;  // |g -+ g^†| <= 2 tol |g|
        hermitian[i] = skew2 <= allowed;
        if (!hermitian[i] && !(sym2 <= allowed)) return false;
    }
    for (std::size_t i = 0; i < m; ++i) {
        Complex* g = generators.data() + i * area;
        if (hermitian[i])
            for (std::size_t t = 0; t < area; ++t) g[t] = {-g[t].im, g[t].re};
        make_anti_hermitian(g, d);
    }
    return true;
}

inline double vector_norm(const Complex* v, std::size_t length) {
    double sum = 0.0;
    for (std::size_t i = 0; i < length; ++i) sum += v[i].re * v[i].re + v[i].im * v[i].im;
    return std::sqrt(sum);
}

inline double vector_norm(const std::vector<Complex>& v) { return vector_norm(v.data(), v.size()); }

inline void vector_scale(std::vector<Complex>& v, double factor) {
    for (Complex& c : v) c = {c.re * factor, c.im * factor};
}

// The row-major d x d matrix minus tr/d on its diagonal.
inline void subtract_trace(Complex* matrix, std::size_t d) {
    Complex trace;
    for (std::size_t r = 0; r < d; ++r) trace += matrix[r * d + r];
    const Complex share{trace.re / double(d), trace.im / double(d)};
    for (std::size_t r = 0; r < d; ++r) matrix[r * d + r] = matrix[r * d + r] - share;
}

// A commutator waits until no other candidate adds to the span (see closure.cpp's top) when its
// component outside the span is less than this share of its length, scaled by
// sqrt(1 - found / bound) (a direction drawn at random keeps that share outside a span of
// `found` of at most `bound` dimensions, so that the last elements of a full algebra do not all
// wait), or shorter than kWeakLength / sqrt(d) (the length of a commutator of two unit
// elements of spread spectrum is about 1 / sqrt(d); rounding is about 1e-16 of it).
inline constexpr double kWeakShare = 0.1;
inline constexpr double kWeakLength = 1e-4;

// The candidates that wait, best first: the longest component outside the span when last
// reduced (an upper bound on it now, since the span only grows), the first met among equals.
class WaitingCandidates {
public:
    // For d x d elements, of which the algebra has at most `bound`.
    WaitingCandidates(std::size_t d, std::size_t bound)
        : floor_(kWeakLength / std::sqrt(double(d))), bound_(double(bound)) {}

    // Whether a commutator of length `formed` that keeps `length` after reduction against a
    // span of `found` elements must wait.
    bool weak(double length, double formed, std::size_t found) const {
        const double open = std::sqrt(std::max(0.0, 1.0 - double(found) / bound_));
        return length < kWeakShare * open * formed || length < floor_;
    }

    bool empty() const { return heap_.empty(); }
    void add(double length, std::size_t element, std::size_t generator) {
        push({length, met_++, element, generator});
    }

    // Takes the best candidate, its (element, generator).
    std::pair<std::size_t, std::size_t> take() {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        taken_ = heap_.back();
        heap_.pop_back();
        return {taken_.element, taken_.generator};
    }
    // Whether the candidate taken last, now of `length` outside the span, is still at least as
    // long as every other waiting one's bound; if not it waits again with that bound.
    bool still_best(double length) {
        if (heap_.empty() || !(length < heap_.front().length)) return true;
        taken_.length = length;
        push(taken_);
        return false;
    }

private:
    struct Candidate {
        double length;
        std::size_t met;
        std::size_t element, generator;
    };
    static bool later(const Candidate& a, const Candidate& b) {
        return a.length < b.length || (a.length == b.length && a.met > b.met);
    }
    void push(const Candidate& c) {
        heap_.push_back(c);
        std::push_heap(heap_.begin(), heap_.end(), later);
    }

    double floor_;
    double bound_;
    std::vector<Candidate> heap_;
    std::size_t met_ = 0;
    Candidate taken_{};
};

}  // namespace tanvo::closure_rules
