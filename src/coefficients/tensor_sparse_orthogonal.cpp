// Complete tensors of sparse bases of orthogonal matrices: only the pairs whose supports touch,
// products formed sparsely, coefficients by orthogonal projection; for monomial bases one verified
// term per pair, grouped by pattern and ratio so that each product is matched to its column at once.
#include "coefficients/tensor_rows.hpp"

namespace tanvo::tensor_rows {
namespace {

// A monomial pair's single term is taken without projecting on the other columns when each
// of their coefficients is provably below this fraction of the threshold.
constexpr double kOtherTermsFraction = 0.1;

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

// The matrices by ratio key: an open-addressing table over the keys, each with its matrices
// (in the order added), read by many threads once built.
class RatioIndex {
public:
    void add(const RatioKey& key, std::uint32_t id) { pending_.emplace_back(key, id); }

    void build() {
        std::stable_sort(pending_.begin(), pending_.end(), [](const auto& x, const auto& y) {
            return std::tie(x.first.pattern, x.first.re, x.first.im) < std::tie(y.first.pattern, y.first.re, y.first.im);
        });
        std::size_t capacity = 16;
        while (capacity < 2 * pending_.size()) capacity *= 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (std::size_t e = 0; e < pending_.size();) {
            std::size_t end = e;
            while (end < pending_.size() && pending_[end].first == pending_[e].first) ids_.push_back(pending_[end++].second);
            std::size_t at = RatioKeyHash{}(pending_[e].first) & mask_;
            while (slots_[at].used) at = (at + 1) & mask_;
            slots_[at] = {pending_[e].first, std::uint32_t(ids_.size() - (end - e)), std::uint32_t(ids_.size()), true};
            e = end;
        }
        pending_.clear();
        pending_.shrink_to_fit();
    }

    std::span<const std::uint32_t> find(const RatioKey& key) const {
        if (slots_.empty()) return {};
        for (std::size_t at = RatioKeyHash{}(key) & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (!slot.used) return {};
            if (slot.key == key) return {ids_.data() + slot.begin, slot.end - slot.begin};
        }
    }

private:
    struct Slot {
        RatioKey key{};
        std::uint32_t begin = 0, end = 0;
        bool used = false;
    };
    std::vector<std::pair<RatioKey, std::uint32_t>> pending_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> ids_;
    std::size_t mask_ = 0;
};

RatioKey ratio_key(std::size_t pattern, Complex first, Complex second) {
    const Complex ratio = inner(first, second);  // (second / first) · |first|²
    const double scale = double(1 << 20) / magnitude2(first);
    return {pattern, std::int64_t(std::floor(ratio.re * scale + 0.5)), std::int64_t(std::floor(ratio.im * scale + 0.5))};
}

// The products of one monomial matrix B_a with a group of g monomial matrices of one pattern,
// whose products fall in a target group of h matrices of one pattern: row r of B_a B_j is
// va[r] vj[to_a[r]], of B_j B_a vj[r] va[to_b[r]]; members' values by row, d x g (d x h).
struct GroupRows {
    std::size_t d, g, group_width, target_width;  // g products; row strides of the value arrays
    double sign;  // -1 for the commutator, +1 for the anticommutator
    const Complex* va;
    const std::uint32_t *to_a, *to_b;
    const double *group_re, *group_im, *target_re, *target_im;

    Complex product(std::size_t r, std::size_t t) const {
        const std::size_t left = std::size_t(to_a[r]) * group_width + t, right = r * group_width + t;
        return product_value(va[r], va[to_b[r]], group_re[left], group_im[left], group_re[right], group_im[right]);
    }
    // The one formula of a product's element, so that every route rounds it alike.
    Complex product_value(Complex alpha, Complex beta, double left_re, double left_im, double right_re,
                          double right_im) const {
        const double p_re = alpha.re * left_re - alpha.im * left_im;
        const double p_im = alpha.re * left_im + alpha.im * left_re;
        const double q_re = right_re * beta.re - right_im * beta.im;
        const double q_im = right_re * beta.im + right_im * beta.re;
        return {p_re + sign * q_re, p_im + sign * q_im};
    }
};

// Every row of the group's products against each product's candidate column v (`columns`
// holds valid columns only; the caller ignores the products it has none for): per product, the inner product <v, b> and the
// residual |b - multiple v|² of the multiple read off row 0 (an upper bound on the
// least-squares residual), and its sum of squares. Compiled for AVX-512 and AVX2 too: the same operations in the same
// order, so the same results, several products at a time.
[[gnu::target_clones("avx512f", "avx2", "default")]]
void group_product_rows(const GroupRows& rows, std::size_t t_begin, std::size_t t_end, const std::uint32_t* columns,
                        const double* __restrict multiple_re,
                        const double* __restrict multiple_im, double* __restrict scratch,
                        double* __restrict inner_re, double* __restrict inner_im, double* __restrict residual2,
                        double* __restrict total2) {
    const std::size_t d = rows.d, g = rows.g, width = rows.group_width;
    // Only products t in [t_begin, t_end) are formed.
    double* __restrict b_re = scratch;
    double* __restrict b_im = scratch + g;
    double* __restrict v_re = scratch + 2 * g;
    double* __restrict v_im = scratch + 3 * g;
    for (std::size_t r = 0; r < d; ++r) {
        const Complex alpha = rows.va[r], beta = rows.va[rows.to_b[r]];
        const double* __restrict left_re = rows.group_re + std::size_t(rows.to_a[r]) * width;
        const double* __restrict left_im = rows.group_im + std::size_t(rows.to_a[r]) * width;
        const double* __restrict right_re = rows.group_re + r * width;
        const double* __restrict right_im = rows.group_im + r * width;
        for (std::size_t t = t_begin; t < t_end; ++t) {
            const Complex b = rows.product_value(alpha, beta, left_re[t], left_im[t], right_re[t], right_im[t]);
            b_re[t] = b.re;
            b_im[t] = b.im;
            total2[t] += b.re * b.re + b.im * b.im;
        }
        const double* target_re = rows.target_re + r * rows.target_width;
        const double* target_im = rows.target_im + r * rows.target_width;
        for (std::size_t t = t_begin; t < t_end; ++t) {
            v_re[t] = target_re[columns[t]];
            v_im[t] = target_im[columns[t]];
        }
        for (std::size_t t = t_begin; t < t_end; ++t) {
            inner_re[t] += v_re[t] * b_re[t] + v_im[t] * b_im[t];
            inner_im[t] += v_re[t] * b_im[t] - v_im[t] * b_re[t];
            const double e_re = b_re[t] - (multiple_re[t] * v_re[t] - multiple_im[t] * v_im[t]);
            const double e_im = b_im[t] - (multiple_re[t] * v_im[t] + multiple_im[t] * v_re[t]);
            residual2[t] += e_re * e_re + e_im * e_im;
        }
    }
}

class SparseRows {
public:
    SparseRows(const SparseBasis& s, PairProduct product, double tol)
        : s_(s), product_(product), tol_(tol), lines_(matrices_by_line(s)) {
        min_norm_ = std::sqrt(*std::min_element(s.norm2.begin(), s.norm2.end()));
        max_norm_ = std::sqrt(*std::max_element(s.norm2.begin(), s.norm2.end()));
        if (s.d >= 2) monomial_ = monomial_patterns(s);
        if (!monomial_.patterns.empty()) group_monomials();
        if (disjoint_patterns_) find_characters();
    }

    struct Scratch {
        explicit Scratch(const SparseBasis& s)
            : product(s.length), marked(s.n, 0), candidate_used(s.n, 0), row_used(s.d, 0), col_used(s.d, 0) {}
        Accumulator product;
        std::vector<char> marked, candidate_used, row_used, col_used;
        std::vector<std::uint32_t> partners, candidates;
        std::vector<std::pair<std::uint32_t, Complex>> terms;
        // Monomial bases: per product of row i with one pattern group, its candidate column
        // and what the kernel accumulates for it; per pair, the outcome until the row is
        // written in order.
        std::vector<std::uint32_t> term_column, read_column;
        std::vector<double> multiple, inner_sum, residual2, total2;  // complex ones: real parts, then imaginary
        std::vector<double> kernel_scratch;
        std::vector<char> outcome;
        std::vector<std::uint32_t> term_k;
        std::vector<Complex> term_c;
        std::vector<std::uint32_t> failed, several_begin, several_end;
        std::vector<Complex> gathered;
        std::vector<std::pair<std::uint32_t, Complex>> several;
    };

    // The terms of row i, by increasing j, skipping the pairs with j in [skip_begin, i)
    // (append_row_terms).
    void row(std::size_t i, std::size_t skip_begin, Scratch& w, std::vector<CompactTerm>& out) const {
        if (!groups_.empty()) return monomial_row(i, skip_begin, w, out);
        const bool all = !find_partners(i, w);
        append_row_term_lists(i, skip_begin, s_.n, all ? nullptr : &w.partners, product_, out,
                              [&](std::size_t a, std::size_t b) -> const auto& {
                                  pair_terms(a, b, w);
                                  return w.terms;
                              });
    }

private:
    struct Group {
        std::vector<std::uint32_t> members;  // increasing
        std::vector<double> re, im;          // d x width: row r of every member (and complement)
        std::vector<Complex> projector;      // members x d: conj(v_m[r]) / |v_m|²
        std::size_t width = 0;               // members, and the complement when kept
    };
    static constexpr std::uint32_t kNoColumn = ~std::uint32_t(0);

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

    // Monomial bases (clock-and-shift, Pauli words), whose matrices fall into groups of one
    // pattern each: the products of B_i with a whole group share one pattern, and are formed
    // row by row for the group at once. A product that is a multiple of one column, up to a
    // residual that bounds every other coefficient below the threshold, has that single term;
    // any other goes to the projection on every column. (The pair (j, i) gives the exact
    // negative, or the same, product: floating-point products commute and x - y = -(y - x).)
    void group_monomials() {
        const std::size_t d = s_.d, count = monomial_.patterns.size();
        groups_.resize(count);
        slot_.resize(s_.n);
        for (std::size_t m = 0; m < s_.n; ++m) {
            Group& group = groups_[monomial_.pattern_of[m]];
            slot_[m] = std::uint32_t(group.members.size());
            group.members.push_back(std::uint32_t(m));
            const Complex* v = s_.value.data() + s_.start[m];
            by_ratio_.add(ratio_key(monomial_.pattern_of[m], v[0], v[1]), std::uint32_t(m));
        }
        for (std::size_t p = 0; p < count; ++p) {
            Group& group = groups_[p];
            const std::size_t g = group.members.size();
            const std::optional<std::vector<Complex>> complement = g + 1 == d ? complement_of(group) : std::nullopt;
            const std::size_t width = group.width = g + (complement ? 1 : 0);
            group.re.resize(d * width);
            group.im.resize(d * width);
            group.projector.resize(g * d);
            for (std::size_t t = 0; t < g; ++t) {
                const std::uint32_t m = group.members[t];
                const Complex* v = s_.value.data() + s_.start[m];
                for (std::size_t r = 0; r < d; ++r) {
                    group.re[r * width + t] = v[r].re;
                    group.im[r * width + t] = v[r].im;
                    group.projector[t * d + r] = {v[r].re / s_.norm2[m], -v[r].im / s_.norm2[m]};
                }
            }
            if (!complement) continue;
            for (std::size_t r = 0; r < d; ++r) {
                group.re[r * width + g] = (*complement)[r].re;
                group.im[r * width + g] = (*complement)[r].im;
            }
            const Complex u0 = (*complement)[0], u1 = (*complement)[1];
            if (magnitude2(u0) > 0.0 && magnitude2(u1) > 0.0)
                by_ratio_.add(ratio_key(p, u0, u1), std::uint32_t(s_.n + p));
        }
        by_ratio_.build();
        disjoint_patterns_ = true;
        for (std::size_t p = 0; p < s_.length && disjoint_patterns_; ++p)
            for (std::size_t q = s_.position_start[p]; q < s_.position_start[p + 1]; ++q)
                if (monomial_.pattern_of[s_.position_matrix[q]] != monomial_.pattern_of[s_.position_matrix[s_.position_start[p]]])
                    disjoint_patterns_ = false;
    }

    // The unit vector orthogonal to the d - 1 (orthogonal) members of a group, by Gram-Schmidt
    // on the unit vector that keeps most of its length: products along it (such as multiples
    // of the identity among traceless diagonal matrices) have no term.
    std::optional<std::vector<Complex>> complement_of(const Group& group) const {
        const std::size_t d = s_.d;
        std::vector<Complex> best, u(d);
        double best2 = 0.0;
        for (std::size_t e = 0; e < d; ++e) {
            std::fill(u.begin(), u.end(), Complex{});
            u[e] = {1.0, 0.0};
            for (std::uint32_t m : group.members) {
                const Complex* v = s_.value.data() + s_.start[m];
                const Complex c{v[e].re / s_.norm2[m], -v[e].im / s_.norm2[m]};  // <v, e_e> / |v|²
                for (std::size_t r = 0; r < d; ++r) u[r] = u[r] - c * v[r];
            }
            double u2 = 0.0;
            for (const Complex& z : u) u2 += magnitude2(z);
            if (u2 > best2) {
                best2 = u2;
                best = u;
            }
            if (best2 > 0.5) break;
        }
        if (!(best2 > 1e-6)) return std::nullopt;
        const double scale = 1.0 / std::sqrt(best2);
        for (Complex& z : best) z = {z.re * scale, z.im * scale};
        return best;
    }

    // Clock-and-shift structure: every pattern a cyclic shift (row r to column r + s mod d),
    // every matrix a multiple of a character r -> ω^(e r) of Z_d (ω = e^(2πi/d)), distinct
    // within its group. Then B_i B_j and B_j B_i are multiples of the character e_i + e_j in
    // the composed pattern, so each product's column follows from index arithmetic and its
    // coefficient from row 0 alone. Taken only when the measured distance from that structure
    // bounds every other coefficient far below the threshold.
    void find_characters() {
        const std::size_t d = s_.d, n = s_.n;
        for (const std::vector<std::uint32_t>& pattern : monomial_.patterns)
            for (std::size_t r = 0; r < d; ++r)
                if ((pattern[r] + d - pattern[0]) % d != r) return;
        constexpr double kTwoPi = 6.283185307179586476925286766559;
        std::vector<Complex> root(d);
        for (std::size_t x = 0; x < d; ++x) root[x] = {std::cos(kTwoPi * double(x) / double(d)), std::sin(kTwoPi * double(x) / double(d))};
        std::vector<std::uint32_t> character(n), with_character(groups_.size() * d, kNoColumn);
        double deviation = 0.0, amplitude2 = 0.0;
        for (std::size_t m = 0; m < n; ++m) {
            const Complex* v = s_.value.data() + s_.start[m];
            const double v02 = magnitude2(v[0]);
            if (!(v02 > 0.0) || !std::isfinite(v02)) return;
            const Complex ratio = inner(v[0], v[1]);  // (v1 / v0) · |v0|²
            const double turns = std::atan2(ratio.im, ratio.re) / kTwoPi;
            const std::int64_t signed_e = std::llround(turns * double(d)) % std::int64_t(d);
            const std::size_t e = std::size_t(signed_e < 0 ? signed_e + std::int64_t(d) : signed_e);
            for (std::size_t r = 0; r < d; ++r) {
                const Complex expected = v[0] * root[(e * r) % d];
                const double off = std::sqrt(magnitude2(v[r] - expected) / v02);
                if (!(off <= 1e-6)) return;
                deviation = std::max(deviation, off);
            }
            std::uint32_t& member = with_character[monomial_.pattern_of[m] * d + e];
            if (member != kNoColumn) return;
            member = slot_[m];
            character[m] = std::uint32_t(e);
            amplitude2 = std::max(amplitude2, v02);
        }
        // Each element of a product is off its closed form by at most about 8 δ |v|² (δ the
        // relative deviation, with rounding), so any other coefficient by that times √d / min norm.
        const double others = 16.0 * amplitude2 * (deviation + double(d) * 1e-16) * std::sqrt(double(d)) / min_norm_;
        if (!(others <= kOtherTermsFraction * tol_)) return;
        character_ = std::move(character);
        with_character_ = std::move(with_character);
    }

    // Clock-and-shift bases: the products of B_a with group `group`, one term each, from row 0.
    void character_products(std::size_t a, std::size_t pattern, const GroupRows& rows, const Group& group,
                            const Group& target, const std::size_t (&ranges)[2][2], Scratch& w) const {
        for (const auto& [t_begin, t_end] : ranges)
            for (std::size_t t = t_begin; t < t_end; ++t) {
                const std::uint32_t j = group.members[t];
                const std::uint32_t column = with_character_[pattern * s_.d + (character_[a] + character_[j]) % s_.d];
                // Along a character that no member has, the product is orthogonal to every column.
                if (column == kNoColumn) {
                    w.outcome[j] = kNoTerm;
                    continue;
                }
                const Complex first = rows.product(0, t), v0{target.re[column], target.im[column]};
                const double scale = 1.0 / magnitude2(v0);
                const Complex x{inner(v0, first).re * scale, inner(v0, first).im * scale};  // first / v0
                if (!finite(x)) fail_overflow();
                w.outcome[j] = kept(x, tol_) ? kOneTerm : kNoTerm;
                w.term_k[j] = target.members[column];
                w.term_c[j] = x;
            }
    }

    enum Outcome : char { kNoTerm, kOneTerm, kSeveralTerms, kProject };

    void monomial_row(std::size_t i, std::size_t skip_begin, Scratch& w, std::vector<CompactTerm>& out) const {
        w.outcome.assign(s_.n, kProject);
        w.term_k.resize(s_.n);
        w.term_c.resize(s_.n);
        w.several_begin.resize(s_.n);
        w.several_end.resize(s_.n);
        w.several.clear();
        for (std::size_t p = 0; p < groups_.size(); ++p) group_products(i, p, skip_begin, w);
        for (std::size_t j = 0; j < s_.n; ++j) {
            if ((j == i && product_ == PairProduct::commutator) || (j >= skip_begin && j < i)) continue;
            if (w.outcome[j] == kOneTerm) {
                out.push_back({std::uint32_t(j), w.term_k[j], w.term_c[j]});
            } else if (w.outcome[j] == kSeveralTerms) {
                for (std::uint32_t e = w.several_begin[j]; e < w.several_end[j]; ++e)
                    out.push_back({std::uint32_t(j), w.several[e].first, w.several[e].second});
            } else if (w.outcome[j] == kProject) {
                pair_terms(std::min(i, j), std::max(i, j), w);
                const double sign = product_ == PairProduct::commutator && i > j ? -1.0 : 1.0;
                for (const auto& [k, c] : w.terms) out.push_back({std::uint32_t(j), k, {sign * c.re, sign * c.im}});
            }
        }
    }

    // The members j of group pb in [0, skip_begin) and [a, n) (members are increasing: a prefix
    // and a suffix of the group).
    void group_products(std::size_t a, std::size_t pb, std::size_t skip_begin, Scratch& w) const {
        const std::size_t d = s_.d, count = monomial_.patterns.size();
        const std::size_t pa = monomial_.pattern_of[a];
        const std::int32_t pattern = monomial_.compose[pa * count + pb];
        if (pattern < 0 || pattern != monomial_.compose[pb * count + pa]) return;  // projected
        const Group& group = groups_[pb];
        const Group& target = groups_[std::size_t(pattern)];
        const std::size_t g = group.members.size(), h = target.members.size();
        GroupRows rows{d, g, group.width, target.width, product_ == PairProduct::commutator ? -1.0 : 1.0, s_.value.data() + s_.start[a],
                       monomial_.patterns[pa].data(), monomial_.patterns[pb].data(), group.re.data(),
                       group.im.data(), target.re.data(), target.im.data()};

        const auto members = group.members.begin();
        const std::size_t prefix = std::size_t(std::lower_bound(members, members + std::ptrdiff_t(g), std::min(skip_begin, a)) - members);
        const std::size_t suffix = std::size_t(std::lower_bound(members, members + std::ptrdiff_t(g), a) - members);
        const std::size_t ranges[2][2] = {{0, prefix}, {suffix, g}};
        if (!character_.empty()) return character_products(a, std::size_t(pattern), rows, group, target, ranges, w);

        // The column each product may be a multiple of, found by its first two rows; products
        // zero in both rows are looked at whole.
        w.term_column.resize(g);
        w.read_column.resize(g);
        w.multiple.resize(2 * g);
        for (const auto& [t_begin, t_end] : ranges)
        for (std::size_t t = t_begin; t < t_end; ++t) {
            const Complex first = rows.product(0, t), second = rows.product(1, t);
            w.term_column[t] = kNoColumn;
            w.read_column[t] = 0;
            w.multiple[t] = w.multiple[g + t] = 0.0;
            if (!(magnitude2(first) > 0.0 && magnitude2(second) > 0.0)) {
                if (magnitude2(first) == 0.0 && magnitude2(second) == 0.0 && zero_product(rows, t))
                    w.outcome[group.members[t]] = kNoTerm;
                continue;
            }
            for (std::uint32_t m : by_ratio_.find(ratio_key(std::size_t(pattern), first, second)))
                if (m >= s_.n ? m - s_.n == std::size_t(pattern) : monomial_.pattern_of[m] == std::size_t(pattern)) {
                    const std::uint32_t column = m >= s_.n ? std::uint32_t(h) : slot_[m];
                    const Complex v0{target.re[column], target.im[column]};
                    const double scale = 1.0 / magnitude2(v0);
                    w.term_column[t] = w.read_column[t] = column;
                    w.multiple[t] = inner(v0, first).re * scale;  // first / v0
                    w.multiple[g + t] = inner(v0, first).im * scale;
                    break;
                }
        }
        w.inner_sum.assign(2 * g, 0.0);
        w.residual2.assign(g, 0.0);
        w.total2.assign(g, 0.0);
        w.kernel_scratch.resize(4 * g);
        for (const auto& [t_begin, t_end] : ranges)
            if (t_begin < t_end)
                group_product_rows(rows, t_begin, t_end, w.read_column.data(), w.multiple.data(), w.multiple.data() + g,
                                   w.kernel_scratch.data(), w.inner_sum.data(), w.inner_sum.data() + g,
                                   w.residual2.data(), w.total2.data());
        const std::uint32_t* columns = w.term_column.data();
        const double* residual2 = w.residual2.data();
        w.failed.clear();
        for (const auto& [t_begin, t_end] : ranges)
        for (std::size_t t = t_begin; t < t_end; ++t) {
            const std::uint32_t j = group.members[t], column = columns[t];
            if (w.outcome[j] == kNoTerm) continue;
            if (!std::isfinite(w.total2[t])) fail_overflow();
            // A product this small (rounding left by a commuting pair) bounds every coefficient.
            if (std::sqrt(w.total2[t]) / min_norm_ <= kOtherTermsFraction * tol_) {
                w.outcome[j] = kNoTerm;
                continue;
            }
            if (column == kNoColumn) {
                w.failed.push_back(std::uint32_t(t));
                continue;
            }
            // Along the complement (norm 1) every coefficient is bounded as for a column, the
            // complement being orthogonal to the columns within about d times their tolerance.
            const bool complement = column == h;
            const std::uint32_t m = complement ? 0 : target.members[column];
            const double norm2 = complement ? 1.0 : s_.norm2[m];
            const Complex x{w.inner_sum[t] / norm2, w.inner_sum[g + t] / norm2};
            if (!finite(x) || !std::isfinite(residual2[t])) fail_overflow();
            const double skew = complement ? double(d) * kOrthogonality : kOrthogonality * max_norm_;
            const double others = (std::sqrt(residual2[t]) + std::sqrt(magnitude2(x)) * skew) / min_norm_;
            if (!(others <= kOtherTermsFraction * tol_)) {
                w.failed.push_back(std::uint32_t(t));
                continue;
            }
            w.outcome[j] = !complement && kept(x, tol_) ? kOneTerm : kNoTerm;
            w.term_k[j] = m;
            w.term_c[j] = x;
        }
        if (!w.failed.empty() && disjoint_patterns_) project_on_group(rows, group, target, w);
    }

    static bool zero_product(const GroupRows& rows, std::size_t t) {
        for (std::size_t r = 0; r < rows.d; ++r) {
            const Complex b = rows.product(r, t);
            if (b.re != 0.0 || b.im != 0.0) return false;
        }
        return true;
    }

    // When no two patterns share a position, only the target group's columns can have a
    // coefficient: a product that is not one multiple is projected on each of them.
    void project_on_group(const GroupRows& rows, const Group& group, const Group& target, Scratch& w) const {
        const std::size_t d = s_.d, h = target.members.size();
        w.gathered.resize(d);
        for (std::uint32_t t : w.failed) {
            for (std::size_t r = 0; r < d; ++r) {
                w.gathered[r] = rows.product(r, t);
                if (!finite(w.gathered[r])) fail_overflow();
            }
            const std::uint32_t j = group.members[t];
            w.outcome[j] = kSeveralTerms;
            w.several_begin[j] = std::uint32_t(w.several.size());
            for (std::size_t row = 0; row < h; ++row) {
                const Complex* projector = target.projector.data() + row * d;
                Complex x{};
                for (std::size_t r = 0; r < d; ++r) x += projector[r] * w.gathered[r];
                if (kept(x, tol_)) w.several.emplace_back(target.members[row], x);
            }
            w.several_end[j] = std::uint32_t(w.several.size());
        }
    }

    const SparseBasis& s_;
    PairProduct product_;
    double tol_;
    MatricesByLine lines_;
    double min_norm_ = 0.0, max_norm_ = 0.0;
    MonomialPatterns monomial_;
    std::vector<Group> groups_;       // by pattern; empty unless every matrix is monomial
    std::vector<std::uint32_t> slot_;  // a matrix's place in its group
    bool disjoint_patterns_ = false;   // no two patterns share a position
    std::vector<std::uint32_t> character_;       // clock-and-shift bases: e of each matrix, else empty
    std::vector<std::uint32_t> with_character_;  // pattern x e -> slot in the group, or kNoColumn
    RatioIndex by_ratio_;
};

}  // namespace

TermTable sparse_orthogonal_tensor(const SparseBasis& sparse, const TensorRequest& request, const std::stop_token& stop) {
    const SparseRows rows(sparse, request.product, request.tol);
    return mirrored_rows_in_parallel<SparseRows::Scratch>(
        request, stop, [&] { return SparseRows::Scratch(sparse); },
        [&](std::size_t i, std::size_t skip_begin, SparseRows::Scratch& w, std::vector<CompactTerm>& out) {
            rows.row(i, skip_begin, w, out);
        });
}

}  // namespace tanvo::tensor_rows
