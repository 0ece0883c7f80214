// The tensor of a string basis. For each row i, the partners j that give a term are found
// first (for the commutator, the strings that fail to commute with P_i; for the
// anticommutator, those that commute, plus the others when q > 2), then each partner's product
// string is looked up in a hash set of the basis. The fast routine finds the partners with the
// basis indexed by site; the reference scans every string for each row with word operations.
#include "coefficients/string_tensor.hpp"

#include <bit>
#include <cmath>
#include <vector>

#include "coefficients/string_site_index.hpp"
#include "bases/pauli_strings.hpp"
#include "core/parallel.hpp"

namespace tanvo {
namespace {

// Rows per chunk handed to a thread.
constexpr std::size_t kRowChunk = 16;
// Partners whose products are looked up together, and how far ahead their strings are fetched.
constexpr std::size_t kLookups = 256;
constexpr std::size_t kAhead = 8;

// The basis elements holding each distinct string: members[first[g] .. first[g + 1]) in
// increasing order, with their share conj(c_k) / Σ|c|^2.
struct StringGroups {
    StringSet set;
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> members;
    std::vector<Complex> shares;

    explicit StringGroups(const StringBasisView& basis) : set(basis.shape.words()) {
        const std::size_t words = basis.shape.words();
        set.reserve(basis.size);
        std::vector<std::uint32_t> group(basis.size);
        for (std::size_t k = 0; k < basis.size; ++k) group[k] = set.insert(basis.strings + k * words).first;
        first.assign(set.size() + 1, 0);
        for (std::size_t k = 0; k < basis.size; ++k) ++first[group[k] + 1];
        for (std::size_t g = 0; g < set.size(); ++g) first[g + 1] += first[g];
        std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
        members.resize(basis.size);
        for (std::size_t k = 0; k < basis.size; ++k) members[fill[group[k]]++] = std::uint32_t(k);
        shares.resize(basis.size);
        for (std::size_t g = 0; g < set.size(); ++g) {
            double weight = 0.0;
            for (std::uint32_t m = first[g]; m < first[g + 1]; ++m) {
                const Complex c = basis.coefficients[members[m]];
                weight += c.re * c.re + c.im * c.im;
            }
            for (std::uint32_t m = first[g]; m < first[g + 1]; ++m) {
                const Complex c = basis.coefficients[members[m]];
                shares[m] = {c.re / weight, -c.im / weight};
            }
        }
    }
};

bool kept(Complex value, double tol) { return std::abs(value.re) > tol || std::abs(value.im) > tol; }

// The basis word by word (column k holds word k of every string), so that a row's test against
// all strings runs down contiguous arrays, skipping the words where the row's string is zero.
std::vector<std::uint64_t> word_columns(const StringBasisView& basis) {
    const std::size_t words = basis.shape.words(), n = basis.size;
    std::vector<std::uint64_t> columns(words * n);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < words; ++k) columns[k * n + j] = basis.strings[j * words + k];
    return columns;
}

// The partners j of row i whose product may give a term, in increasing order, by a test of
// every string (`parity` is scratch of n words).
TANVO_POPCOUNT_CLONES
void scanned_partners(const StringBasisView& basis, const std::vector<std::uint64_t>& columns, std::size_t i,
                      PairProduct product, std::vector<std::uint64_t>& parity, std::vector<std::uint32_t>& out) {
    const StringShape& shape = basis.shape;
    const std::size_t words = shape.words(), w = shape.part_words, n = basis.size;
    const std::uint64_t* s = basis.strings + i * words;
    out.clear();
    if (!shape.qubits()) {  // qudit pairs give a term unless their phases cancel
        const unsigned order = shape.phase_order();
        for (std::size_t j = 0; j < n; ++j) {
            const unsigned c = commutation_phase(shape, s, basis.strings + j * words);
            const bool vanishes = product == PairProduct::commutator ? c == 0 : 2 * c == order;
            if (!vanishes) out.push_back(std::uint32_t(j));
        }
        return;
    }
    parity.assign(n, 0);
    std::uint64_t* odd = parity.data();
    for (std::size_t k = 0; k < w; ++k) {
        const std::uint64_t sx = s[k], sz = s[w + k];
        if ((sx | sz) == 0) continue;
        const std::uint64_t *x = columns.data() + k * n, *z = columns.data() + (w + k) * n;
        for (std::size_t j = 0; j < n; ++j) odd[j] ^= (sx & z[j]) ^ (sz & x[j]);
    }
    const unsigned want = product == PairProduct::commutator ? 1u : 0u;
    for (std::size_t j = 0; j < n; ++j)
        if ((unsigned(std::popcount(odd[j])) & 1u) == want) out.push_back(std::uint32_t(j));
}

// The terms of a range of rows, compactly: (i, j, k) and the value.
struct Term {
    std::uint32_t i, j, k;
    Complex value;
};

// A term of a string tensor between its two passes: the partner j and the position m of the
// element among the groups' members (k = members[m]). Its value is formed again when written,
// so that the first pass keeps 8 bytes a term (the result's first touch of its pages, not the
// arithmetic, bounds this routine).
struct Hit {
    std::uint32_t j, m;
};

// What every row needs: the basis grouped by string, the roots of unity, the product's sign.
struct RowContext {
    const StringBasisView& basis;
    const StringGroups& groups;
    std::vector<Complex> roots;
    double sign;  // -1 for the commutator, +1 for the anticommutator
    const TensorRequest& request;

    // c_i c_j (φ ∓ φ'), the pair's product before its spread over the elements holding the string.
    Complex pair_value(std::size_t i, std::uint32_t j, unsigned forward) const {
        const StringShape& shape = basis.shape;
        const std::size_t words = shape.words();
        const unsigned order = shape.phase_order();
        const unsigned c = commutation_phase(shape, basis.strings + i * words, basis.strings + std::size_t(j) * words);
        const Complex back = roots[(forward + order - c) % order];
        const Complex phase = roots[forward] + Complex{sign * back.re, sign * back.im};
        return basis.coefficients[i] * basis.coefficients[j] * phase;
    }
};

// Per-thread buffers of row_hits.
struct RowScratch {
    std::vector<std::uint64_t> products;
    std::vector<std::uint8_t> phases;
    std::vector<std::uint32_t> numbers;
};

// Appends the terms of row i, given its partners js, as hits: the partners' products are
// formed a batch at a time and looked up together.
TANVO_POPCOUNT_CLONES
void row_hits(const RowContext& context, std::size_t i, const std::vector<std::uint32_t>& js, RowScratch& scratch,
              std::vector<Hit>& hits) {
    const StringBasisView& basis = context.basis;
    const StringShape& shape = basis.shape;
    const std::size_t words = shape.words();
    const std::uint64_t* s = basis.strings + i * words;
    scratch.products.resize(kLookups * words);
    scratch.phases.resize(kLookups);
    scratch.numbers.resize(kLookups);
    for (std::size_t begin = 0; begin < js.size(); begin += kLookups) {
        const std::size_t count = std::min(js.size() - begin, kLookups);
        // Partners are spread over the basis: their strings are requested a few products ahead,
        // their coefficients (read once the lookups are done) now.
        for (std::size_t t = 0; t < count; ++t) {
            if (t + kAhead < count) __builtin_prefetch(basis.strings + std::size_t(js[begin + t + kAhead]) * words);
            __builtin_prefetch(basis.coefficients + js[begin + t]);
            scratch.phases[t] = std::uint8_t(multiply_strings(shape, s, basis.strings + std::size_t(js[begin + t]) * words,
                                                              scratch.products.data() + t * words));
        }
        context.groups.set.find_all(scratch.products.data(), count, scratch.numbers.data());
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint32_t g = scratch.numbers[t];
            if (g == StringSet::kAbsent) continue;
            const std::uint32_t j = js[begin + t];
            const Complex value = context.pair_value(i, j, scratch.phases[t]);
            for (std::uint32_t m = context.groups.first[g]; m < context.groups.first[g + 1]; ++m)
                if (kept(value * context.groups.shares[m], context.request.tol)) hits.push_back({j, m});
        }
    }
}

// Writes the terms of row i from its hits into the table from position `at`.
TANVO_POPCOUNT_CLONES
void write_row(const RowContext& context, std::size_t i, const Hit* hits, std::size_t count, TermTable& table,
               std::size_t at, std::vector<std::uint64_t>& product) {
    const StringShape& shape = context.basis.shape;
    const std::size_t words = shape.words();
    const std::uint64_t* s = context.basis.strings + i * words;
    product.resize(words);
    Complex value{};
    for (std::size_t h = 0; h < count; ++h, ++at) {
        const std::uint32_t j = hits[h].j, m = hits[h].m;
        if (h == 0 || j != hits[h - 1].j) {
            const unsigned forward =
                multiply_strings(shape, s, context.basis.strings + std::size_t(j) * words, product.data());
            value = context.pair_value(i, j, forward);
        }
        table.indices[3 * at] = std::int64_t(i);
        table.indices[3 * at + 1] = j;
        table.indices[3 * at + 2] = context.groups.members[m];
        table.values[at] = value * context.groups.shares[m];
    }
}

// The terms of the request's rows, the partners of row i given by find(i, worker, js) (worker
// below worker_count(request.threads)). A first pass finds each row's terms as hits, a second
// writes them where the counts of the rows before place them.
template <class FindPartners>
TermTable tensor_terms(const StringBasisView& basis, const TensorRequest& request, const std::stop_token& stop,
                       const FindPartners& find) {
    const StringShape& shape = basis.shape;
    const unsigned order = shape.phase_order();
    const StringGroups groups(basis);
    std::vector<Complex> roots(order);
    for (unsigned k = 0; k < order; ++k) roots[k] = root_of_unity(k, order);
    const double sign = request.product == PairProduct::commutator ? -1.0 : 1.0;
    const unsigned threads = worker_count(request.threads);

    const std::size_t rows = request.row_end - request.row_begin;
    const RowContext context{basis, groups, roots, sign, request};
    std::vector<std::vector<Hit>> found((rows + kRowChunk - 1) / kRowChunk);
    std::vector<std::size_t> counts(rows + 1, 0);  // counts[r + 1]: the terms of row r
    parallel_chunks(rows, kRowChunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned worker) {
        std::vector<Hit>& hits = found[begin / kRowChunk];
        std::vector<std::uint32_t> js;
        RowScratch scratch;
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            find(request.row_begin + r, worker, js);
            const std::size_t before = hits.size();
            row_hits(context, request.row_begin + r, js, scratch, hits);
            counts[r + 1] = hits.size() - before;
        }
    });
    stop_point(stop);
    for (std::size_t r = 0; r < rows; ++r) counts[r + 1] += counts[r];
    TermTable table;
    table.indices.resize(3 * counts[rows]);
    table.values.resize(counts[rows]);
    parallel_chunks(rows, kRowChunk, threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
        std::vector<Hit>& hits = found[begin / kRowChunk];
        std::vector<std::uint64_t> product;
        const Hit* next = hits.data();
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            const std::size_t count = counts[r + 1] - counts[r];
            write_row(context, request.row_begin + r, next, count, table, counts[r], product);
            next += count;
        }
        std::vector<Hit>().swap(hits);  // released as soon as written
    });
    stop_point(stop);
    return table;
}

}  // namespace

TermTable string_structure_tensor(const StringBasisView& basis, const TensorRequest& request,
                                  const std::stop_token& stop) {
    const StringSiteIndex index(basis.shape, basis.strings, basis.size);
    std::vector<StringSiteIndex::Scratch> scratch(worker_count(request.threads));
    const std::size_t words = basis.shape.words();
    return tensor_terms(basis, request, stop, [&](std::size_t i, unsigned worker, std::vector<std::uint32_t>& js) {
        index.partners(basis.strings + i * words, request.product, scratch[worker], js);
    });
}

namespace {

// The basis's strings with the elements holding each: an inverted index.
struct SumIndex {
    StringSet set;
    std::vector<std::uint32_t> first;     // of each string's entries
    std::vector<std::uint32_t> elements;  // increasing within a string
    std::vector<Complex> values;

    SumIndex(const StringShape& shape, const StringSumsView& basis) : set(shape.words()) {
        const std::size_t words = shape.words();
        const std::size_t terms = std::size_t(basis.offsets[basis.operators]);
        std::vector<std::uint32_t> number(terms);
        for (std::size_t t = 0; t < terms; ++t) number[t] = set.insert(basis.strings + t * words).first;
        first.assign(set.size() + 1, 0);
        for (std::size_t t = 0; t < terms; ++t) ++first[number[t] + 1];
        for (std::size_t g = 0; g < set.size(); ++g) first[g + 1] += first[g];
        std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
        elements.resize(terms);
        values.resize(terms);
        for (std::size_t k = 0; k < basis.operators; ++k)
            for (auto t = std::size_t(basis.offsets[k]); t < std::size_t(basis.offsets[k + 1]); ++t) {
                elements[fill[number[t]]] = std::uint32_t(k);
                values[fill[number[t]]++] = basis.coefficients[t];
            }
    }
};

}  // namespace

TermTable sum_basis_projections(const StringShape& shape, const StringSumsView& basis, SumProduct product,
                                const TensorRequest& request, const std::stop_token& stop) {
    const std::size_t words = shape.words(), n = basis.operators;
    const unsigned order = shape.phase_order();
    std::vector<Complex> roots(order);
    for (unsigned k = 0; k < order; ++k) roots[k] = root_of_unity(k, order);
    const SumIndex index(shape, basis);
    const std::size_t rows = request.row_end - request.row_begin;
    std::vector<std::vector<Term>> found((rows + kRowChunk - 1) / kRowChunk);
    parallel_chunks(rows, kRowChunk, request.threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
        std::vector<Term>& terms = found[begin / kRowChunk];
        TermAccumulator sum(words);
        StringSums merged;
        std::vector<Complex> projection(n);
        std::vector<char> touched_flag(n);
        std::vector<std::uint32_t> touched;
        std::vector<std::uint64_t> p(words);
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t i = request.row_begin + r;
            const std::size_t partners = product == SumProduct::identity ? 1 : n;
            for (std::size_t j = 0; j < partners; ++j) {
                stop_point(stop);
                merged.strings.clear();
                merged.coefficients.clear();
                merged.offsets.clear();
                if (product == SumProduct::identity) {
                    for (auto a = std::size_t(basis.offsets[i]); a < std::size_t(basis.offsets[i + 1]); ++a)
                        sum.add(basis.strings + a * words, basis.coefficients[a]);
                } else {
                    const double sign = product == SumProduct::commutator ? -1.0 : 1.0;
                    for (auto a = std::size_t(basis.offsets[i]); a < std::size_t(basis.offsets[i + 1]); ++a)
                        for (auto b = std::size_t(basis.offsets[j]); b < std::size_t(basis.offsets[j + 1]); ++b) {
                            const std::uint64_t *s = basis.strings + a * words, *t = basis.strings + b * words;
                            const unsigned c = commutation_phase(shape, s, t);
                            const unsigned forward = multiply_strings(shape, s, t, p.data());
                            const Complex back = roots[(forward + order - c) % order];
                            const Complex phase = roots[forward] + Complex{sign * back.re, sign * back.im};
                            if (phase == Complex{}) continue;
                            sum.add(p.data(), basis.coefficients[a] * basis.coefficients[b] * phase);
                        }
                }
                sum.finish(0.0, merged);
                for (std::size_t u = 0; u < merged.coefficients.size(); ++u) {
                    const std::uint32_t g = index.set.find(merged.strings.data() + u * words);
                    if (g == StringSet::kAbsent) continue;
                    for (std::uint32_t e = index.first[g]; e < index.first[g + 1]; ++e) {
                        const std::uint32_t k = index.elements[e];
                        if (!touched_flag[k]) {
                            touched_flag[k] = 1;
                            touched.push_back(k);
                            projection[k] = {};
                        }
                        const Complex v = index.values[e];
                        projection[k] += Complex{v.re, -v.im} * merged.coefficients[u];
                    }
                }
                std::sort(touched.begin(), touched.end());
                for (const std::uint32_t k : touched) {
                    touched_flag[k] = 0;
                    if (!(projection[k] == Complex{})) terms.push_back({std::uint32_t(i), std::uint32_t(j), k, projection[k]});
                }
                touched.clear();
            }
        }
    });
    stop_point(stop);
    std::size_t total = 0;
    for (const std::vector<Term>& terms : found) total += terms.size();
    TermTable table;
    table.indices.resize(3 * total);
    table.values.resize(total);
    std::size_t at = 0;
    for (std::vector<Term>& terms : found) {
        for (const Term& term : terms) {
            table.indices[3 * at] = term.i;
            table.indices[3 * at + 1] = term.j;
            table.indices[3 * at + 2] = term.k;
            table.values[at++] = term.value;
        }
        std::vector<Term>().swap(terms);
    }
    return table;
}

namespace reference {

TermTable string_structure_tensor_scanning(const StringBasisView& basis, const TensorRequest& request,
                                           const std::stop_token& stop) {
    const std::vector<std::uint64_t> columns = word_columns(basis);
    std::vector<std::vector<std::uint64_t>> parity(worker_count(request.threads));
    return tensor_terms(basis, request, stop, [&](std::size_t i, unsigned worker, std::vector<std::uint32_t>& js) {
        scanned_partners(basis, columns, i, request.product, parity[worker], js);
    });
}

TermTable string_structure_tensor(const StringBasisView& basis, const TensorRequest& request) {
    const StringShape& shape = basis.shape;
    const std::size_t words = shape.words(), n = basis.size;
    const unsigned order = shape.phase_order();
    std::vector<std::uint64_t> forward_string(words), backward_string(words);
    std::vector<Complex> indices_values;
    std::vector<std::int64_t> indices;
    for (std::size_t i = request.row_begin; i < request.row_end; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint64_t *s = basis.strings + i * words, *t = basis.strings + j * words;
            const Complex forward = root_of_unity(multiply_strings(shape, s, t, forward_string.data()), order);
            Complex backward = root_of_unity(multiply_strings(shape, t, s, backward_string.data()), order);
            if (request.product == PairProduct::commutator) backward = {-backward.re, -backward.im};
            const Complex value = basis.coefficients[i] * basis.coefficients[j] * (forward + backward);
            double weight = 0.0;
            for (std::size_t k = 0; k < n; ++k)
                if (std::equal(forward_string.begin(), forward_string.end(), basis.strings + k * words)) {
                    const Complex c = basis.coefficients[k];
                    weight += c.re * c.re + c.im * c.im;
                }
            for (std::size_t k = 0; k < n; ++k) {
                if (!std::equal(forward_string.begin(), forward_string.end(), basis.strings + k * words)) continue;
                const Complex c = basis.coefficients[k];
                const Complex coefficient = value * Complex{c.re / weight, -c.im / weight};
                if (!kept(coefficient, request.tol)) continue;
                indices.insert(indices.end(), {std::int64_t(i), std::int64_t(j), std::int64_t(k)});
                indices_values.push_back(coefficient);
            }
        }
    TermTable table;
    table.indices.assign(indices.begin(), indices.end());
    table.values.assign(indices_values.begin(), indices_values.end());
    return table;
}

}  // namespace reference
}  // namespace tanvo
