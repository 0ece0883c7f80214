// Fast coefficient extraction. Two paths, both equal to the per-pair solves up to rounding:
// - sparse orthogonal bases (both generators): products formed sparsely, pairs that provably
//   commute skipped, coefficients read off by inner products, a pair's single term verified,
//   pairs computed on helper threads ahead of the loop that lists them, and large maps listed
//   on a thread of their own while the caller uses the entries listed so far;
// - any other square basis: one pseudo-inverse, then products and coefficients in blocks.
// The orthogonal path is one algorithm (OrthogonalExtraction) and reads best whole, hence the
// file's length; its signature index is in product_signature.hpp.
// Inputs outside what these assume go to the per-pair routine, which then raises the failures.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "core/parallel.hpp"
#include "core/rows_ahead.hpp"
#include "core/uninitialized.hpp"
#include "solve/lapack.hpp"
#include "solve/pseudo_inverse.hpp"
#include "coefficients/dense_rows.hpp"
#include "coefficients/entry_channel.hpp"
#include "coefficients/extraction.hpp"
#include "coefficients/memory_plan.hpp"
#include "coefficients/product_signature.hpp"
#include "coefficients/sparse_basis.hpp"

namespace tanvo {

using namespace extraction_parts;

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

// Below this, a sum of non-negative terms in any order is finite in every other order too.
constexpr double kFarFromOverflow = std::numeric_limits<double>::max() / 4;

// A product this much shorter than the shortest column has only negligible coefficients: the
// projection on column m is at most |product| / |column m| (Cauchy–Schwarz), far below
// kNegligible however it is rounded.
constexpr double kShortProduct = 1e-10;

// Bases with at least this many matrices compute their pairs on helper threads, at most
// kMostHelpers of them: more would only wait for the loop that lists the map.
constexpr std::size_t kThreadedFrom = 362;  // about 2^16 unordered pairs
constexpr unsigned kMostHelpers = 3;
// Pairs are computed in blocks of rows of about this many pairs, at most kBlocksAhead blocks
// ahead of the loop that lists them.
constexpr std::size_t kPairsPerBlock = 4096;
constexpr std::size_t kBlocksAhead = 16;

// The stop flag of the listing thread, which answers to it instead of to signals.
thread_local const std::atomic<bool>* listing_stopped = nullptr;
void stop_listing_when_asked() {
    if (listing_stopped->load(std::memory_order_relaxed)) throw Cancelled{};
}

class OrthogonalExtraction {
public:
    OrthogonalExtraction(SparseBasis s, PairProduct kind, Interrupt interrupt)
        : s_(std::move(s)), kind_(kind), interrupt_(interrupt), by_signature_(column_signatures()) {
        min_norm_ = std::sqrt(*std::min_element(s_.norm2.begin(), s_.norm2.end()));
        max_norm_ = std::sqrt(*std::max_element(s_.norm2.begin(), s_.norm2.end()));
        partners_ = partner_lists();
        find_patterns();
    }

    // Large maps are listed on a thread of their own while the calling thread hands what is
    // listed to `sink`: a sink that makes objects of its own from the entries (the bulk of the
    // time for the generators' bases) then works while the pairs are still being computed. The
    // listing thread releases the extraction as soon as it is done, long before the sink is.
    static void run(std::unique_ptr<OrthogonalExtraction> extraction, CoefficientSink& sink) {
        const unsigned spare = available_threads() - 1;
        const Interrupt interrupt = extraction->interrupt_;
        if (extraction->s_.n < kThreadedFrom) return extraction->list(sink, 0, interrupt);
        EntryChannel channel;
        std::atomic<bool> stopped = false;
        std::thread lister;
        try {
            lister = start_thread([&] {
                listing_stopped = &stopped;
                try {
                    // The calling thread is busy with the sink: one helper fewer.
                    extraction->list(channel, std::min(spare > 0 ? spare - 1 : 0, kMostHelpers),
                                     Interrupt{&stop_listing_when_asked});
                    // What it held goes back to the system at once, not at the sink's next trim.
                    extraction.reset();
                    malloc_trim(0);
                    channel.close(nullptr);
                } catch (...) {
                    extraction.reset();
                    channel.close(std::current_exception());
                }
            });
        } catch (const std::system_error&) {
            return extraction->list(sink, std::min(spare, kMostHelpers), interrupt);
        }
        const struct Join {
            std::atomic<bool>& stopped;
            std::thread& lister;
            ~Join() {
                stopped = true;
                lister.join();
            }
        } join{stopped, lister};
        channel.pass_to(sink, interrupt);
    }

private:
    static constexpr std::uint32_t kNoTerm = std::numeric_limits<std::uint32_t>::max();
    struct PairTerm {
        std::uint32_t k = kNoTerm;  // kNoTerm: the pair has no term
        Complex c;
    };
    // Buffers of the listing thread are mapped, so that they leave nothing in its heap: the C
    // heap of a thread other than the main one never hands its free pages back to the system.
    template <class T>
    using Mapped = std::vector<T, PageAllocator<T, (std::size_t(64) << 10)>>;
    using PairTerms = Mapped<PairTerm>;

    // The pair (j, i) has the negated commutator (the same anticommutator) of (i, j), bit for
    // bit, and so the negated (same) solution: each unordered pair is computed once, and the
    // mirrored pair's term kept for row j until it is listed, in increasing order of i. Rows go
    // to `sink` as they are listed, while `helpers` threads compute the next blocks.
    void list(CoefficientSink& sink, unsigned helpers, Interrupt interrupt) const {
        const double mirror = kind_ == PairProduct::commutator ? -1.0 : 1.0;
        const std::vector<std::size_t> blocks = row_blocks();
        // Row j's mirrored terms: room for one per partner before j, [starts[j], starts[j + 1]).
        std::vector<std::size_t> starts(s_.n + 1, 0), filled(s_.n);
        std::uint64_t visited = 0;
        for (std::size_t i = 0; i < s_.n; ++i) {
            starts[i + 1] = starts[i] + partners_below(i);
            filled[i] = starts[i];
            visited += partners_below(i) + computed_partners(i).size();
        }
        sink.expect(visited);
        // Its pages are touched only as terms are written.
        std::vector<CoefficientList::Term, UninitializedAllocator<CoefficientList::Term, (std::size_t(64) << 10), FreshPages>>
            mirrored(starts[s_.n]);
        std::vector<Scratch> scratch(helpers + 1, Scratch(s_));
        RowsAhead<PairTerms> computed(
            blocks.size() - 1, helpers ? kBlocksAhead : 1, helpers,
            [&](std::size_t b, PairTerms& terms, unsigned worker, const std::function<void()>& check) {
                fill_block(blocks[b], blocks[b + 1], terms, scratch[worker], check);
            },
            interrupt);
        Mapped<CoefficientEntry> listed;
        listed.reserve(CoefficientList::kBlockEntries + s_.n);
        std::uint64_t pairs = 0;
        std::size_t block = 0;
        PairTerms::const_iterator next;
        for (std::size_t i = 0; i < s_.n; ++i) {
            if (i == blocks[block]) next = computed.take(block++).begin();
            const CoefficientList::Term* below = mirrored.data() + starts[i];
            const CoefficientList::Term* const below_end = mirrored.data() + filled[i];
            for (std::uint32_t j : partners_of(i)) {
                if (j < i) {
                    while (below != below_end && below->j < j) ++below;
                    if (below != below_end && below->j == j) listed.push_back({i, j, below->k, below->c});
                    continue;
                }
                if (j == i && kind_ == PairProduct::commutator) continue;
                if (++pairs % 1024 == 0) interrupt();
                const PairTerm& term = *next++;
                if (term.k == kNoTerm) continue;
                listed.push_back({i, j, term.k, term.c});
                if (j > i) mirrored[filled[j]++] = {std::uint32_t(i), term.k, {mirror * term.c.re, mirror * term.c.im}};
            }
            if (listed.size() >= CoefficientList::kBlockEntries) {
                sink.take(listed);
                listed.clear();
            }
        }
        if (!listed.empty()) sink.take(listed);
    }

    // What the computation of a pair writes to: one for each thread.
    struct Scratch {
        explicit Scratch(const SparseBasis& s)
            : product(s.length), in_column(s.length, 0), candidate_used(s.n, 0), row_values(s.d) {}
        Accumulator product;
        std::vector<char> in_column;
        std::vector<char> candidate_used;
        std::vector<std::uint32_t> candidates;
        std::vector<Complex> row_values;
    };

    std::vector<Signature> column_signatures() const {
        std::vector<Signature> signatures(s_.n);
        for (std::size_t m = 0; m < s_.n; ++m) {
            if (m % 64 == 63) interrupt_();
            double largest2 = 0.0;
            for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e)
                largest2 = std::max(largest2, magnitude2(s_.value[e]));
            const std::span<const std::size_t> positions(s_.position.data() + s_.start[m],
                                                         s_.start[m + 1] - s_.start[m]);
            auto value_at = [&](std::size_t p) { return column_value(m, p); };
            signatures[m] = signature_of(positions, value_at, largest2);
        }
        return signatures;
    }

    Complex column_value(std::size_t m, std::size_t p) const {
        const std::size_t r = p / s_.d, c = p % s_.d;
        const auto begin = s_.col.begin() + std::ptrdiff_t(s_.row_begin(m, r));
        const auto end = s_.col.begin() + std::ptrdiff_t(s_.row_begin(m, r + 1));
        const auto found = std::lower_bound(begin, end, std::uint32_t(c));
        return found != end && *found == c ? s_.value[std::size_t(found - s_.col.begin())] : Complex{};
    }

    std::span<const std::uint32_t> partners_of(std::size_t i) const {
        if (sparse_partners_[i]) return partners_[i];
        return {all_.data(), all_.size()};
    }

    // How many partners j of i come before it (their pairs mirror computed ones).
    std::size_t partners_below(std::size_t i) const {
        const std::span<const std::uint32_t> partners = partners_of(i);
        return std::size_t(std::lower_bound(partners.begin(), partners.end(), std::uint32_t(i)) - partners.begin());
    }

    // The pairs (i, j) that are computed: j ≥ i (j > i for commutators), in the order of i's partners.
    std::span<const std::uint32_t> computed_partners(std::size_t i) const {
        const std::span<const std::uint32_t> partners = partners_of(i);
        auto first = std::lower_bound(partners.begin(), partners.end(), std::uint32_t(i));
        if (first != partners.end() && *first == i && kind_ == PairProduct::commutator) ++first;
        return {first, partners.end()};
    }

    // Consecutive rows holding at least kPairsPerBlock computed pairs each (the last one fewer):
    // the first row of each block, then n.
    std::vector<std::size_t> row_blocks() const {
        std::vector<std::size_t> blocks{0};
        std::size_t pairs = 0;
        for (std::size_t i = 0; i < s_.n; ++i) {
            pairs += computed_partners(i).size();
            if (pairs >= kPairsPerBlock || i + 1 == s_.n) {
                blocks.push_back(i + 1);
                pairs = 0;
            }
        }
        return blocks;
    }

    // The terms of the computed pairs of rows [first, last), in loop order.
    void fill_block(std::size_t first, std::size_t last, PairTerms& terms, Scratch& scratch,
                    const std::function<void()>& check) const {
        terms.clear();
        std::uint64_t pairs = 0;
        for (std::size_t i = first; i < last; ++i)
            for (std::uint32_t j : computed_partners(i)) {
                if (++pairs % 1024 == 0) check();
                PairTerm term;
                std::uint64_t k = 0;
                if (pair_term(i, j, k, term.c, scratch)) term.k = std::uint32_t(k);
                terms.push_back(term);
            }
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
        all_.resize(s_.n);
        for (std::size_t j = 0; j < s_.n; ++j) all_[j] = std::uint32_t(j);
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
    bool single_term(std::size_t m, Complex x, Scratch& scratch) const {
        const Accumulator& product = scratch.product;
        double residual2 = 0.0;
        std::size_t covered = 0;
        for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) {
            const std::size_t p = s_.position[e];
            residual2 += magnitude2(product.at(p) - x * s_.value[e]);
            covered += product.used(p);
        }
        if (covered != product.touched().size()) {
            for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) scratch.in_column[s_.position[e]] = 1;
            for (std::size_t p : product.touched())
                if (!scratch.in_column[p]) residual2 += magnitude2(product.at(p));
            for (std::size_t e = s_.start[m]; e < s_.start[m + 1]; ++e) scratch.in_column[s_.position[e]] = 0;
        }
        return bounded_by_single_term(residual2, x);
    }

    bool pair_term(std::size_t i, std::size_t j, std::uint64_t& k, Complex& c, Scratch& scratch) const {
        if (monomial_ && monomial_term(i, j, k, c, scratch)) return k != kNoTerm;
        scratch.product.clear();
        accumulate_product<false>(s_, i, j, scratch.product);
        if (kind_ == PairProduct::commutator)
            accumulate_product<true>(s_, j, i, scratch.product);
        else
            accumulate_product<false>(s_, j, i, scratch.product);
        return first_term(k, c, scratch);
    }

    // Bases of matrices with one entry in every row (both generators' clock-and-shift): when
    // both products share a pattern, the product is one value per row on that pattern. Returns
    // false when this route cannot decide; k = kNoTerm when it decided there is no term.
    bool monomial_term(std::size_t i, std::size_t j, std::uint64_t& k, Complex& c, Scratch& scratch) const {
        const std::int32_t pattern = compose_[pattern_of_[i] * patterns_.size() + pattern_of_[j]];
        if (pattern < 0 || pattern != compose_[pattern_of_[j] * patterns_.size() + pattern_of_[i]])
            return false;
        const std::size_t d = s_.d;
        const std::uint32_t* to_i = patterns_[pattern_of_[i]].data();
        const std::uint32_t* to_j = patterns_[pattern_of_[j]].data();
        const Complex* vi = s_.value.data() + s_.start[i];
        const Complex* vj = s_.value.data() + s_.start[j];
        Complex* row_values = scratch.row_values.data();
        const double sign = kind_ == PairProduct::commutator ? -1.0 : 1.0;
        for (std::size_t r = 0; r < d; ++r) {
            const Complex p = vi[r] * vj[to_i[r]], q = vj[r] * vi[to_j[r]];
            row_values[r] = {p.re + sign * q.re, p.im + sign * q.im};
        }
        const auto square = [row_values](std::size_t r) { return magnitude2(row_values[r]); };
        const auto [total2, largest2] = interleaved_sum_and_max(d, square);
        // Infinity and NaN carry into the sum (as does an overflowing square, conservatively);
        // near overflow, the sum in row order decides.
        if (!(total2 < kFarFromOverflow) && !std::isfinite(sum_in_order(d, square))) throw UsePerPairMethod{};
        if (short_product(total2)) {
            k = kNoTerm;
            return true;
        }
        const std::uint32_t* to = patterns_[std::size_t(pattern)].data();
        std::size_t rows[2] = {0, 0}, found_rows = 0;
        for (std::size_t r = 0; r < d && found_rows < 2; ++r)
            if (magnitude2(row_values[r]) > 1e-12 * largest2) rows[found_rows++] = r;
        Signature signature{rows[0] * d + to[rows[0]], std::numeric_limits<std::uint64_t>::max(), 0, 0};
        if (found_rows == 2) {
            const Complex a = row_values[rows[0]], b = row_values[rows[1]];
            const double scale = double(1 << 20) / magnitude2(a);
            const Complex ratio = inner(a, b);
            signature = {rows[0] * d + to[rows[0]], rows[1] * d + to[rows[1]],
                         grid_point(ratio.re * scale), grid_point(ratio.im * scale)};
        }
        for (std::size_t m : by_signature_.find(signature)) {
            if (pattern_of_[m] != std::size_t(pattern)) continue;
            const Complex* vm = s_.value.data() + s_.start[m];
            Complex sum{};
            for (std::size_t r = 0; r < d; ++r) sum += inner(vm[r], row_values[r]);
            const Complex x{sum.re / s_.norm2[m], sum.im / s_.norm2[m]};
            const double residual2 = interleaved_sum_and_max(d, [&](std::size_t r) {
                return magnitude2(row_values[r] - x * vm[r]);
            }).sum;
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
        monomial_ = true;
    }

    bool bounded_by_single_term(double residual2, Complex x) const {
        const double bound =
            (std::sqrt(residual2) + std::sqrt(magnitude2(x)) * kOrthogonality * max_norm_) / min_norm_;
        return bound <= kOtherTermsBound;
    }

    // `total2` is the squared norm of the product.
    bool short_product(double total2) const { return std::sqrt(total2) <= kShortProduct * min_norm_; }

    // The first coefficient that is not negligible, as the per-pair solve would find it.
    bool first_term(std::uint64_t& k, Complex& c, Scratch& scratch) const {
        const Accumulator& product = scratch.product;
        const auto& touched = product.touched();
        double largest2 = 0.0, total2 = 0.0;
        for (std::size_t p : touched) {
            const Complex v = product.at(p);
            if (!finite(v)) throw UsePerPairMethod{};
            const double v2 = magnitude2(v);
            total2 += v2;
            largest2 = std::max(largest2, v2);
        }
        if (short_product(total2)) return false;  // the zero vector solves to exactly zero

        const Signature signature =
            signature_of(touched, [&product](std::size_t p) { return product.at(p); }, largest2);
        for (std::size_t m : by_signature_.find(signature)) {
            const Complex x = projection(s_, product, m);
            if (single_term(m, x, scratch)) {
                if (negligible(x)) return false;
                k = m;
                c = x;
                return true;
            }
        }

        // Only columns that share a position with the product can have a coefficient.
        std::vector<std::uint32_t>& candidates = scratch.candidates;
        candidates.clear();
        for (std::size_t p : touched)
            for (std::size_t q = s_.position_start[p]; q < s_.position_start[p + 1]; ++q) {
                const std::uint32_t m = s_.position_matrix[q];
                if (scratch.candidate_used[m]) continue;
                scratch.candidate_used[m] = 1;
                candidates.push_back(m);
            }
        std::sort(candidates.begin(), candidates.end());
        bool found_term = false;
        for (std::uint32_t m : candidates) {
            scratch.candidate_used[m] = 0;
            if (found_term) continue;
            const Complex x = projection(s_, product, m);
            if (!negligible(x)) {
                k = m;
                c = x;
                found_term = true;
            }
        }
        return found_term;
    }

    const SparseBasis s_;
    PairProduct kind_;
    Interrupt interrupt_;
    double min_norm_ = 0.0, max_norm_ = 0.0;
    SignatureIndex by_signature_;
    std::vector<std::vector<std::uint32_t>> partners_;
    std::vector<bool> sparse_partners_;
    std::vector<std::uint32_t> all_;  // 0 … n - 1: the partners of i when its list is not kept
    bool monomial_ = false;
    std::vector<std::vector<std::uint32_t>> patterns_;
    std::vector<std::size_t> pattern_of_;
    std::vector<std::int32_t> compose_;  // pattern of B_a·B_b, or -1 when no matrix has it
};

// Any square basis: A⁺ once, then for each i the products with every j and their
// coefficients by matrix products.
CoefficientList dense_extraction(const BasisViews& basis, PairProduct kind, Interrupt interrupt) {
    const std::size_t n = basis.size();
    // OpenBLAS's threads wait by spinning: on cores that other work keeps busy, its threaded
    // products of these sizes took ten times longer than one thread's.
    const SingleThreadedBlas one_thread;
    // The LAPACK solves, which have no stop points, run on a helper thread while this one
    // answers interrupts; the rounding stays that of the same single calls.
    const std::function<void()> check = [interrupt] { interrupt(); };
    const std::optional<DenseRowSolver> solver = DenseRowSolver::prepare(
        n, basis[0].rows, [&basis](std::size_t m, std::size_t r, std::size_t c) { return basis[m](r, c); },
        {.check = check, .in_steps = false});
    if (!solver) throw UsePerPairMethod{};
    DenseRowSolver::Workspace work(n, basis[0].rows);
    std::vector<Complex> coefficients;
    CoefficientList entries;
    for (std::size_t i = 0; i < n; ++i) {
        interrupt();
        if (!solver->solve_row(i, kind, work, coefficients, check)) throw UsePerPairMethod{};
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

void extract(const BasisViews& basis, PairProduct kind, CoefficientSink& sink, Interrupt interrupt) {
    auto per_pair = [&] {
        CoefficientList entries = kind == PairProduct::commutator ? reference::structure_constants(basis, interrupt)
                                                                  : reference::d_coefficients(basis, interrupt);
        hand_over(entries, sink);
    };
    if (all_empty(basis)) {
        CoefficientList none;
        return hand_over(none, sink);
    }
    // From the sizes, before any pass over the matrices (whose views may claim far more memory
    // than they hold: a broadcast array is one matrix seen many times).
    if (!basis.empty()) require_room_for_extraction(basis);
    if (!fast_paths_apply(basis)) return per_pair();
    const std::size_t d = basis[0].rows;
    try {
        SparseBasis sparse = sparse_form(basis, interrupt);
        const bool sparse_enough = sparse.entries() <= 2 * sparse.n * d;
        if (sparse_enough && orthogonal_columns(sparse, interrupt))
            return OrthogonalExtraction::run(std::make_unique<OrthogonalExtraction>(std::move(sparse), kind, interrupt), sink);
        CoefficientList entries = dense_extraction(basis, kind, interrupt);
        hand_over(entries, sink);
    } catch (const UsePerPairMethod&) {
        // The entries a sink was handed before the fast path gave up are listed again.
        sink.restart();
        per_pair();
    }
}

}  // namespace

void structure_constants(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt) {
    extract(basis, PairProduct::commutator, sink, interrupt);
}

void d_coefficients(const BasisViews& basis, CoefficientSink& sink, Interrupt interrupt) {
    extract(basis, PairProduct::anticommutator, sink, interrupt);
}

}  // namespace tanvo
