// The tensor of a string basis. For each row i, the partners j that give a term are found
// first by a pass of word operations over all strings (for the commutator, the strings that
// fail to commute with P_i; for the anticommutator, those that commute, plus the others when
// q > 2), then each partner's product string is looked up in a hash set of the basis.
#include "coefficients/string_tensor.hpp"

#include <bit>
#include <cmath>
#include <vector>

#include "core/parallel.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TANVO_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TANVO_POPCOUNT_CLONES
#endif

namespace tanvo {
namespace {

// Rows per chunk handed to a thread.
constexpr std::size_t kRowChunk = 16;

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

// The partners j of row i whose product may give a term, in increasing order (`parity` is
// scratch of n words).
TANVO_POPCOUNT_CLONES
void partners(const StringBasisView& basis, const std::vector<std::uint64_t>& columns, std::size_t i,
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

// What every row needs: the basis grouped by string, the roots of unity, the product's sign.
struct RowContext {
    const StringBasisView& basis;
    const StringGroups& groups;
    const std::vector<std::uint64_t>& columns;
    std::vector<Complex> roots;
    double sign;  // -1 for the commutator, +1 for the anticommutator
    const TensorRequest& request;
};

// Appends the terms of row i, given its partners js.
TANVO_POPCOUNT_CLONES
void row_terms(const RowContext& context, std::size_t i, const std::vector<std::uint32_t>& js,
               std::vector<std::uint64_t>& product, std::vector<Term>& terms) {
    const StringBasisView& basis = context.basis;
    const StringShape& shape = basis.shape;
    const std::size_t words = shape.words();
    const unsigned order = shape.phase_order();
    const std::uint64_t* s = basis.strings + i * words;
    const Complex ci = basis.coefficients[i];
    for (const std::uint32_t j : js) {
        const std::uint64_t* t = basis.strings + std::size_t(j) * words;
        const unsigned forward = multiply_strings(shape, s, t, product.data());
        const std::uint32_t g = context.groups.set.find(product.data());
        if (g == StringSet::kAbsent) continue;
        const unsigned c = commutation_phase(shape, s, t);
        const Complex back = context.roots[(forward + order - c) % order];
        const Complex phase = context.roots[forward] + Complex{context.sign * back.re, context.sign * back.im};
        const Complex value = ci * basis.coefficients[j] * phase;
        for (std::uint32_t m = context.groups.first[g]; m < context.groups.first[g + 1]; ++m) {
            const Complex coefficient = value * context.groups.shares[m];
            if (kept(coefficient, context.request.tol))
                terms.push_back({std::uint32_t(i), j, context.groups.members[m], coefficient});
        }
    }
}

}  // namespace

TermTable string_structure_tensor(const StringBasisView& basis, const TensorRequest& request,
                                  const std::stop_token& stop) {
    const StringShape& shape = basis.shape;
    const std::size_t words = shape.words();
    const unsigned order = shape.phase_order();
    const StringGroups groups(basis);
    const std::vector<std::uint64_t> columns = word_columns(basis);
    std::vector<Complex> roots(order);
    for (unsigned k = 0; k < order; ++k) roots[k] = root_of_unity(k, order);
    const double sign = request.product == PairProduct::commutator ? -1.0 : 1.0;
    (void)words;

    const std::size_t rows = request.row_end - request.row_begin;
    const RowContext context{basis, groups, columns, roots, sign, request};
    std::vector<std::vector<Term>> found((rows + kRowChunk - 1) / kRowChunk);
    parallel_chunks(rows, kRowChunk, request.threads, stop, [&](std::size_t begin, std::size_t end, unsigned) {
        std::vector<Term>& terms = found[begin / kRowChunk];
        std::vector<std::uint32_t> js;
        std::vector<std::uint64_t> parity, product(words);
        for (std::size_t r = begin; r < end; ++r) {
            stop_point(stop);
            const std::size_t i = request.row_begin + r;
            partners(basis, columns, i, request.product, parity, js);
            row_terms(context, i, js, product, terms);
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
        std::vector<Term>().swap(terms);  // released as soon as copied
    }
    return table;
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
