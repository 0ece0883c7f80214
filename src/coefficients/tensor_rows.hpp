// The machinery the complete-tensor routes share: which terms are kept, rows split over
// threads in chunks joined in row order, and rows whose pairs inside the range are computed once
// and mirrored. Included by the tensor route files only.
#pragma once

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
#include <string>
#include <tuple>

#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "solve/lapack.hpp"
#include "solve/least_squares.hpp"
#include "coefficients/dense_rows.hpp"
#include "coefficients/sparse_basis.hpp"

#include "coefficients/tensor.hpp"

namespace tanvo::tensor_rows {

// NaN compares false, so a NaN part is always kept.
inline bool kept(Complex c, double tol) { return !(std::abs(c.re) <= tol && std::abs(c.im) <= tol); }

[[noreturn]] inline void fail_overflow() {
    throw std::overflow_error("a product of two basis matrices overflows double precision");
}

inline void add_term(TermTable& out, std::size_t i, std::size_t j, std::size_t k, Complex c) {
    out.indices.insert(out.indices.end(), {std::int64_t(i), std::int64_t(j), std::int64_t(k)});
    out.values.push_back(c);
}

// The chunks' terms in one table, each chunk's memory returned as it is copied, so that the
// peak stays near one copy of the result.
TermTable concatenate(std::vector<TermTable>& parts);

// The terms a call has found so far, against the memory they may take: a dense tensor of a
// thousand matrices has a billion terms of 40 bytes, and growing toward them would end in the
// system's out-of-memory killer instead of an error. add() throws MemoryShortfall once the
// terms, twice (the chunks' tables and the joined one), exceed the room the call began with.
class TermBudget {
public:
    static constexpr double kBytesPerTerm = 3 * sizeof(std::int64_t) + sizeof(Complex);
    TermBudget() : room_(memory_room()), most_(double(room_) / (2 * kBytesPerTerm)) {}
    void add(std::size_t terms) {
        const std::size_t found = found_.fetch_add(terms, std::memory_order_relaxed) + terms;
        if (double(found) <= most_) return;
        throw MemoryShortfall("cannot allocate " + byte_text(saturated(2 * kBytesPerTerm * double(found))) +
                              " for the " + std::to_string(found) + " terms found so far, twice while they are joined; " +
                              "this process can use at most " + byte_text(room_) + " more");
    }

private:
    const std::uint64_t room_;
    const double most_;
    std::atomic<std::size_t> found_{0};
};

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
    TermBudget budget;
    parallel_chunks(rows, chunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(make_scratch());
        TermTable& out = parts[begin / chunk];
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            const std::size_t before = out.size();
            row(request.row_begin + r, *scratch[worker], out);
            budget.add(out.size() - before);
        }
        out.indices.shrink_to_fit();
        out.values.shrink_to_fit();
    });
    scratch.clear();
    return concatenate(parts);
}

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
extern KeptTermBuffers& kept_term_buffers;

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
    TermBudget budget;
    parallel_chunks(rows, chunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(make_scratch());
        MirroredChunk& part = parts[begin / chunk];
        part.terms = kept_term_buffers.take();
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            const std::size_t i = begin_row + r, first = part.terms.size();
            row(i, begin_row, *scratch[worker], part.terms);
            budget.add(2 * (part.terms.size() - first));  // the row's terms and their mirrors
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
    require_memory(std::uint64_t(total), 3 * sizeof(std::int64_t) + sizeof(Complex),
                   "the " + std::to_string(total) + " terms of the tensor");
    TermTable all;
    all.indices.resize(3 * total);
    all.values.resize(total);
    fault_in(all.indices.data(), all.indices.size() * sizeof(std::int64_t), threads, stop);
    fault_in(all.values.data(), all.values.size() * sizeof(Complex), threads, stop);
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

// Routes of sparse orthogonal bases (see tensor.cpp for the choice between them).

// Any sparse basis of orthogonal matrices: only pairs whose supports touch, products formed
// sparsely, coefficients by orthogonal projection (monomial bases: one verified term per pair).
TermTable sparse_orthogonal_tensor(const SparseBasis& sparse, const TensorRequest& request, const std::stop_token& stop);

// Bases of mirrored pairs and diagonal matrices (Gell-Mann-like), by lookups per position; nothing
// when the basis is not of that form.
std::optional<TermTable> mirrored_pair_tensor(const SparseBasis& sparse, const TensorRequest& request,
                                             const std::stop_token& stop);

}  // namespace tanvo::tensor_rows
