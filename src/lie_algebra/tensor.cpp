// Complete coefficient tensors. The rows i of pairs are split over threads in chunks whose
// terms are concatenated in order; each row is found by one of three routes, all equal to one
// least-squares solve per pair up to rounding:
// - sparse orthogonal bases: only the pairs whose supports touch, products formed sparsely,
//   coefficients by orthogonal projection (for monomial bases one verified term per pair);
// - any other square basis: one pseudo-inverse, then products and coefficients of a whole row
//   by matrix products;
// - a basis too ill-conditioned for either: one least-squares solve per pair.
#include "lie_algebra/tensor.hpp"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "dense/parallel.hpp"
#include "least_squares/least_squares.hpp"
#include "lie_algebra/dense_rows.hpp"
#include "lie_algebra/sparse_basis.hpp"

namespace tanvo {
namespace {

// A monomial pair's single term is taken without projecting on the other columns when each
// of their coefficients is provably below this fraction of the threshold.
constexpr double kOtherTermsFraction = 0.1;

// NaN compares false, so a NaN part is always kept.
bool kept(Complex c, double tol) { return !(std::abs(c.re) <= tol && std::abs(c.im) <= tol); }

[[noreturn]] void fail_overflow() {
    throw std::overflow_error("a product of two basis matrices overflows double precision");
}

void add_term(TermTable& out, std::size_t i, std::size_t j, std::size_t k, Complex c) {
    out.indices.insert(out.indices.end(), {std::int64_t(i), std::int64_t(j), std::int64_t(k)});
    out.values.push_back(c);
}

// The chunks' terms in one table, each chunk's memory returned as it is copied, so that the
// peak stays near one copy of the result.
TermTable concatenate(std::vector<TermTable>& parts) {
    std::size_t total = 0;
    for (const TermTable& part : parts) total += part.size();
    require_memory(std::uint64_t(total) * 3, sizeof(std::int64_t) + sizeof(Complex));
    TermTable all;
    all.indices.reserve(total * 3);
    all.values.reserve(total);
    std::size_t released = 0;
    for (TermTable& part : parts) {
        all.indices.insert(all.indices.end(), part.indices.begin(), part.indices.end());
        all.values.insert(all.values.end(), part.values.begin(), part.values.end());
        released += part.size();
        part = TermTable{};
        // Freed chunks below malloc's mmap threshold stay in its arenas unless trimmed.
        if (released > (std::size_t(1) << 20)) {
            malloc_trim(0);
            released = 0;
        }
    }
    return all;
}

// Calls row(i, scratch, out) for every row of the request on its threads, one scratch space
// per thread; the chunks' terms are joined in row order.
template <class Scratch>
TermTable rows_in_parallel(const TensorRequest& request, const std::stop_token& stop,
                           const std::function<Scratch()>& make_scratch,
                           const std::function<void(std::size_t, Scratch&, TermTable&)>& row) {
    const std::size_t rows = request.row_end - request.row_begin;
    const unsigned threads = std::max(1u, request.threads);
    const std::size_t chunk = std::clamp<std::size_t>(rows / (std::size_t(threads) * 64), 1, 64);
    std::vector<TermTable> parts((rows + chunk - 1) / chunk);
    std::vector<std::unique_ptr<Scratch>> scratch(threads);
    parallel_chunks(rows, chunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(make_scratch());
        TermTable& out = parts[begin / chunk];
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            row(request.row_begin + r, *scratch[worker], out);
        }
        out.indices.shrink_to_fit();
        out.values.shrink_to_fit();
    });
    scratch.clear();
    return concatenate(parts);
}

// ---- sparse orthogonal bases ------------------------------------------------------------

// A monomial matrix's (or product's) values in rows 1 and 0 as a ratio on a coarse grid, with
// its pattern: equal for proportional ones, except near a grid boundary, where the pair is
// then projected on every column instead.
struct RatioKey {
    std::size_t pattern;
    std::int64_t re, im;
    bool operator==(const RatioKey&) const = default;
};
struct RatioKeyHash {
    std::size_t operator()(const RatioKey& key) const noexcept {
        std::uint64_t h = key.pattern * 0x9E3779B97F4A7C15ull;
        h ^= std::uint64_t(key.re) * 0xBF58476D1CE4E5B9ull + (h << 6) + (h >> 2);
        h ^= std::uint64_t(key.im) * 0x94D049BB133111EBull + (h << 6) + (h >> 2);
        return std::size_t(h);
    }
};

RatioKey ratio_key(std::size_t pattern, Complex first, Complex second) {
    const Complex ratio = inner(first, second);  // (second / first) · |first|²
    const double scale = double(1 << 20) / magnitude2(first);
    return {pattern, std::int64_t(std::floor(ratio.re * scale + 0.5)), std::int64_t(std::floor(ratio.im * scale + 0.5))};
}

class SparseRows {
public:
    SparseRows(const SparseBasis& s, PairProduct product, double tol)
        : s_(s), product_(product), tol_(tol), lines_(matrices_by_line(s)) {
        min_norm_ = std::sqrt(*std::min_element(s.norm2.begin(), s.norm2.end()));
        max_norm_ = std::sqrt(*std::max_element(s.norm2.begin(), s.norm2.end()));
        if (s.d >= 2) monomial_ = monomial_patterns(s);
        for (std::size_t m = 0; m < s.n && !monomial_.patterns.empty(); ++m) {
            const Complex* v = s.value.data() + s.start[m];
            by_ratio_[ratio_key(monomial_.pattern_of[m], v[0], v[1])].push_back(std::uint32_t(m));
        }
    }

    struct Scratch {
        explicit Scratch(const SparseBasis& s)
            : product(s.length), marked(s.n, 0), candidate_used(s.n, 0), row_used(s.d, 0), col_used(s.d, 0),
              row_values(s.d) {}
        Accumulator product;
        std::vector<char> marked, candidate_used, row_used, col_used;
        std::vector<std::uint32_t> partners, candidates;
        std::vector<Complex> row_values;
        std::vector<std::pair<std::uint32_t, Complex>> terms;
    };

    // Each pair is computed as (min, max), so that (i, j) and (j, i) are exact negatives (or
    // equal) whichever rows a call covers.
    void row(std::size_t i, Scratch& w, TermTable& out) const {
        const bool all = !find_partners(i, w);
        const std::size_t count = all ? s_.n : w.partners.size();
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t j = all ? t : w.partners[t];
            if (j == i && product_ == PairProduct::commutator) continue;
            pair_terms(std::min(i, j), std::max(i, j), w);
            const double sign = product_ == PairProduct::commutator && i > j ? -1.0 : 1.0;
            for (const auto& [k, c] : w.terms) add_term(out, i, j, k, {sign * c.re, sign * c.im});
        }
    }

private:
    // The j whose product with i in either order can be non-zero (B_i B_j needs an entry of B_j
    // in a row that is a column of B_i, B_j B_i one in a column that is a row of B_i), sorted.
    // False when that is most of the basis: every j is visited then.
    bool find_partners(std::size_t i, Scratch& w) const {
        std::fill(w.row_used.begin(), w.row_used.end(), 0);
        std::fill(w.col_used.begin(), w.col_used.end(), 0);
        for (std::size_t e = s_.start[i]; e < s_.start[i + 1]; ++e) {
            w.row_used[s_.row[e]] = 1;
            w.col_used[s_.col[e]] = 1;
        }
        std::size_t bound = 0;
        for (std::size_t t = 0; t < s_.d; ++t)
            bound += (w.col_used[t] ? lines_.by_row[t].size() : 0) + (w.row_used[t] ? lines_.by_col[t].size() : 0);
        if (bound >= s_.n / 2) return false;
        w.partners.clear();
        auto mark = [&w](const std::vector<std::uint32_t>& line) {
            for (std::uint32_t j : line)
                if (!w.marked[j]) {
                    w.marked[j] = 1;
                    w.partners.push_back(j);
                }
        };
        for (std::size_t t = 0; t < s_.d; ++t) {
            if (w.col_used[t]) mark(lines_.by_row[t]);
            if (w.row_used[t]) mark(lines_.by_col[t]);
        }
        for (std::uint32_t j : w.partners) w.marked[j] = 0;
        std::sort(w.partners.begin(), w.partners.end());
        return true;
    }

    // The kept terms of the product of (a, b), a ≤ b, by increasing k, into w.terms.
    void pair_terms(std::size_t a, std::size_t b, Scratch& w) const {
        w.terms.clear();
        if (!monomial_.patterns.empty() && monomial_terms(a, b, w)) return;
        w.product.clear();
        accumulate_product<false>(s_, a, b, w.product);
        if (product_ == PairProduct::commutator)
            accumulate_product<true>(s_, b, a, w.product);
        else
            accumulate_product<false>(s_, b, a, w.product);
        const std::vector<std::size_t>& touched = w.product.touched();
        bool zero = true;
        for (std::size_t p : touched) {
            const Complex v = w.product.at(p);
            if (!finite(v)) fail_overflow();
            zero = zero && v.re == 0.0 && v.im == 0.0;
        }
        if (zero) return;  // commuting pairs cancel exactly: every projection is zero
        // Only columns that share a position with the product can have a coefficient.
        w.candidates.clear();
        for (std::size_t p : touched)
            for (std::size_t q = s_.position_start[p]; q < s_.position_start[p + 1]; ++q) {
                const std::uint32_t m = s_.position_matrix[q];
                if (w.candidate_used[m]) continue;
                w.candidate_used[m] = 1;
                w.candidates.push_back(m);
            }
        std::sort(w.candidates.begin(), w.candidates.end());
        for (std::uint32_t m : w.candidates) {
            w.candidate_used[m] = 0;
            const Complex x = projection(s_, w.product, m);
            if (kept(x, tol_)) w.terms.emplace_back(m, x);
        }
    }

    // Monomial bases (clock-and-shift, Pauli words): when both products share a pattern, the
    // product is one value per row; when it is a multiple of one column up to a residual that
    // bounds every other coefficient below the threshold, that is its only term. False when
    // this route cannot decide.
    bool monomial_terms(std::size_t a, std::size_t b, Scratch& w) const {
        const std::size_t count = monomial_.patterns.size();
        const std::size_t pa = monomial_.pattern_of[a], pb = monomial_.pattern_of[b];
        const std::int32_t pattern = monomial_.compose[pa * count + pb];
        if (pattern < 0 || pattern != monomial_.compose[pb * count + pa]) return false;
        const std::uint32_t* to_a = monomial_.patterns[pa].data();
        const std::uint32_t* to_b = monomial_.patterns[pb].data();
        const Complex* va = s_.value.data() + s_.start[a];
        const Complex* vb = s_.value.data() + s_.start[b];
        const double sign = product_ == PairProduct::commutator ? -1.0 : 1.0;
        double largest2 = 0.0, total2 = 0.0;
        Complex* values = w.row_values.data();
        for (std::size_t r = 0; r < s_.d; ++r) {
            const Complex p = va[r] * vb[to_a[r]], q = vb[r] * va[to_b[r]];
            values[r] = {p.re + sign * q.re, p.im + sign * q.im};
            const double v2 = magnitude2(values[r]);
            total2 += v2;
            largest2 = std::max(largest2, v2);
        }
        if (!std::isfinite(total2)) fail_overflow();
        if (largest2 == 0.0) return true;  // the zero product has no term
        const double clear = 1e-12 * largest2;
        if (!(magnitude2(values[0]) > clear && magnitude2(values[1]) > clear)) return false;
        const auto found = by_ratio_.find(ratio_key(std::size_t(pattern), values[0], values[1]));
        if (found == by_ratio_.end()) return false;
        for (std::uint32_t m : found->second) {
            const Complex* vm = s_.value.data() + s_.start[m];
            Complex sum{};
            for (std::size_t r = 0; r < s_.d; ++r) sum += inner(vm[r], values[r]);
            const Complex x{sum.re / s_.norm2[m], sum.im / s_.norm2[m]};
            double residual2 = 0.0;
            for (std::size_t r = 0; r < s_.d; ++r) residual2 += magnitude2(values[r] - x * vm[r]);
            const double others = (std::sqrt(residual2) + std::sqrt(magnitude2(x)) * kOrthogonality * max_norm_) / min_norm_;
            if (!(others <= kOtherTermsFraction * tol_)) continue;
            if (kept(x, tol_)) w.terms.emplace_back(m, x);
            return true;
        }
        return false;
    }

    const SparseBasis& s_;
    PairProduct product_;
    double tol_;
    MatricesByLine lines_;
    double min_norm_ = 0.0, max_norm_ = 0.0;
    MonomialPatterns monomial_;
    std::unordered_map<RatioKey, std::vector<std::uint32_t>, RatioKeyHash> by_ratio_;
};

// ---- any square basis ---------------------------------------------------------------------

TermTable dense_rows(const DenseRowSolver& solver, const TensorRequest& request, const std::stop_token& stop,
                     const BasisView& basis) {
    const std::size_t n = basis.size(), d = basis.d;
    struct Scratch {
        DenseRowSolver::Workspace work;
        std::vector<Complex> coefficients;
    };
    return rows_in_parallel<Scratch>(
        request, stop, [&] { return Scratch{DenseRowSolver::Workspace(n, d), {}}; },
        [&](std::size_t i, Scratch& w, TermTable& out) {
            if (!solver.solve_row(i, request.product, w.work, w.coefficients)) fail_overflow();
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i && request.product == PairProduct::commutator) continue;
                for (std::size_t k = 0; k < n; ++k)
                    if (kept(w.coefficients[j * n + k], request.tol)) add_term(out, i, j, k, w.coefficients[j * n + k]);
            }
        });
}

// ---- one least-squares solve per pair -------------------------------------------------------

TermTable per_pair_rows(const BasisView& view, const TensorRequest& request, const std::stop_token& stop) {
    const std::size_t n = view.size(), d = view.d, length = d * d;
    require_memory(std::uint64_t(n) * length * 2, sizeof(Complex));
    Basis basis;
    basis.reserve(n);
    std::vector<Complex> columns(length * n);  // the system matrix, column k = B_k flattened
    for (std::size_t k = 0; k < n; ++k) {
        std::vector<Complex> storage(view.matrices[k], view.matrices[k] + length);
        std::copy(storage.begin(), storage.end(), columns.begin() + std::ptrdiff_t(k * length));
        basis.push_back(ComplexMatrix::from_storage(d, d, std::ptrdiff_t(d), 1, std::move(storage)));
    }
    const ComplexMatrix system = ComplexMatrix::from_storage(length, n, 1, std::ptrdiff_t(length), std::move(columns));
    struct Scratch {
        std::vector<Complex> rhs;
    };
    return rows_in_parallel<Scratch>(
        request, stop, [] { return Scratch{}; },
        [&](std::size_t i, Scratch& w, TermTable& out) {
            for (std::size_t j = 0; j < n; ++j) {
                if (j == i && request.product == PairProduct::commutator) continue;
                stop_point(stop);
                ComplexMatrix combined = matmul(basis[i], basis[j]);
                const ComplexMatrix reversed = matmul(basis[j], basis[i]);
                if (request.product == PairProduct::commutator)
                    subtract_into(combined, reversed);
                else
                    add_into(combined, reversed);
                w.rhs.assign(combined.storage().begin(), combined.storage().end());
                const LeastSquaresResult solved = solve_least_squares(system, w.rhs);
                if (const auto* error = std::get_if<SolverError>(&solved)) {
                    if (!std::all_of(w.rhs.begin(), w.rhs.end(), finite)) fail_overflow();
                    throw std::runtime_error("least-squares solve failed: " + render(*error));
                }
                const auto& x = std::get<std::vector<Complex>>(solved);
                for (std::size_t k = 0; k < n; ++k)
                    if (kept(x[k], request.tol)) add_term(out, i, j, k, x[k]);
            }
        });
}

// Lets the orthogonality test, which takes a plain function, see the call's stop token.
thread_local const std::stop_token* current_stop = nullptr;
void check_current_stop() {
    if (current_stop) stop_point(*current_stop);
}

}  // namespace

std::size_t first_non_finite(const BasisView& basis, unsigned threads, const std::stop_token& stop) {
    const std::size_t n = basis.size(), length = basis.d * basis.d;
    std::atomic<std::size_t> first{n};
    const std::size_t chunk = std::max<std::size_t>(1, (std::size_t(1) << 20) / std::max<std::size_t>(length, 1));
    parallel_chunks(n, chunk, std::max(1u, threads), stop, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t m = begin; m < end && m < first.load(std::memory_order_relaxed); ++m) {
            const Complex* v = basis.matrices[m];
            bool all_finite = true;
            for (std::size_t t = 0; t < length; ++t) all_finite &= finite(v[t]);
            if (all_finite) continue;
            std::size_t seen = first.load();
            while (m < seen && !first.compare_exchange_weak(seen, m)) {
            }
            return;
        }
    });
    return first.load();
}

TermTable coefficient_tensor(const BasisView& basis, const TensorRequest& request, const std::stop_token& stop) {
    const std::size_t n = basis.size(), d = basis.d;
    if (request.row_begin > request.row_end || request.row_end > n)
        throw std::invalid_argument("rows must satisfy 0 <= start <= stop <= n");
    if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
    // Products of 0 x 0 matrices are empty and have no terms; nor has an empty range.
    if (d == 0 || request.row_begin == request.row_end) return {};

    TensorMethod method = request.method;
    if (method == TensorMethod::per_pair) return per_pair_rows(basis, request, stop);
    if (method != TensorMethod::dense) {
        const SparseBasis sparse = sparse_form(n, d, [&basis](std::size_t m, std::size_t r) {
            return MatrixRow{basis.matrices[m] + r * basis.d, 1};
        });
        current_stop = &stop;
        const bool orthogonal = sparse.entries() <= 2 * n * d && orthogonal_columns(sparse, {check_current_stop});
        current_stop = nullptr;
        if (orthogonal) {
            const SparseRows rows(sparse, request.product, request.tol);
            return rows_in_parallel<SparseRows::Scratch>(
                request, stop, [&] { return SparseRows::Scratch(sparse); },
                [&](std::size_t i, SparseRows::Scratch& w, TermTable& out) { rows.row(i, w, out); });
        }
        if (method == TensorMethod::sparse_orthogonal)
            throw std::invalid_argument("the sparse orthogonal method needs a sparse basis of orthogonal matrices");
    }
    const std::optional<DenseRowSolver> solver =
        DenseRowSolver::prepare(n, d, [&basis](std::size_t m, std::size_t r, std::size_t c) { return basis.at(m, r, c); });
    if (!solver) return per_pair_rows(basis, request, stop);
    return dense_rows(*solver, request, stop, basis);
}

std::vector<Complex> contract_terms(std::span<const std::int64_t> indices, std::span<const Complex> values,
                                    std::size_t n, std::size_t columns, const Complex* a, const Complex* b,
                                    const std::stop_token& stop) {
    if (indices.size() != 3 * values.size()) throw std::invalid_argument("indices must hold three per value");
    for (std::int64_t index : indices)
        if (index < 0 || std::uint64_t(index) >= n) throw std::invalid_argument("a term's index is outside the tensor");
    require_memory(std::uint64_t(n) * columns, sizeof(Complex));
    std::vector<Complex> c(n * columns);
    for (std::size_t e = 0; e < values.size(); ++e) {
        if (e % 65536 == 0) stop_point(stop);
        const Complex* ai = a + std::size_t(indices[3 * e]) * columns;
        const Complex* bj = b + std::size_t(indices[3 * e + 1]) * columns;
        Complex* ck = c.data() + std::size_t(indices[3 * e + 2]) * columns;
        const Complex v = values[e];
        for (std::size_t col = 0; col < columns; ++col) ck[col] += v * (ai[col] * bj[col]);
    }
    return c;
}

}  // namespace tanvo
