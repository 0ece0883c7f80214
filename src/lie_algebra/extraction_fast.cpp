// Fast coefficient extraction. Two paths, both equal to the per-pair solves up to rounding:
// - sparse orthogonal bases (both generators): products formed sparsely, pairs that provably
//   commute skipped, coefficients read off by inner products, a pair's single term verified,
//   pairs computed on helper threads ahead of the loop that lists them, and large maps listed
//   on a thread of their own while the caller uses the entries listed so far;
// - any other square basis: one pseudo-inverse, then products and coefficients in blocks.
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

#include "dense/parallel.hpp"
#include "dense/rows_ahead.hpp"
#include "dense/uninitialized.hpp"
#include "least_squares/lapack.hpp"
#include "least_squares/pseudo_inverse.hpp"
#include "lie_algebra/dense_rows.hpp"
#include "lie_algebra/entry_channel.hpp"
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

// The columns of each signature, in increasing order. The table probed by hash holds 16-byte
// slots (a fingerprint of the hash and where the signature and its columns are), so that it
// stays in the caches next to the products.
class SignatureIndex {
public:
    // `signatures[m]` is the signature of column m.
    explicit SignatureIndex(const std::vector<Signature>& signatures) {
        std::size_t size = 16;
        while (size < 2 * signatures.size()) size *= 2;
        slots_.resize(size);
        for (std::size_t m = 0; m < signatures.size(); ++m) {
            Slot& slot = slots_[slot_of(signatures[m])];
            if (slot.key == kFree) {
                slot.key = std::uint32_t(keys_.size());
                slot.fingerprint = fingerprint(signatures[m]);
                keys_.push_back(signatures[m]);
            }
            ++slot.count;
        }
        std::uint32_t offset = 0;
        for (Slot& slot : slots_) {
            slot.begin = offset;
            offset += slot.count;
            slot.count = 0;
        }
        members_.resize(signatures.size());
        for (std::size_t m = 0; m < signatures.size(); ++m) {
            Slot& slot = slots_[slot_of(signatures[m])];
            members_[slot.begin + slot.count++] = std::uint32_t(m);
        }
    }

    std::span<const std::uint32_t> find(const Signature& s) const {
        const Slot& slot = slots_[slot_of(s)];
        return {members_.data() + slot.begin, slot.count};
    }

private:
    static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();
    struct Slot {
        std::uint32_t fingerprint = 0, key = kFree, begin = 0, count = 0;
    };

    // The hash with all of its bits mixed into the low ones, which pick the slot.
    static std::uint64_t mixed_hash(const Signature& s) {
        std::uint64_t h = SignatureHash{}(s);
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        return h ^ (h >> 33);
    }
    static std::uint32_t fingerprint(const Signature& s) { return std::uint32_t(mixed_hash(s) >> 32); }

    // The slot holding `s`, or the free slot where it would go.
    std::size_t slot_of(const Signature& s) const {
        const std::uint64_t h = mixed_hash(s);
        const std::uint32_t print = std::uint32_t(h >> 32);
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = std::size_t(h) & mask;
        while (slots_[at].key != kFree && !(slots_[at].fingerprint == print && keys_[slots_[at].key] == s))
            at = (at + 1) & mask;
        return at;
    }

    std::vector<Slot> slots_;
    std::vector<Signature> keys_;  // the distinct signatures
    std::vector<std::uint32_t> members_;
};

// Sums and maxima of many terms taken only to decide (never a result): in four interleaved
// parts, so that each addition does not wait for the one before.
struct SumAndMax {
    double sum = 0.0, max = 0.0;
};
template <class Term>
SumAndMax interleaved_sum_and_max(std::size_t count, Term term) {
    double sums[4] = {}, maxima[4] = {};
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const double t = term(r + lane);
            sums[lane] += t;
            maxima[lane] = std::max(maxima[lane], t);
        }
    for (; r < count; ++r) {
        const double t = term(r);
        sums[0] += t;
        maxima[0] = std::max(maxima[0], t);
    }
    return {(sums[0] + sums[1]) + (sums[2] + sums[3]),
            std::max(std::max(maxima[0], maxima[1]), std::max(maxima[2], maxima[3]))};
}

template <class Term>
double sum_in_order(std::size_t count, Term term) {
    double sum = 0.0;
    for (std::size_t r = 0; r < count; ++r) sum += term(r);
    return sum;
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
            lister = std::thread([&] {
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
    if (!fast_paths_apply(basis)) return per_pair();
    const std::size_t d = basis[0].rows;
    require_room_for_worst_case(basis.size(), d * d);
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
