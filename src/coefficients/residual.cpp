// Row residuals of a basis under a product. For row i,
//   sum_j ||B_i B_j||^2 = tr(B_i^H B_i A2),  sum_j ||B_j B_i||^2 = tr(B_i^H A1 B_i),
//   sum_j <B_i B_j, B_j B_i> = sum conj(B_i[r, c]) B_i[r', c'] Q[(c, c'), (r, r')],
// with A1 = sum_m B_m^H B_m, A2 = sum_m B_m B_m^H and Q[(x, y), (z, w)] = sum_m conj(B_m[x, y]) B_m[z, w]:
// sums over pairs of entries of one matrix. The part inside the span is ||sum_k t_k B_k||^2 for
// each pair's coefficients t, summed into a scratch matrix from the terms' entries.
#include "coefficients/residual.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "core/matrix.hpp"
#include "core/parallel.hpp"

namespace tanvo {
namespace {

// Entry pairs of single matrices kept at once (Q's terms: 24 bytes each).
constexpr std::uint64_t kEntryPairLimit = std::uint64_t(1) << 25;
// A pair of entries sorted and looked up costs about as much as this many multiply-adds of a
// matrix product: beyond n d^4 / kDenseRatio pairs, NumPy's products of the whole basis win.
constexpr double kDenseRatio = 64.0;
constexpr std::size_t kDenseLimit = 64;  // the d^4 array of NumPy's method, at most 268 MB

Complex conjugate(Complex a) { return {a.re, -a.im}; }
double magnitude2(Complex a) { return a.re * a.re + a.im * a.im; }

// The non-zero entries of every matrix, in row-major order.
struct Entries {
    std::size_t d = 0;
    std::vector<std::size_t> first{0};  // matrix m: entries [first[m], first[m + 1])
    std::vector<std::uint32_t> row, col;
    std::vector<Complex> value;

    std::uint64_t position(std::size_t e) const { return std::uint64_t(row[e]) * d + col[e]; }
    std::size_t count(std::size_t m) const { return first[m + 1] - first[m]; }
};

Entries read_entries(const BasisView& basis, const std::stop_token& stop) {
    Entries out;
    out.d = basis.d;
    const std::size_t d = basis.d;
    for (std::size_t m = 0; m < basis.size(); ++m) {
        stop_point(stop);
        const Complex* a = basis.matrices[m];
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex v = a[r * d + c];
                if (v.re != 0.0 || v.im != 0.0) {
                    out.row.push_back(std::uint32_t(r));
                    out.col.push_back(std::uint32_t(c));
                    out.value.push_back(v);
                }
            }
        out.first.push_back(out.value.size());
    }
    return out;
}

// Sums of complex values by 64-bit key: open addressing, linear probing, at most half full. It
// starts small and doubles as keys come: the pairs of entries often share a few keys (those of
// clock-and-shift su(64) 262,144 keys among 16.8 million pairs), and a table sized for every
// pair would be written whole, hundreds of megabytes, before the first sum.
class SumTable {
public:
    // Room for `most` keys is checked up front; the table holds what the keys need.
    explicit SumTable(std::uint64_t most) {
        std::uint64_t capacity = kFirstCapacity;
        while (capacity < 2 * most) capacity *= 2;
        require_memory(capacity, sizeof(Slot));
        resize(kFirstCapacity);
    }
    void add(std::uint64_t key, Complex value) {
        for (std::size_t at = slot_of(key);; at = (at + 1) & mask_) {
            Slot& slot = slots_[at];
            if (slot.key == kEmpty) {
                slot = {key, value};
                if (2 * ++size_ > slots_.size()) grow();
                return;
            }
            if (slot.key == key) {
                slot.sum += value;
                return;
            }
        }
    }
    Complex at(std::uint64_t key) const {
        for (std::size_t at = slot_of(key);; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.key == kEmpty) return {};
            if (slot.key == key) return slot.sum;
        }
    }

private:
    // No key reaches it: keys are below d^4, and d^2 entries of 16 bytes could not be held
    // for d near 2^16.
    static constexpr std::uint64_t kEmpty = ~std::uint64_t(0);
    static constexpr std::size_t kFirstCapacity = 1024;
    struct Slot {
        std::uint64_t key = kEmpty;
        Complex sum{};
    };
    void resize(std::size_t capacity) {
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        resize(old.size() * 2);
        for (const Slot& slot : old) {
            if (slot.key == kEmpty) continue;
            std::size_t at = slot_of(slot.key);
            while (slots_[at].key != kEmpty) at = (at + 1) & mask_;
            slots_[at] = slot;
        }
    }
    // Fibonacci hashing: the top bits of the key times 2^64 / golden ratio.
    std::size_t slot_of(std::uint64_t key) const { return std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift_); }
    std::vector<Slot> slots_;
    std::size_t mask_ = 0, size_ = 0;
    int shift_ = 64;
};

void check_terms(std::size_t n, std::span<const std::int64_t> indices, std::span<const Complex> values,
                 std::size_t row_begin, std::size_t row_end) {
    if (indices.size() != 3 * values.size()) throw std::invalid_argument("indices must hold three per value");
    for (std::size_t t = 0; t < values.size(); ++t)
        if (indices[3 * t] < std::int64_t(row_begin) || indices[3 * t] >= std::int64_t(row_end) ||
            indices[3 * t + 1] < 0 || std::uint64_t(indices[3 * t + 1]) >= n || indices[3 * t + 2] < 0 ||
            std::uint64_t(indices[3 * t + 2]) >= n)
            throw std::invalid_argument("a term's index is outside the tensor's rows");
}

// A sum of sparse matrices in a d x d scratch, with the positions it touched.
class ScratchSum {
public:
    explicit ScratchSum(std::size_t d) : d_(d) {
        require_memory(std::uint64_t(d) * d, sizeof(Complex));
        sum_.resize(d * d);
    }
    void add(std::size_t row, std::size_t col, Complex value) {
        const std::size_t at = row * d_ + col;
        if (sum_[at] == Complex{}) touched_.push_back(at);
        sum_[at] += value;
    }
    // ||sum||^2, leaving the scratch cleared.
    double take_norm2() {
        double norm2 = 0.0;
        for (const std::size_t at : touched_) {
            norm2 += magnitude2(sum_[at]);
            sum_[at] = Complex{};
        }
        touched_.clear();
        return norm2;
    }

private:
    std::size_t d_;
    std::vector<Complex> sum_;
    std::vector<std::size_t> touched_;
};

}  // namespace

double pair_residual(const BasisView& basis, std::span<const std::int64_t> indices, std::span<const Complex> values,
                     PairProduct product, std::size_t row_begin, std::size_t row_end,
                     std::span<const std::int64_t> rows, const std::stop_token& stop) {
    const std::size_t n = basis.size(), d = basis.d;
    check_terms(n, indices, values, row_begin, row_end);
    for (const std::int64_t i : rows)
        if (i < std::int64_t(row_begin) || i >= std::int64_t(row_end))
            throw std::invalid_argument("a listed row is outside the tensor's rows");
    const Entries e = read_entries(basis, stop);
    // Where each matrix's entries of each row start (they are in row-major order).
    require_memory(std::uint64_t(n) * (d + 1), sizeof(std::size_t));
    std::vector<std::size_t> row_first(n * (d + 1));
    for (std::size_t m = 0; m < n; ++m) {
        std::size_t x = e.first[m];
        for (std::size_t r = 0; r <= d; ++r) {
            while (x < e.first[m + 1] && e.row[x] < r) ++x;
            row_first[m * (d + 1) + r] = x;
        }
    }
    // scratch += factor * a b, from the entries of a and the rows of b.
    ScratchSum scratch(d);
    const auto add_product = [&](std::size_t a, std::size_t b, double factor) {
        for (std::size_t x = e.first[a]; x < e.first[a + 1]; ++x) {
            const std::size_t c = e.col[x];
            const Complex v{factor * e.value[x].re, factor * e.value[x].im};
            for (std::size_t y = row_first[b * (d + 1) + c]; y < row_first[b * (d + 1) + c + 1]; ++y)
                scratch.add(e.row[x], e.col[y], v * e.value[y]);
        }
    };
    const double sign = product == PairProduct::commutator ? -1.0 : 1.0;
    const auto row_of = [&](std::size_t t) { return indices[3 * t]; };
    double largest2 = 0.0;
    for (const std::int64_t listed : rows) {
        stop_point(stop);
        const std::size_t i = std::size_t(listed);
        // The first term of row i (terms are sorted by (i, j, k)).
        std::size_t lo = 0, hi = values.size();
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            if (row_of(mid) < listed) lo = mid + 1; else hi = mid;
        }
        std::size_t term = lo;
        for (std::size_t j = 0; j < n; ++j) {
            add_product(i, j, 1.0);
            add_product(j, i, sign);
            for (; term < values.size() && row_of(term) == listed && std::size_t(indices[3 * term + 1]) == j; ++term) {
                const std::size_t k = std::size_t(indices[3 * term + 2]);
                const Complex t = values[term];
                for (std::size_t x = e.first[k]; x < e.first[k + 1]; ++x)
                    scratch.add(e.row[x], e.col[x], Complex{} - t * e.value[x]);
            }
            largest2 = std::max(largest2, scratch.take_norm2());
        }
    }
    return std::sqrt(largest2);
}

std::optional<RowResiduals> row_residuals(const BasisView& basis, std::span<const std::int64_t> indices,
                                          std::span<const Complex> values, PairProduct product,
                                          std::size_t row_begin, std::size_t row_end, bool leave_dense,
                                          const std::stop_token& stop) {
    const std::size_t n = basis.size(), d = basis.d;
    check_terms(n, indices, values, row_begin, row_end);
    const Entries e = read_entries(basis, stop);
    std::uint64_t pairs = 0;
    for (std::size_t m = 0; m < n; ++m) pairs += std::uint64_t(e.count(m)) * e.count(m);
    const double dense_work = double(n) * double(d) * double(d) * double(d) * double(d);
    if (pairs > kEntryPairLimit || (leave_dense && d <= kDenseLimit && double(pairs) * kDenseRatio > dense_work))
        return std::nullopt;

    require_memory(std::uint64_t(d) * d * 3, sizeof(Complex));
    std::vector<Complex> a1(d * d), a2(d * d);
    SumTable q(pairs);
    const std::uint64_t d2 = std::uint64_t(d) * d;
    for (std::size_t m = 0; m < n; ++m) {
        stop_point(stop);
        for (std::size_t x = e.first[m]; x < e.first[m + 1]; ++x)
            for (std::size_t y = e.first[m]; y < e.first[m + 1]; ++y) {
                const Complex p = conjugate(e.value[x]) * e.value[y];
                q.add(e.position(x) * d2 + e.position(y), p);
                if (e.row[x] == e.row[y]) a1[std::size_t(e.col[x]) * d + e.col[y]] += p;
                if (e.col[x] == e.col[y]) a2[std::size_t(e.row[y]) * d + e.row[x]] += p;
            }
    }

    RowResiduals out;
    std::vector<double> norm2(n);
    for (std::size_t m = 0; m < n; ++m) {
        for (std::size_t x = e.first[m]; x < e.first[m + 1]; ++x) norm2[m] += magnitude2(e.value[x]);
        out.largest_norm2 = std::max(out.largest_norm2, norm2[m]);
    }
    const double sign = product == PairProduct::commutator ? -1.0 : 1.0;
    const std::size_t rows = row_end - row_begin;
    out.outside.assign(rows, 0.0);
    out.scale.assign(rows, 0.0);
    std::vector<Complex> scratch(d * d);  // sum_k t_k B_k of one pair, then cleared
    std::vector<std::uint64_t> touched;
    std::size_t term = 0;
    for (std::size_t i = row_begin; i < row_end; ++i) {
        stop_point(stop);
        Complex own{}, cross{};
        for (std::size_t x = e.first[i]; x < e.first[i + 1]; ++x)
            for (std::size_t y = e.first[i]; y < e.first[i + 1]; ++y) {
                const Complex p = conjugate(e.value[x]) * e.value[y];
                if (e.row[x] == e.row[y]) own += p * a2[std::size_t(e.col[y]) * d + e.col[x]];
                if (e.col[x] == e.col[y]) own += p * a1[std::size_t(e.row[x]) * d + e.row[y]];
                const std::uint64_t key = (std::uint64_t(e.col[x]) * d + e.col[y]) * d2 + std::uint64_t(e.row[x]) * d + e.row[y];
                cross += p * q.at(key);
            }
        // The part inside the span: ||sum_k t_k B_k||^2 over each pair (i, j)'s terms.
        double inside = 0.0;
        while (term < values.size() && std::size_t(indices[3 * term]) == i) {
            std::size_t end = term + 1;
            while (end < values.size() && indices[3 * end] == indices[3 * term] &&
                   indices[3 * end + 1] == indices[3 * term + 1])
                ++end;
            if (end == term + 1) {  // one term: no overlap to account for
                inside += magnitude2(values[term]) * norm2[std::size_t(indices[3 * term + 2])];
                term = end;
                continue;
            }
            for (; term < end; ++term) {
                const std::size_t k = std::size_t(indices[3 * term + 2]);
                for (std::size_t x = e.first[k]; x < e.first[k + 1]; ++x) {
                    const std::uint64_t at = e.position(x);
                    if (scratch[at] == Complex{}) touched.push_back(at);
                    scratch[at] += values[term] * e.value[x];
                }
            }
            for (const std::uint64_t at : touched) {
                inside += magnitude2(scratch[at]);
                scratch[at] = Complex{};
            }
            touched.clear();
        }
        const double squares = own.re + 2.0 * sign * cross.re;
        out.outside[i - row_begin] = squares - inside;
        out.scale[i - row_begin] = std::abs(own.re) + 2.0 * std::sqrt(magnitude2(cross)) + inside;
    }
    return out;
}

}  // namespace tanvo
