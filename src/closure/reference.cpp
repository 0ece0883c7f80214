// The Lie closure one candidate at a time on dense matrices with plain loops: the routine the
// representations of closure.cpp are checked against. It takes the same decisions (which
// candidates wait, the identity kept out of traceless algebras) in the plainest way.
#include <cmath>
#include <utility>
#include <vector>

#include "closure/closure.hpp"
#include "closure/shared_rules.hpp"
#include "core/sparse_vector.hpp"

namespace tanvo::reference {

using namespace closure_rules;

ClosureBasis lie_closure(const Complex* generators, std::size_t m, std::size_t d, double tol) {
    const std::size_t area = d * d;
    std::vector<Complex> scaled = unit_scaled(generators, m, d);
    const bool compact = to_compact_form(scaled, m, d, tol);
    generators = scaled.data();
    std::vector<std::vector<Complex>> basis;
    auto reduce = [&](std::vector<Complex>& v) {
        for (int pass = 0; pass < 2; ++pass)
            for (const std::vector<Complex>& b : basis) {
                Complex c;
                for (std::size_t i = 0; i < area; ++i) c += conj_times(b[i], v[i]);
                for (std::size_t i = 0; i < area; ++i) v[i] = v[i] - c * b[i];
            }
    };
    auto append = [&](std::vector<Complex>& v, double length) {
        vector_scale(v, 1.0 / length);
        basis.push_back(std::move(v));
    };
    auto identity_component = [d](const Complex* v) {
        Complex trace;
        for (std::size_t r = 0; r < d; ++r) trace += v[r * d + r];
        return std::hypot(trace.re, trace.im) / std::sqrt(double(d));
    };
    bool traceless = true;
    for (std::size_t i = 0; i < m; ++i) {
        const std::vector<Complex> g(generators + i * area, generators + (i + 1) * area);
        traceless = traceless && !(identity_component(g.data()) > tol * vector_norm(g));
    }
    bool has_identity = false;
    for (std::size_t i = 0; i < m; ++i) {
        std::vector<Complex> v(generators + i * area, generators + (i + 1) * area);
        if (traceless) subtract_trace(v.data(), d);
        if (compact) make_anti_hermitian(v.data(), d);
        const double length = vector_norm(v);
        if (length == 0.0) continue;
        vector_scale(v, 1.0 / length);
        reduce(v);
        if (traceless) subtract_trace(v.data(), d);
        if (compact) make_anti_hermitian(v.data(), d);
        const double reduced_length = vector_norm(v);
        if (!(reduced_length > tol)) continue;
        has_identity = has_identity || identity_component(v.data()) > tol;
        append(v, reduced_length);
    }
    const std::size_t generator_count = basis.size();
    // Commutators are traceless: the algebra lies in span(generators) + sl(d).
    const std::size_t bound = d * d - 1 + (has_identity ? 1 : 0);
    auto commutator = [&](std::size_t g, std::size_t e) {
        std::vector<Complex> v(area);
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c)
                for (std::size_t k = 0; k < d; ++k)
                    v[r * d + c] += basis[g][r * d + k] * basis[e][k * d + c] -
                                    basis[e][r * d + k] * basis[g][k * d + c];
        return v;
    };
    WaitingCandidates waiting(d, bound);
    for (std::size_t e = 0;; ++e) {
        // Every element is commuted: the waiting candidates, best first, until one joins.
        while (e == basis.size() && !waiting.empty()) {
            const auto [element, g] = waiting.take();
            std::vector<Complex> v = commutator(g, element);
            reduce(v);
            if (traceless) subtract_trace(v.data(), d);
            if (compact) make_anti_hermitian(v.data(), d);
            const double length = vector_norm(v);
            if (length > tol && waiting.still_best(length)) append(v, length);
        }
        if (e == basis.size()) break;
        for (std::size_t g = 0; g < generator_count; ++g) {
            std::vector<Complex> v = commutator(g, e);
            const double formed = vector_norm(v);
            reduce(v);
            if (traceless) subtract_trace(v.data(), d);
            if (compact) make_anti_hermitian(v.data(), d);
            const double length = vector_norm(v);
            if (!(length > tol)) continue;
            if (waiting.weak(length, formed, basis.size()))
                waiting.add(length, e, g);
            else
                append(v, length);
        }
    }
    ClosureBasis result{basis.size(), d, {}};
    for (const std::vector<Complex>& b : basis) result.elements.insert(result.elements.end(), b.begin(), b.end());
    return result;
}

}  // namespace tanvo::reference
