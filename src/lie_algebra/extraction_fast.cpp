// Fast coefficient extraction. Two paths, both equal to the per-pair solves up to rounding:
// - sparse orthogonal bases (both generators): products formed sparsely, pairs that provably
//   commute skipped, coefficients read off by inner products, a pair's single term verified;
// - any other square basis: one pseudo-inverse, then products and coefficients in blocks.
// Inputs outside what these assume go to the per-pair routine, which then raises the failures.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>

#include "least_squares/lapack.hpp"
#include "least_squares/pseudo_inverse.hpp"
#include "lie_algebra/dense_rows.hpp"
#include "lie_algebra/extraction.hpp"
#include "lie_algebra/sparse_basis.hpp"

namespace tanvo {
namespace {

// Thrown by a fast path that meets what it does not handle (overflow to infinity, a LAPACK
// failure): the per-pair routine takes the call from the start.
struct UsePerPairMethod {};

constexpr double kNegligible = 1e-8;
// A single term is accepted when every other coefficient is provably below this bound.
constexpr double kOtherTermsBound = 1e-9;

bool negligible(Complex c) { return std::abs(c.re) <= kNegligible && std::abs(c.im) <= kNegligible; }

bool fast_paths_apply(const BasisViews& basis) {
    if (basis.empty()) return false;
    const std::size_t d = basis[0].rows;
    if (d == 0) return false;
    for (const MatrixView& m : basis) {
        if (m.rows != d || m.cols != d) return false;
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c)
                if (!finite(m(r, c))) return false;
    }
    return true;
}

// Products of 0 x 0 matrices are empty: every per-pair solve gives zero coefficients, so
// no pair has a term, however many matrices there are.
bool all_empty(const BasisViews& basis) {
    if (basis.empty()) return false;
    for (const MatrixView& m : basis)
        if (m.rows != 0 || m.cols != 0) return false;
    return true;
}

// A set of many more matrices than the space they span has a map that may hold n² entries.
void require_room_for_worst_case(std::size_t n, std::size_t length) {
    if (n <= length) return;
    constexpr std::uint64_t kBytesPerReturnedEntry = 256;  // the entry and its Python objects
    require_memory(std::uint64_t(n) * n, kBytesPerReturnedEntry);
}

// The two lowest positions where a vector is clearly non-zero, and their ratio on a coarse
// grid: equal for proportional vectors, except in rare cases at a grid boundary, which the
// verification of a term catches (the pair is then scanned).
struct Signature {
    std::uint64_t first = 0, second = 0;
    std::int64_t ratio_re = 0, ratio_im = 0;
    bool operator==(const Signature&) const = default;
};
struct SignatureHash {
    std::size_t operator()(const Signature& s) const noexcept {
        std::uint64_t h = s.first * 0x9E3779B97F4A7C15ull;
        h ^= s.second + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        h ^= std::uint64_t(s.ratio_re) * 0xBF58476D1CE4E5B9ull + (h << 6) + (h >> 2);
        h ^= std::uint64_t(s.ratio_im) * 0x94D049BB133111EBull + (h << 6) + (h >> 2);
        return std::size_t(h);
    }
};

std::int64_t grid_point(double x) { return std::int64_t(std::floor(x + 0.5)); }

// `largest2` is the largest squared magnitude among the positions.
template <class Positions, class ValueAt>
Signature signature_of(const Positions& positions, ValueAt value_at, double largest2) {
    const double threshold = 1e-12 * largest2;
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t first = kNone, second = kNone;
    for (std::size_t p : positions) {
        if (p >= second || !(magnitude2(value_at(p)) > threshold)) continue;
        if (p < first) {
            second = first;
            first = p;
        } else if (p != first) {
            second = p;
        }
    }
    Signature signature{first, second, 0, 0};
    if (second != kNone) {
        const Complex a = value_at(first), b = value_at(second);
        const double scale = double(1 << 20) / magnitude2(a);
        const Complex ratio = inner(a, b);  // (b / a) · |a|²
        signature.ratio_re = grid_point(ratio.re * scale);
        signature.ratio_im = grid_point(ratio.im * scale);
    }
    return signature;
}

class OrthogonalExtraction {
public:
    OrthogonalExtraction(const SparseBasis& s, PairProduct kind, Interrupt interrupt)
        : s_(s), kind_(kind), interrupt_(interrupt), product_(s.length), in_column_(s.length, 0),
          candidate_used_(s.n, 0) {
        min_norm_ = std::sqrt(*std::min_element(s.norm2.begin(), s.norm2.end()));
        max_norm_ = std::sqrt(*std::max_element(s.norm2.begin(), s.norm2.end()));
        for (std::size_t m = 0; m < s.n; ++m) {
            if (m % 64 == 63) interrupt_();
            double largest2 = 0.0;
            for (std::size_t e = s.start[m]; e < s.start[m + 1]; ++e)
                largest2 = std::max(largest2, magnitude2(s.value[e]));
            const std::span<const std::size_t> positions(s.position.data() + s.start[m],
                                                         s.start[m + 1] - s.start[m]);
            auto value_at = [&](std::size_t p) { return column_value(m, p); };
            by_signature_[signature_of(positions, value_at, largest2)].push_back(m);
        }
        partners_ = partner_lists();
        find_patterns();
    }

    // The pair (j, i) has the negated commutator (the same anticommutator) of (i, j), bit for
    // bit, and so the negated (same) solution: each unordered pair is computed once, and the
    // mirrored pair's term read back from the entries of row j (no second copy is kept). A row's
    // entries hold their j in increasing order and are looked up for increasing i, so a cursor
    // per row finds each in turn.
    CoefficientList run() {
        const double mirror = kind_ == PairProduct::commutator ? -1.0 : 1.0;
        CoefficientList entries;
        std::vector<std::size_t> row_end(s_.n), cursor(s_.n);  // entries of row j: [.., row_end[j])
        std::vector<std::uint32_t> all(s_.n);
        for (std::size_t j = 0; j < s_.n; ++j) all[j] = std::uint32_t(j);
        std::uint64_t pairs = 0;
        for (std::size_t i = 0; i < s_.n; ++i) {
            cursor[i] = entries.size();
            const std::vector<std::uint32_t>& partners = sparse_partners_[i] ? partners_[i] : all;
            for (std::uint32_t j : partners) {
                if (j < i) {
                    std::size_t& at = cursor[j];
                    while (at < row_end[j] && entries[at].j < i) ++at;
                    if (at < row_end[j] && entries[at].j == i) {
                        const CoefficientList::Term& e = entries[at];
                        entries.push_back({i, j, e.k, {mirror * e.c.re, mirror * e.c.im}});
                    }
                    continue;
                }
                if (j == i && kind_ == PairProduct::commutator) continue;
                if (++pairs % 1024 == 0) interrupt_();
                std::uint64_t k = 0;
                Complex c;
                if (pair_term(i, j, k, c)) entries.push_back({i, j, k, c});
            }
            row_end[i] = entries.size();
        }
        return entries;
    }

private:
    Complex column_value(std::size_t m, std::size_t p) const {
        const std::size_t r = p / s_.d, c = p % s_.d;
        const auto begin = s_.col.begin() + std::ptrdiff_t(s_.row_begin(m, r));
        const auto end = s_.col.begin() + std::ptrdiff_t(s_.row_begin(m, r + 1));
        const auto found = std::lower_bound(begin, end, std::uint32_t(c));
        return found != end && *found == c ? s_.value[std::size_t(found - s_.col.begin())] : Complex{};
    }

    // For each i, the j whose product with i in either order has a term; pairs outside the
    // list commute trivially (both products are zero). A list is kept only when it is short.
    std::vector<std::vector<std::uint32_t>> partner_lists() {
        const auto [by_row, by_col] = matrices_by_line(s_);
        std::vector<std::vector<std::uint32_t>> partners(s_.n);
        sparse_partners_.assign(s_.n, false);
        std::vector<char> row_used(s_.d), col_used(s_.d);
        std::vector<std::uint32_t> merged;
        for (std::size_t i = 0; i < s_.n; ++i) {
            if (i % 64 == 63) interrupt_();
            std::fill(row_used.begin(), row_used.end(), 0);
            std::fill(col_used.begin(), col_used.end(), 0);
            for (std::size_t e = s_.start[i]; e < s_.start[i + 1]; ++e) {
                row_used[s_.row[e]] = 1;
                col_used[s_.col[e]] = 1;
            }
            // B_i B_j has a term when B_j has an entry in a row that is a column of B_i;
            // B_j B_i when B_j has an entry in a column that is a row of B_i.
            std::size_t bound = 0;
            for (std::size_t t = 0; t < s_.d; ++t)
                bound += (col_used[t] ? by_row[t].size() : 0) + (row_used[t] ? by_col[t].size() : 0);
            if (bound >= s_.n / 2) continue;
            sparse_partners_[i] = true;
            // The lists are sorted already: merging them keeps the partners in loop order.
            auto& list = partners[i];
            for (std::size_t t = 0; t < s_.d; ++t) {
                if (col_used[t]) merge_into(list, by_row[t], merged);
                if (row_used[t]) merge_into(list, by_col[t], merged);
            }
        }
        return partners;
    }

    // list ∪ more, both sorted without repeats; `buffer` is scratch space.
    static void merge_into(std::vector<std::uint32_t>& list, const std::vector<std::uint32_t>& more,
                           std::vector<std::uint32_t>& buffer) {
        buffer.clear();
        std::set_union(list.begin(), list.end(), more.begin(), more.end(), std::back_inserter(buffer));
        list.swap(buffer);
    }

    // Whether the product is x times column m up to a residual so small that every other
    // coefficient is provably below kOtherTermsBound.
    bool single_term(std::size_t m, Complex x) {
        double residual2 = 0.0;
        std::size_t covered = 0;
        for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) {
            const std::size_t p = s_.position[e];
            residual2 += magnitude2(product_.at(p) - x * s_.value[e]);
            covered += product_.used(p);
        }
        if (covered != product_.touched().size()) {
            for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) in_column_[s_.position[e]] = 1;
            for (std::size_t p : product_.touched())
                if (!in_column_[p]) residual2 += magnitude2(product_.at(p));
            for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) in_column_[s_.position[e]] = 0;
        }
        return bounded_by_single_term(residual2, x);
    }

    bool pair_term(std::size_t i, std::size_t j, std::uint64_t& k, Complex& c) {
        if (monomial_ && monomial_term(i, j, k, c)) return k != kNoTerm;
        product_.clear();
        accumulate_product<false>(s_, i, j, product_);
        if (kind_ == PairProduct::commutator)
            accumulate_product<true>(s_, j, i, product_);
        else
            accumulate_product<false>(s_, j, i, product_);
        return first_term(k, c);
    }

    // Bases of matrices with one entry in every row (both generators' clock-and-shift): when
    // both products share a pattern, the product is one value per row on that pattern. Returns
    // false when this route cannot decide; k = kNoTerm when it decided there is no term.
    bool monomial_term(std::size_t i, std::size_t j, std::uint64_t& k, Complex& c) {
        const std::int32_t pattern = compose_[pattern_of_[i] * patterns_.size() + pattern_of_[j]];
        if (pattern < 0 || pattern != compose_[pattern_of_[j] * patterns_.size() + pattern_of_[i]])
            return false;
        const std::size_t d = s_.d;
        const std::uint32_t* to_i = patterns_[pattern_of_[i]].data();
        const std::uint32_t* to_j = patterns_[pattern_of_[j]].data();
        const Complex* vi = s_.value.data() + s_.start[i];
        const Complex* vj = s_.value.data() + s_.start[j];
        const double sign = kind_ == PairProduct::commutator ? -1.0 : 1.0;
        double largest2 = 0.0, total2 = 0.0;
        for (std::size_t r = 0; r < d; ++r) {
            const Complex p = vi[r] * vj[to_i[r]], q = vj[r] * vi[to_j[r]];
            const Complex b{p.re + sign * q.re, p.im + sign * q.im};
            row_values_[r] = b;
            const double b2 = magnitude2(b);
            total2 += b2;
            largest2 = std::max(largest2, b2);
        }
        // Infinity and NaN carry into the sum (as does an overflowing square, conservatively).
        if (!std::isfinite(total2)) throw UsePerPairMethod{};
        if (largest2 == 0.0) {
            k = kNoTerm;
            return true;
        }
        const std::uint32_t* to = patterns_[std::size_t(pattern)].data();
        std::size_t rows[2], found_rows = 0;
        for (std::size_t r = 0; r < d && found_rows < 2; ++r)
            if (magnitude2(row_values_[r]) > 1e-12 * largest2) rows[found_rows++] = r;
        Signature signature{rows[0] * d + to[rows[0]], std::numeric_limits<std::uint64_t>::max(), 0, 0};
        if (found_rows == 2) {
            const Complex a = row_values_[rows[0]], b = row_values_[rows[1]];
            const double scale = double(1 << 20) / magnitude2(a);
            const Complex ratio = inner(a, b);
            signature = {rows[0] * d + to[rows[0]], rows[1] * d + to[rows[1]],
                         grid_point(ratio.re * scale), grid_point(ratio.im * scale)};
        }
        const auto found = by_signature_.find(signature);
        if (found == by_signature_.end()) return false;
        for (std::size_t m : found->second) {
            if (pattern_of_[m] != std::size_t(pattern)) continue;
            const Complex* vm = s_.value.data() + s_.start[m];
            Complex sum{};
            for (std::size_t r = 0; r < d; ++r) sum += inner(vm[r], row_values_[r]);
            const Complex x{sum.re / s_.norm2[m], sum.im / s_.norm2[m]};
            double residual2 = 0.0;
            for (std::size_t r = 0; r < d; ++r) residual2 += magnitude2(row_values_[r] - x * vm[r]);
            if (!bounded_by_single_term(residual2, x)) continue;
            if (negligible(x)) {
                k = kNoTerm;
            } else {
                k = m;
                c = x;
            }
            return true;
        }
        return false;
    }

    // Patterns of monomial matrices, interned, and their compositions.
    void find_patterns() {
        MonomialPatterns found = monomial_patterns(s_);
        if (found.patterns.empty()) return;
        patterns_ = std::move(found.patterns);
        pattern_of_ = std::move(found.pattern_of);
        compose_ = std::move(found.compose);
        row_values_.resize(s_.d);
        monomial_ = true;
    }

    bool bounded_by_single_term(double residual2, Complex x) const {
        const double bound =
            (std::sqrt(residual2) + std::sqrt(magnitude2(x)) * kOrthogonality * max_norm_) / min_norm_;
        return bound <= kOtherTermsBound;
    }

    // The first coefficient that is not negligible, as the per-pair solve would find it.
    bool first_term(std::uint64_t& k, Complex& c) {
        const auto& touched = product_.touched();
        double largest2 = 0.0;
        for (std::size_t p : touched) {
            const Complex v = product_.at(p);
            if (!finite(v)) throw UsePerPairMethod{};
            largest2 = std::max(largest2, magnitude2(v));
        }
        if (largest2 == 0.0) return false;  // the zero vector solves to exactly zero

        const Signature signature =
            signature_of(touched, [this](std::size_t p) { return product_.at(p); }, largest2);
        const auto found = by_signature_.find(signature);
        if (found != by_signature_.end())
            for (std::size_t m : found->second) {
                const Complex x = projection(s_, product_, m);
                if (single_term(m, x)) {
                    if (negligible(x)) return false;
                    k = m;
                    c = x;
                    return true;
                }
            }

        // Only columns that share a position with the product can have a coefficient.
        candidates_.clear();
        for (std::size_t p : touched)
            for (std::size_t q = s_.position_start[p]; q < s_.position_start[p + 1]; ++q) {
                const std::uint32_t m = s_.position_matrix[q];
                if (candidate_used_[m]) continue;
                candidate_used_[m] = 1;
                candidates_.push_back(m);
            }
        std::sort(candidates_.begin(), candidates_.end());
        bool found_term = false;
        for (std::uint32_t m : candidates_) {
            candidate_used_[m] = 0;
            if (found_term) continue;
            const Complex x = projection(s_, product_, m);
            if (!negligible(x)) {
                k = m;
                c = x;
                found_term = true;
            }
        }
        return found_term;
    }

    static constexpr std::uint64_t kNoTerm = std::numeric_limits<std::uint64_t>::max();

    const SparseBasis& s_;
    PairProduct kind_;
    Interrupt interrupt_;
    Accumulator product_;
    std::vector<char> in_column_;
    double min_norm_ = 0.0, max_norm_ = 0.0;
    std::unordered_map<Signature, std::vector<std::size_t>, SignatureHash> by_signature_;
    std::vector<std::vector<std::uint32_t>> partners_;
    std::vector<bool> sparse_partners_;
    std::vector<char> candidate_used_;
    std::vector<std::uint32_t> candidates_;
    bool monomial_ = false;
    std::vector<std::vector<std::uint32_t>> patterns_;
    std::vector<std::size_t> pattern_of_;
    std::vector<std::int32_t> compose_;  // pattern of B_a·B_b, or -1 when no matrix has it
    std::vector<Complex> row_values_;
};

// Any square basis: A⁺ once, then for each i the products with every j and their
// coefficients by matrix products.
CoefficientList dense_extraction(const BasisViews& basis, PairProduct kind, Interrupt interrupt) {
    const std::size_t n = basis.size();
    // OpenBLAS's threads wait by spinning: on cores that other work keeps busy, its threaded
    // products of these sizes took ten times longer than one thread's.
    const SingleThreadedBlas one_thread;
    const std::optional<DenseRowSolver> solver = DenseRowSolver::prepare(
        n, basis[0].rows, [&basis](std::size_t m, std::size_t r, std::size_t c) { return basis[m](r, c); });
    if (!solver) throw UsePerPairMethod{};
    DenseRowSolver::Workspace work(n, basis[0].rows);
    std::vector<Complex> coefficients;
    CoefficientList entries;
    for (std::size_t i = 0; i < n; ++i) {
        interrupt();
        if (!solver->solve_row(i, kind, work, coefficients)) throw UsePerPairMethod{};
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i && kind == PairProduct::commutator) continue;
            for (std::size_t k = 0; k < n; ++k) {
                const Complex x = coefficients[j * n + k];
                if (!negligible(x)) {
                    entries.push_back({i, j, k, x});
                    break;
                }
            }
        }
    }
    return entries;
}

CoefficientList extract(const BasisViews& basis, PairProduct kind, Interrupt interrupt) {
    auto per_pair = [&] {
        return kind == PairProduct::commutator ? reference::structure_constants(basis, interrupt)
                                           : reference::d_coefficients(basis, interrupt);
    };
    if (all_empty(basis)) return {};
    if (!fast_paths_apply(basis)) return per_pair();
    const std::size_t d = basis[0].rows;
    require_room_for_worst_case(basis.size(), d * d);
    try {
        SparseBasis sparse = sparse_form(basis, interrupt);
        const bool sparse_enough = sparse.entries() <= 2 * sparse.n * d;
        if (sparse_enough && orthogonal_columns(sparse, interrupt))
            return OrthogonalExtraction(sparse, kind, interrupt).run();
        return dense_extraction(basis, kind, interrupt);
    } catch (const UsePerPairMethod&) {
        return per_pair();
    }
}

}  // namespace

CoefficientList structure_constants(const BasisViews& basis, Interrupt interrupt) {
    return extract(basis, PairProduct::commutator, interrupt);
}

CoefficientList d_coefficients(const BasisViews& basis, Interrupt interrupt) {
    return extract(basis, PairProduct::anticommutator, interrupt);
}

}  // namespace tanvo
