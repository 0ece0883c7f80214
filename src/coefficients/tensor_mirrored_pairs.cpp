// Complete tensors of bases of mirrored pairs and diagonal matrices (the Gell-Mann bases and
// their like): the coefficients of each product found by lookups per position.
#include "coefficients/tensor_rows.hpp"

namespace tanvo::tensor_rows {
namespace {


// Mirrored-pair tensors of fewer pairs are computed on one thread.
constexpr std::size_t kPairsForHelpers = std::size_t(1) << 15;

// Bases whose matrices each have either two non-zeros at mirrored positions (a, b), (b, a) or
// only diagonal ones, as the Gell-Mann bases. A product of two of them has at most four
// non-zeros off the diagonal, each position the support of at most two matrices, so its
// coefficients are found by lookups; only pairs of diagonal matrices or of matrices on the
// same positions have a diagonal part, projected on the diagonal matrices.
class MirroredPairRows {
public:
    // The rows when every matrix has that form, else nothing; O(n d).
    static std::optional<MirroredPairRows> detect(const SparseBasis& s, PairProduct product, double tol) {
        MirroredPairRows rows(s, product, tol);
        const std::size_t d = s.d;
        rows.at_position_.assign(2 * d * d, kNone);
        rows.by_index_.resize(d);
        for (std::size_t m = 0; m < s.n; ++m) {
            const std::size_t begin = s.start[m], end = s.start[m + 1];
            bool diagonal = begin < end;
            for (std::size_t e = begin; e < end && diagonal; ++e) diagonal = s.row[e] == s.col[e];
            Matrix& matrix = rows.matrices_[m];
            if (diagonal) {
                matrix.diagonal = std::uint32_t(rows.diagonals_.size());
                rows.diagonals_.push_back(std::uint32_t(m));
                rows.diagonal_values_.resize(rows.diagonals_.size() * d);
                for (std::size_t e = begin; e < end; ++e) rows.diagonal_values_[matrix.diagonal * d + s.row[e]] = s.value[e];
                continue;
            }
            if (end - begin != 2 || s.row[begin] == s.col[begin] || s.row[begin] != s.col[begin + 1] ||
                s.col[begin] != s.row[begin + 1])
                return std::nullopt;
            const bool upper_first = s.row[begin] < s.col[begin];
            matrix.a = std::min(s.row[begin], s.col[begin]);
            matrix.b = std::max(s.row[begin], s.col[begin]);
            matrix.ab = s.value[upper_first ? begin : begin + 1];
            matrix.ba = s.value[upper_first ? begin + 1 : begin];
            std::uint32_t* slots = rows.at_position_.data() + 2 * (matrix.a * d + matrix.b);
            if (slots[1] != kNone) return std::nullopt;
            slots[slots[0] == kNone ? 0 : 1] = std::uint32_t(m);
            rows.by_index_[matrix.a].push_back(std::uint32_t(m));
            rows.by_index_[matrix.b].push_back(std::uint32_t(m));
        }
        rows.diagonal_support_start_.push_back(0);
        for (std::size_t q = 0; q < rows.diagonals_.size(); ++q) {
            for (std::uint32_t t = 0; t < d; ++t) {
                const Complex u = rows.diagonal_values_[q * d + t];
                if (u.re != 0.0 || u.im != 0.0) rows.diagonal_support_.push_back(t);
            }
            rows.diagonal_support_start_.push_back(std::uint32_t(rows.diagonal_support_.size()));
        }
        return rows;
    }

    // How many pairs the rows [begin, end) look at.
    std::size_t pairs(std::size_t begin, std::size_t end) const {
        std::size_t count = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const Matrix& mi = matrices_[i];
            count += mi.diagonal != kNone ? s_.n
                                          : by_index_[mi.a].size() + by_index_[mi.b].size() + diagonals_.size();
        }
        return count;
    }

    struct Scratch {
        explicit Scratch(std::size_t d) : diagonal(d) {}
        std::vector<std::uint32_t> partners, merged, candidates;
        struct Entry {
            std::uint32_t r, c;
            Complex v;
        };
        std::vector<Entry> entries;  // the product off the diagonal, one per position
        std::vector<Complex> diagonal;
        std::vector<std::uint32_t> on_diagonal;  // where the diagonal may be non-zero, unless full
        std::vector<std::uint32_t> non_zero;     // where a full diagonal is non-zero
        bool has_diagonal = false, full_diagonal = false;
        std::vector<std::pair<std::uint32_t, Complex>> terms;
    };

    // As SparseRows::row.
    void row(std::size_t i, std::size_t skip_begin, Scratch& w, std::vector<CompactTerm>& out) const {
        const Matrix& mi = matrices_[i];
        const bool all = mi.diagonal != kNone;
        if (!all) {
            // Only the partners the row computes, those before skip_begin and those from i on:
            // merging the others, which the row skips, took a tenth of its time.
            const std::vector<std::uint32_t>&first = by_index_[mi.a], &second = by_index_[mi.b];
            w.partners.clear();
            const std::pair<std::size_t, std::size_t> computed[] = {{0, skip_begin}, {i, s_.n}};
            for (const auto& [low, high] : computed) {
                if (low >= high) continue;
                auto within = [low, high](const std::vector<std::uint32_t>& v) {
                    return std::pair{std::lower_bound(v.begin(), v.end(), low), std::lower_bound(v.begin(), v.end(), high)};
                };
                const auto [first_begin, first_end] = within(first);
                const auto [second_begin, second_end] = within(second);
                const auto [diagonal_begin, diagonal_end] = within(diagonals_);
                w.merged.resize(std::size_t((first_end - first_begin) + (second_end - second_begin)));
                w.merged.erase(std::set_union(first_begin, first_end, second_begin, second_end, w.merged.begin()),
                               w.merged.end());
                const std::size_t at = w.partners.size();
                w.partners.resize(at + w.merged.size() + std::size_t(diagonal_end - diagonal_begin));
                std::merge(w.merged.begin(), w.merged.end(), diagonal_begin, diagonal_end,
                           w.partners.begin() + std::ptrdiff_t(at));
            }
        }
        // Most pairs hand their terms straight to the row.
        append_row_terms(i, skip_begin, s_.n, all ? nullptr : &w.partners, product_, out,
                         [&](std::size_t x, std::size_t y, auto&& emit) {
                             if (off_diagonal_pair_terms(x, y, emit)) return;
                             other_pair_terms(x, y, w);
                             for (const auto& [k, c] : w.terms) emit(k, c);
                         });
    }

private:
    static constexpr std::uint32_t kNone = ~std::uint32_t(0);
    struct Matrix {
        std::uint32_t diagonal = kNone;  // place among the diagonal matrices, or kNone
        std::uint32_t a = 0, b = 0;      // off the diagonal: a < b
        Complex ab, ba;                  // the values at (a, b) and (b, a)
    };

    MirroredPairRows(const SparseBasis& s, PairProduct product, double tol)
        : s_(s), product_(product), tol_(tol), matrices_(s.n), exact_inverse_norm2_(s.n, 0.0) {
        for (std::size_t m = 0; m < s.n; ++m) {
            int exponent = 0;
            const double inverse = std::frexp(s.norm2[m], &exponent) == 0.5 ? std::ldexp(1.0, 1 - exponent) : 0.0;
            if (std::isfinite(inverse)) exact_inverse_norm2_[m] = inverse;
        }
    }

    void add(Scratch& w, std::uint32_t r, std::uint32_t c, Complex v) const {
        if (r == c) {
            if (std::find(w.on_diagonal.begin(), w.on_diagonal.end(), r) == w.on_diagonal.end()) w.on_diagonal.push_back(r);
            w.diagonal[r] += v;
            w.has_diagonal = true;
            return;
        }
        for (auto& entry : w.entries)
            if (entry.r == r && entry.c == c) {
                entry.v += v;
                return;
            }
        w.entries.push_back({r, c, v});
    }

    // scale · B_x B_y added to the product.
    void multiply(std::size_t x, std::size_t y, double scale, Scratch& w) const {
        const Matrix &mx = matrices_[x], &my = matrices_[y];
        const std::size_t d = s_.d;
        auto scaled = [scale](Complex v) { return Complex{scale * v.re, scale * v.im}; };
        if (mx.diagonal != kNone && my.diagonal != kNone) {
            const Complex *u = diagonal_values_.data() + mx.diagonal * d, *v = diagonal_values_.data() + my.diagonal * d;
            for (std::size_t t = 0; t < d; ++t) w.diagonal[t] += scaled(u[t] * v[t]);
            w.has_diagonal = w.full_diagonal = true;
        } else if (mx.diagonal != kNone) {
            const Complex* u = diagonal_values_.data() + mx.diagonal * d;
            add(w, my.a, my.b, scaled(u[my.a] * my.ab));
            add(w, my.b, my.a, scaled(u[my.b] * my.ba));
        } else if (my.diagonal != kNone) {
            const Complex* v = diagonal_values_.data() + my.diagonal * d;
            add(w, mx.a, mx.b, scaled(mx.ab * v[mx.b]));
            add(w, mx.b, mx.a, scaled(mx.ba * v[mx.a]));
        } else {
            // (p|a><b| + q|b><a|)(s|c><e| + t|e><c|), c = my.a, e = my.b
            if (mx.b == my.a) add(w, mx.a, my.b, scaled(mx.ab * my.ab));
            if (mx.b == my.b) add(w, mx.a, my.a, scaled(mx.ab * my.ba));
            if (mx.a == my.a) add(w, mx.b, my.b, scaled(mx.ba * my.ab));
            if (mx.a == my.b) add(w, mx.b, my.a, scaled(mx.ba * my.ba));
        }
    }

    // sum / |B_m|², by a product when that is exact (a power of two, as in Gell-Mann bases).
    Complex projected(std::size_t m, Complex sum) const {
        const double inverse = exact_inverse_norm2_[m];
        if (inverse != 0.0) return {sum.re * inverse, sum.im * inverse};
        return {sum.re / s_.norm2[m], sum.im / s_.norm2[m]};
    }

    // The coefficient of the off-diagonal matrix m, from the product's values at its positions.
    Complex off_diagonal_coefficient(std::size_t m, Complex at_ab, Complex at_ba) const {
        const Matrix& mm = matrices_[m];
        return projected(m, inner(mm.ab, at_ab) + inner(mm.ba, at_ba));
    }

    // Most pairs, a diagonal and an off-diagonal matrix or two off-diagonal ones sharing one
    // index, have a product without diagonal part whose non-zeros lie on one mirrored pair of
    // positions (a, b), (b, a), so its only coefficients are those of the (at most two)
    // matrices there: the general case's operations (B_x B_y first, then B_y B_x scaled by the
    // sign) without its searches and lists. False for the other pairs.
    template <class Emit>
    bool off_diagonal_pair_terms(std::size_t x, std::size_t y, Emit&& emit) const {
        const Matrix &mx = matrices_[x], &my = matrices_[y];
        const double sign = product_ == PairProduct::commutator ? -1.0 : 1.0;
        auto signed_ = [sign](Complex v) { return Complex{sign * v.re, sign * v.im}; };
        const std::size_t d = s_.d;
        std::uint32_t a = 0, b = 0;
        Complex at_ab, at_ba;
        if (mx.diagonal != kNone) {
            if (my.diagonal != kNone) return false;
            const Complex* u = diagonal_values_.data() + mx.diagonal * d;
            a = my.a;
            b = my.b;
            at_ab = u[a] * my.ab + signed_(my.ab * u[b]);
            at_ba = u[b] * my.ba + signed_(my.ba * u[a]);
        } else if (my.diagonal != kNone) {
            const Complex* v = diagonal_values_.data() + my.diagonal * d;
            a = mx.a;
            b = mx.b;
            at_ab = mx.ab * v[b] + signed_(v[a] * mx.ab);
            at_ba = mx.ba * v[a] + signed_(v[b] * mx.ba);
        } else {
            if (mx.a == my.a && mx.b == my.b) return false;
            // One shared index t: B_x B_y = value |p><q| and B_y B_x = value' |q><p|, where p
            // and q are the other indices of x and y.
            const bool x_shares_b = mx.b == my.a || mx.b == my.b, y_shares_b = my.b == mx.a || my.b == mx.b;
            if (!x_shares_b && mx.a != my.a && mx.a != my.b) return true;  // no shared index: both products vanish
            const std::uint32_t p = x_shares_b ? mx.a : mx.b, q = y_shares_b ? my.a : my.b;
            // x's value towards t, then y's value from t; and the reverse.
            const Complex x_to_t = x_shares_b ? mx.ab : mx.ba, t_to_y = y_shares_b ? my.ba : my.ab;
            const Complex y_to_t = y_shares_b ? my.ab : my.ba, t_to_x = x_shares_b ? mx.ba : mx.ab;
            const Complex pq = x_to_t * t_to_y, qp = signed_(y_to_t * t_to_x);
            a = std::min(p, q);
            b = std::max(p, q);
            at_ab = p < q ? pq : qp;
            at_ba = p < q ? qp : pq;
        }
        if (!finite(at_ab) || !finite(at_ba)) fail_overflow();
        const std::uint32_t* slots = at_position_.data() + 2 * (a * d + b);
        for (int q = 0; q < 2 && slots[q] != kNone; ++q) {  // in increasing m
            const Complex x_m = off_diagonal_coefficient(slots[q], at_ab, at_ba);
            if (kept(x_m, tol_)) emit(slots[q], x_m);
        }
        return true;
    }

    Complex at(const Scratch& w, std::uint32_t r, std::uint32_t c) const {
        for (const auto& entry : w.entries)
            if (entry.r == r && entry.c == c) return entry.v;
        return {};
    }

    // The kept terms of the product of (x, y), x ≤ y, for a pair off_diagonal_pair_terms does
    // not take, by increasing k, into w.terms.
    void other_pair_terms(std::size_t x, std::size_t y, Scratch& w) const {
        const std::size_t d = s_.d;
        w.terms.clear();
        w.entries.clear();
        if (w.full_diagonal) std::fill(w.diagonal.begin(), w.diagonal.end(), Complex{});
        for (std::uint32_t t : w.on_diagonal) w.diagonal[t] = Complex{};
        w.on_diagonal.clear();
        w.has_diagonal = w.full_diagonal = false;
        multiply(x, y, 1.0, w);
        multiply(y, x, product_ == PairProduct::commutator ? -1.0 : 1.0, w);
        for (const auto& entry : w.entries)
            if (!finite(entry.v)) fail_overflow();
        if (w.full_diagonal)
            for (const Complex& v : w.diagonal)
                if (!finite(v)) fail_overflow();
        for (std::uint32_t t : w.on_diagonal)
            if (!finite(w.diagonal[t])) fail_overflow();
        w.candidates.clear();
        for (const auto& entry : w.entries) {
            const std::uint32_t* slots = at_position_.data() + 2 * (std::min(entry.r, entry.c) * d + std::max(entry.r, entry.c));
            for (int q = 0; q < 2; ++q)
                if (slots[q] != kNone && std::find(w.candidates.begin(), w.candidates.end(), slots[q]) == w.candidates.end())
                    w.candidates.push_back(slots[q]);
        }
        for (std::uint32_t m : w.candidates) {
            const Matrix& mm = matrices_[m];
            const Complex x_m = off_diagonal_coefficient(m, at(w, mm.a, mm.b), at(w, mm.b, mm.a));
            if (kept(x_m, tol_)) w.terms.emplace_back(m, x_m);
        }
        // Diagonal matrices commute, bit for bit: their commutator needs no projection.
        const bool zero_diagonal = w.full_diagonal && std::all_of(w.diagonal.begin(), w.diagonal.end(),
                                                                  [](Complex v) { return v.re == 0.0 && v.im == 0.0; });
        // Where either factor is zero, inner() is a signed zero, which leaves the sum as it is
        // (it starts at +0 and a rounded sum is -0 only when both addends are). So the sum over
        // the non-zeros of u, or over those of the product, whichever are fewer, is the sum over
        // the whole diagonal, bit for bit.
        if (w.full_diagonal && !zero_diagonal) {
            w.non_zero.clear();
            for (std::uint32_t t = 0; t < d; ++t)
                if (w.diagonal[t].re != 0.0 || w.diagonal[t].im != 0.0) w.non_zero.push_back(t);
        }
        if (w.has_diagonal && !zero_diagonal)
            for (std::size_t q = 0; q < diagonals_.size(); ++q) {
                const Complex* u = diagonal_values_.data() + q * d;
                Complex sum{};
                const std::size_t support = diagonal_support_start_[q + 1] - diagonal_support_start_[q];
                if (w.full_diagonal && w.non_zero.size() < support)
                    for (std::uint32_t t : w.non_zero) sum += inner(u[t], w.diagonal[t]);
                else if (w.full_diagonal)
                    for (std::size_t e = diagonal_support_start_[q]; e < diagonal_support_start_[q + 1]; ++e)
                        sum += inner(u[diagonal_support_[e]], w.diagonal[diagonal_support_[e]]);
                else  // products of two matrices off the diagonal: at most two diagonal entries
                    for (std::uint32_t t : w.on_diagonal) sum += inner(u[t], w.diagonal[t]);
                const std::uint32_t m = diagonals_[q];
                const Complex x_m = projected(m, sum);
                if (kept(x_m, tol_)) w.terms.emplace_back(m, x_m);
            }
        std::sort(w.terms.begin(), w.terms.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
    }

    const SparseBasis& s_;
    PairProduct product_;
    double tol_;
    std::vector<Matrix> matrices_;
    std::vector<double> exact_inverse_norm2_;  // 1 / |B_m|² when a power of two, else 0
    std::vector<std::uint32_t> diagonals_;            // the diagonal matrices, increasing
    std::vector<Complex> diagonal_values_;            // their diagonals, d each
    std::vector<std::uint32_t> diagonal_support_, diagonal_support_start_;  // their non-zeros
    std::vector<std::uint32_t> at_position_;          // d x d x 2: matrices on (a, b), a < b
    std::vector<std::vector<std::uint32_t>> by_index_;  // off-diagonal matrices with a or b = t, increasing
};

}  // namespace

std::optional<TermTable> mirrored_pair_tensor(const SparseBasis& sparse, const TensorRequest& request,
                                             const std::stop_token& stop) {
    const std::optional<MirroredPairRows> rows = MirroredPairRows::detect(sparse, request.product, request.tol);
    if (!rows) return std::nullopt;
    // A few tens of thousands of pairs take a fraction of a millisecond: on one thread they
    // finish before the others would be woken for each step (on a busy machine, twice as fast
    // at su(16)).
    TensorRequest sized = request;
    if (rows->pairs(request.row_begin, request.row_end) < kPairsForHelpers) sized.threads = 1;
    const std::size_t d = sparse.d;
    return mirrored_rows_in_parallel<MirroredPairRows::Scratch>(
        sized, stop, [&] { return MirroredPairRows::Scratch(d); },
        [&](std::size_t i, std::size_t skip_begin, MirroredPairRows::Scratch& w, std::vector<CompactTerm>& out) {
            rows->row(i, skip_begin, w, out);
        });
}

}  // namespace tanvo::tensor_rows
