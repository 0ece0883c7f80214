// Complete coefficient tensors. The rows i of pairs are split over threads in chunks whose
// terms are concatenated in order; each row is found by one of three routes, all equal to one
// least-squares solve per pair up to rounding:
// - sparse orthogonal bases: only the pairs whose supports touch, products formed sparsely,
//   coefficients by orthogonal projection (for monomial bases one verified term per pair; for
//   Gell-Mann-like bases, of mirrored pairs and diagonals, by lookups per position);
// - any other square basis: one pseudo-inverse, then products and coefficients of a whole row
//   by matrix products;
// - a basis too ill-conditioned for either: one least-squares solve per pair.
#include "lie_algebra/tensor.hpp"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <span>
#include <tuple>

#include "dense/parallel.hpp"
#include "least_squares/lapack.hpp"
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

// Mirrored-pair tensors of fewer pairs are computed on one thread.
constexpr std::size_t kPairsForHelpers = std::size_t(1) << 15;

// Threads beyond a few per core only cost their stacks and start-up (results do not depend
// on the count).
unsigned worker_count(unsigned requested) { return std::clamp(requested, 1u, 4 * available_threads()); }

void add_term(TermTable& out, std::size_t i, std::size_t j, std::size_t k, Complex c) {
    out.indices.insert(out.indices.end(), {std::int64_t(i), std::int64_t(j), std::int64_t(k)});
    out.values.push_back(c);
}

// The chunks' terms in one table, each chunk's memory returned as it is copied, so that the
// peak stays near one copy of the result.
TermTable concatenate(std::vector<TermTable>& parts) {
    std::size_t total = 0;
    for (const TermTable& part : parts) total += part.size();
    require_memory(std::uint64_t(total), 3 * sizeof(std::int64_t) + sizeof(Complex));
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
    const unsigned threads = worker_count(request.threads);
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

// A term of a known row: (j, k, c).
struct CompactTerm {
    std::uint32_t j, k;
    Complex c;
};

// Appends row i's terms for the partners j (every j < n when `partners` is null), skipping j
// in [skip_begin, i): the caller mirrors those from the rows before. Each pair is computed as
// (min, max) by `pair_terms(x, y, emit)`, which hands its (k, c) terms to emit(k, c) by
// increasing k, so that (i, j) and (j, i) are exact negatives (or equal) whichever rows a call
// covers.
template <class PairTerms>
void append_row_terms(std::size_t i, std::size_t skip_begin, std::size_t n, const std::vector<std::uint32_t>* partners,
                      PairProduct product, std::vector<CompactTerm>& out, PairTerms&& pair_terms) {
    const std::size_t count = partners ? partners->size() : n;
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t j = partners ? (*partners)[t] : t;
        if ((j == i && product == PairProduct::commutator) || (j >= skip_begin && j < i)) continue;
        const double sign = product == PairProduct::commutator && i > j ? -1.0 : 1.0;
        pair_terms(std::min(i, j), std::max(i, j), [&](std::uint32_t k, Complex c) {
            out.push_back({std::uint32_t(j), k, {sign * c.re, sign * c.im}});
        });
    }
}

// The same with `pair_terms(x, y)` returning the pair's terms as a list.
template <class PairTermList>
void append_row_term_lists(std::size_t i, std::size_t skip_begin, std::size_t n,
                           const std::vector<std::uint32_t>* partners, PairProduct product,
                           std::vector<CompactTerm>& out, PairTermList&& pair_terms) {
    append_row_terms(i, skip_begin, n, partners, product, out, [&](std::size_t x, std::size_t y, auto&& emit) {
        for (const auto& [k, c] : pair_terms(x, y)) emit(k, c);
    });
}

// The terms of a chunk of rows: each row's pairs with j before the range, then those with
// j >= i, and how many of each.
struct MirroredChunk {
    std::vector<CompactTerm> terms;
    std::vector<std::uint32_t> before, after;
};

// Chunks' term buffers kept from one call for the next (at most kKeptBytes of them): the heap
// hands freed megabytes back to the system, and a call of a few milliseconds then spends a
// third of its time faulting fresh pages in.
class KeptTermBuffers {
public:
    std::vector<CompactTerm> take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (kept_.empty()) return {};
        std::vector<CompactTerm> buffer = std::move(kept_.back());
        kept_.pop_back();
        bytes_ -= buffer.capacity() * sizeof(CompactTerm);
        return buffer;
    }
    void give(std::vector<CompactTerm>&& buffer) noexcept {
        buffer.clear();
        const std::size_t bytes = buffer.capacity() * sizeof(CompactTerm);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (bytes == 0 || bytes_ + bytes > kKeptBytes) return;
        try {
            kept_.push_back(std::move(buffer));
            bytes_ += bytes;
        } catch (const std::bad_alloc&) {
        }
    }

private:
    static constexpr std::size_t kKeptBytes = std::size_t(32) << 20;
    std::mutex mutex_;
    std::vector<std::vector<CompactTerm>> kept_;
    std::size_t bytes_ = 0;
};

// Never destroyed: a call may still run on another thread while the process exits.
KeptTermBuffers& kept_term_buffers = *new KeptTermBuffers;

// The rows of the request with each unordered pair inside the range computed once: row i
// finds its pairs with j >= i (and those with j before the range); the pairs (i, j) with j in
// [row_begin, i) are the mirrors of pairs found by row j, the exact negative (commutator) or
// the same (anticommutator) of what row i would compute. `row(i, skip_begin, scratch, out)`
// appends row i's terms by increasing j, skipping j in [skip_begin, i).
template <class Scratch>
TermTable mirrored_rows_in_parallel(
    const TensorRequest& request, const std::stop_token& stop, const std::function<Scratch()>& make_scratch,
    const std::function<void(std::size_t, std::size_t, Scratch&, std::vector<CompactTerm>&)>& row) {
    const std::size_t begin_row = request.row_begin, rows = request.row_end - request.row_begin;
    const unsigned threads = worker_count(request.threads);
    const std::size_t chunk = std::clamp<std::size_t>(rows / (std::size_t(threads) * 64), 1, 64);
    std::vector<MirroredChunk> parts((rows + chunk - 1) / chunk);
    std::vector<std::unique_ptr<Scratch>> scratch(threads);
    parallel_chunks(rows, chunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(make_scratch());
        MirroredChunk& part = parts[begin / chunk];
        part.terms = kept_term_buffers.take();
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            const std::size_t i = begin_row + r, first = part.terms.size();
            row(i, begin_row, *scratch[worker], part.terms);
            // Rows further on rarely have more terms than the first (they skip more mirrored
            // pairs): room for the chunk at that rate spares the copies of growing by doubling.
            if (r == begin) part.terms.reserve(part.terms.size() * (end - begin));
            std::size_t before = first;
            while (before < part.terms.size() && part.terms[before].j < begin_row) ++before;
            part.before.push_back(std::uint32_t(before - first));
            part.after.push_back(std::uint32_t(part.terms.size() - before));
        }
    });
    scratch.clear();

    // The chunks are written out in a few blocks of consecutive chunks, in parallel: a block
    // writes its rows' own terms and its mirrors into later rows, each row's mirrors from a
    // block after those of the blocks before it. mirrors[block * rows + r]: how many row r
    // receives from the block, then where the block writes them.
    const std::size_t blocks = std::min<std::size_t>(parts.size(), 4 * std::size_t(threads));
    // Blocks of about equal numbers of terms: the first rows find the most pairs (those with
    // j >= i), and blocks of equal numbers of chunks left one thread the bulk of the writing.
    std::vector<std::size_t> block_start(blocks + 1, parts.size());
    {
        std::size_t total = 0, seen = 0;
        for (const MirroredChunk& part : parts) total += part.terms.size();
        block_start[0] = 0;
        for (std::size_t p = 0, block = 1; p < parts.size() && block < blocks; ++p) {
            seen += parts[p].terms.size();
            while (block < blocks && seen * blocks >= total * block) block_start[block++] = p + 1;
        }
    }
    auto first_part = [&](std::size_t block) { return block_start[block]; };
    std::vector<std::size_t> mirrors(blocks * rows, 0);
    auto for_each_row = [&](std::size_t block, const auto& visit) {  // visit(r, part, first term)
        for (std::size_t p = first_part(block); p < first_part(block + 1); ++p) {
            stop_point(stop);
            std::size_t at = 0;
            for (std::size_t q = 0; q < parts[p].before.size(); ++q) {
                visit(p * chunk + q, parts[p], at);
                at += parts[p].before[q] + parts[p].after[q];
            }
        }
    };
    parallel_chunks(blocks, 1, threads, stop, [&](std::size_t block, std::size_t, unsigned) {
        std::size_t* count = mirrors.data() + block * rows;
        for_each_row(block, [&](std::size_t r, const MirroredChunk& part, std::size_t at) {
            const std::size_t i = begin_row + r, own = at + part.before[r % chunk];
            for (std::size_t e = own; e < own + part.after[r % chunk]; ++e)
                if (part.terms[e].j > i && part.terms[e].j < request.row_end) ++count[part.terms[e].j - begin_row];
        });
    });
    // Where each row starts: its own terms before the range, the mirrors, its terms from j = i.
    std::vector<std::size_t> start(rows + 1, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const MirroredChunk& part = parts[r / chunk];
        std::size_t at = start[r] + part.before[r % chunk];
        for (std::size_t block = 0; block < blocks; ++block) {
            const std::size_t count = mirrors[block * rows + r];
            mirrors[block * rows + r] = at;
            at += count;
        }
        start[r + 1] = at + part.after[r % chunk];
    }
    const std::size_t total = start[rows];
    require_memory(std::uint64_t(total), 3 * sizeof(std::int64_t) + sizeof(Complex));
    TermTable all;
    all.indices.resize(3 * total);
    all.values.resize(total);
    // x - y and -(y - x) differ only in the sign of a zero: zeros are stored as +0.
    auto put = [&all](std::size_t at, std::size_t i, std::size_t j, std::size_t k, Complex c) {
        all.indices[3 * at] = std::int64_t(i);
        all.indices[3 * at + 1] = std::int64_t(j);
        all.indices[3 * at + 2] = std::int64_t(k);
        all.values[at] = {c.re + 0.0, c.im + 0.0};
    };
    const double mirror = request.product == PairProduct::commutator ? -1.0 : 1.0;
    // Each row receives a block's mirrors in a stream of its own, about one term per row of the
    // block, too scattered for the hardware to fetch ahead: the lines of a row's next mirrors
    // are asked for while the other rows are written (a third off the writing at Gell-Mann
    // su(32), the same share with the caches cold).
    auto fetch_ahead = [&all, total](std::size_t to) {
        if (to + 4 < total) {
            __builtin_prefetch(all.indices.data() + 3 * (to + 3), 1);
            __builtin_prefetch(all.values.data() + to + 4, 1);
        }
    };
    parallel_chunks(blocks, 1, threads, stop, [&](std::size_t block, std::size_t, unsigned) {
        std::size_t* cursor = mirrors.data() + block * rows;
        for_each_row(block, [&](std::size_t r, const MirroredChunk& part, std::size_t at) {
            const std::size_t i = begin_row + r, before = part.before[r % chunk], after = part.after[r % chunk];
            for (std::size_t e = at; e < at + before; ++e)
                put(start[r] + (e - at), i, part.terms[e].j, part.terms[e].k, part.terms[e].c);
            std::size_t own = start[r + 1] - after;
            for (std::size_t e = at + before; e < at + before + after; ++e) {
                const CompactTerm& term = part.terms[e];
                put(own++, i, term.j, term.k, term.c);
                if (term.j > i && term.j < request.row_end) {
                    const std::size_t to = cursor[term.j - begin_row]++;
                    fetch_ahead(to);
                    put(to, term.j, i, term.k, {mirror * term.c.re, mirror * term.c.im});
                }
            }
        });
        for (std::size_t p = first_part(block); p < first_part(block + 1); ++p) {
            kept_term_buffers.give(std::move(parts[p].terms));
            parts[p] = MirroredChunk{};
        }
    });
    return all;
}

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

// ---- bases of mirrored pairs and diagonal matrices ----------------------------------------

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
    parallel_chunks(n, chunk, worker_count(threads), stop, [&](std::size_t begin, std::size_t end, unsigned) {
        for (std::size_t m = begin; m < end && m < first.load(std::memory_order_relaxed); ++m) {
            // An exponent of all ones marks infinity and NaN; tested on the bits, vectorised.
            constexpr std::uint64_t kExponent = 0x7ff0000000000000ull;
            const double* parts = &basis.matrices[m]->re;  // re, im, re, ... (Complex is two doubles)
            std::uint64_t non_finite = 0;
            for (std::size_t t = 0; t < 2 * length; ++t) {
                std::uint64_t bits;
                std::memcpy(&bits, parts + t, sizeof bits);
                non_finite |= (bits & kExponent) == kExponent;
            }
            if (!non_finite) continue;
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
    // Products of 0 x 0 matrices are empty and have no terms; nor has an empty range.
    if (d == 0 || request.row_begin == request.row_end) {
        if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
        return {};
    }

    TensorMethod method = request.method;
    if (method == TensorMethod::per_pair || method == TensorMethod::dense)
        if (const std::size_t bad = first_non_finite(basis, request.threads, stop); bad < n) throw NonFiniteMatrix{bad};
    if (method == TensorMethod::per_pair) {
        const SingleThreadedBlas rows_own_threads;
        return per_pair_rows(basis, request, stop);
    }
    if (method != TensorMethod::dense) {
        const SparseBasis sparse = sparse_form(
            n, d, [&basis](std::size_t m, std::size_t r) { return MatrixRow{basis.matrices[m] + r * basis.d, 1}; },
            worker_count(request.threads), stop);
        if (sparse.first_non_finite < n) throw NonFiniteMatrix{sparse.first_non_finite};  // read in the same pass
        current_stop = &stop;
        const bool orthogonal = sparse.entries() <= 2 * n * d && orthogonal_columns(sparse, {check_current_stop});
        current_stop = nullptr;
        if (orthogonal) {
            if (const std::optional<MirroredPairRows> rows = MirroredPairRows::detect(sparse, request.product, request.tol)) {
                // A few tens of thousands of pairs take a fraction of a millisecond: on one
                // thread they finish before the others would be woken for each step (on a busy
                // machine, twice as fast at su(16)).
                TensorRequest sized = request;
                if (rows->pairs(request.row_begin, request.row_end) < kPairsForHelpers) sized.threads = 1;
                return mirrored_rows_in_parallel<MirroredPairRows::Scratch>(
                    sized, stop, [&] { return MirroredPairRows::Scratch(d); },
                    [&](std::size_t i, std::size_t skip_begin, MirroredPairRows::Scratch& w, std::vector<CompactTerm>& out) {
                        rows->row(i, skip_begin, w, out);
                    });
            }
            const SparseRows rows(sparse, request.product, request.tol);
            return mirrored_rows_in_parallel<SparseRows::Scratch>(
                request, stop, [&] { return SparseRows::Scratch(sparse); },
                [&](std::size_t i, std::size_t skip_begin, SparseRows::Scratch& w, std::vector<CompactTerm>& out) {
                    rows.row(i, skip_begin, w, out);
                });
        }
        if (method == TensorMethod::sparse_orthogonal)
            throw std::invalid_argument("the sparse orthogonal method needs a sparse basis of orthogonal matrices");
    }
    // The rows are split over the request's threads. The pseudo-inverse runs on this one too:
    // OpenBLAS's threads wait by spinning, and on cores that other work keeps busy its threaded
    // solve took ten times longer than the single-threaded one.
    const SingleThreadedBlas rows_own_threads;
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
    // A stop point every 65,536 column products: per term, that left wide batches (20,000
    // columns of clock-and-shift su(16), 3 s) without one.
    const std::size_t terms_per_check = std::max<std::size_t>(1, 65536 / std::max<std::size_t>(columns, 1));
    for (std::size_t e = 0; e < values.size(); ++e) {
        if (e % terms_per_check == 0) stop_point(stop);
        const Complex* ai = a + std::size_t(indices[3 * e]) * columns;
        const Complex* bj = b + std::size_t(indices[3 * e + 1]) * columns;
        Complex* ck = c.data() + std::size_t(indices[3 * e + 2]) * columns;
        const Complex v = values[e];
        for (std::size_t col = 0; col < columns; ++col) ck[col] += v * (ai[col] * bj[col]);
    }
    return c;
}

}  // namespace tanvo
