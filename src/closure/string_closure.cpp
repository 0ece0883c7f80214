// The closure of single strings. Elements are taken in blocks: their products with the
// generators they do not commute with are formed in parallel, then offered to the hash set in
// the order (element, generator), which is the order of the one-by-one search whatever the
// number of threads. A generator touches few words (local terms touch one or two), so each
// commutation test reads only those.
#include "closure/string_closure.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <string>
#include <vector>

#include "bases/pauli_strings.hpp"
#include "core/parallel.hpp"

namespace tanvo {
namespace {

using Clock = std::chrono::steady_clock;

// Elements whose products are formed between two merges: enough to share among threads, few
// enough that the buffered products stay in cache.
constexpr std::size_t kBlock = 2048;
// Elements per parallel chunk of a block.
constexpr std::size_t kChunk = 256;

// A generator as the words it touches: for each, its index in a part and its x and z words.
struct SparseString {
    std::vector<std::uint32_t> index;
    std::vector<std::uint64_t> x, z;
};

SparseString sparse_string(const StringShape& shape, const std::uint64_t* s) {
    SparseString sparse;
    const std::size_t w = shape.part_words;
    for (std::size_t i = 0; i < w; ++i)
        if (s[i] | s[w + i]) {
            sparse.index.push_back(std::uint32_t(i));
            sparse.x.push_back(s[i]);
            sparse.z.push_back(s[w + i]);
        }
    return sparse;
}

// A qubit generator touching at most two words, in one flat record so that the test of an
// element against every generator reads one array without branches (a generator of one word
// repeats it with zero bits).
struct LocalString {
    std::uint32_t i0 = 0, i1 = 0;
    std::uint64_t x0 = 0, z0 = 0, x1 = 0, z1 = 0;
};

// The generators as LocalStrings, or none when some generator touches more than two words or
// the sites are qudits.
std::vector<LocalString> local_strings(const StringShape& shape, const std::vector<SparseString>& generators) {
    std::vector<LocalString> local;
    if (!shape.qubits()) return local;
    for (const SparseString& g : generators) {
        if (g.index.size() > 2) return {};
        LocalString l;
        if (!g.index.empty()) {
            l.i0 = l.i1 = g.index[0];
            l.x0 = g.x[0];
            l.z0 = g.z[0];
        }
        if (g.index.size() == 2) {
            l.i1 = g.index[1];
            l.x1 = g.x[1];
            l.z1 = g.z[1];
        }
        local.push_back(l);
    }
    return local;
}

// Whether e and the generator g fail to commute (only g's words matter).
inline bool qubits_anticommute(std::size_t w, const std::uint64_t* e, const SparseString& g) {
    std::uint64_t odd = 0;
    for (std::size_t k = 0; k < g.index.size(); ++k) {
        const std::size_t i = g.index[k];
        odd ^= (e[i] & g.z[k]) ^ (e[w + i] & g.x[k]);
    }
    return (std::popcount(odd) & 1) != 0;
}

inline bool qudits_fail_to_commute(const StringShape& shape, const std::uint64_t* e, const SparseString& g) {
    const std::size_t w = shape.part_words;
    std::uint64_t eg = 0, ge = 0;
    for (std::size_t k = 0; k < g.index.size(); ++k) {
        const std::size_t i = g.index[k];
        const auto* ex = reinterpret_cast<const std::uint8_t*>(e + i);
        const auto* ez = reinterpret_cast<const std::uint8_t*>(e + w + i);
        const auto* gx = reinterpret_cast<const std::uint8_t*>(&g.x[k]);
        const auto* gz = reinterpret_cast<const std::uint8_t*>(&g.z[k]);
        for (int b = 0; b < 8; ++b) {
            eg += unsigned(ez[b]) * gx[b];
            ge += unsigned(gz[b]) * ex[b];
        }
    }
    return eg % shape.q != ge % shape.q;
}

// The string of e·g (the phase is not needed: the closure keeps strings only).
inline void product_string(const StringShape& shape, const std::uint64_t* e, const SparseString& g,
                           std::uint64_t* out) {
    const std::size_t w = shape.part_words;
    std::copy(e, e + 2 * w, out);
    for (std::size_t k = 0; k < g.index.size(); ++k) {
        const std::size_t i = g.index[k];
        if (shape.qubits()) {
            out[i] ^= g.x[k];
            out[w + i] ^= g.z[k];
            continue;
        }
        auto* ox = reinterpret_cast<std::uint8_t*>(out + i);
        auto* oz = reinterpret_cast<std::uint8_t*>(out + w + i);
        const auto* gx = reinterpret_cast<const std::uint8_t*>(&g.x[k]);
        const auto* gz = reinterpret_cast<const std::uint8_t*>(&g.z[k]);
        for (int b = 0; b < 8; ++b) {
            ox[b] = std::uint8_t((ox[b] + gx[b]) % shape.q);
            oz[b] = std::uint8_t((oz[b] + gz[b]) % shape.q);
        }
    }
}

// The products of elements [begin, end) with the generators they do not commute with, element
// by element into `products` (counts[e - begin] of them for element e).
TANVO_POPCOUNT_CLONES
void block_products(const StringShape& shape, const StringSet& set, const std::vector<SparseString>& generators,
                    const std::vector<LocalString>& local,
                    std::size_t begin, std::size_t end, std::vector<std::uint64_t>& products,
                    std::uint32_t* counts) {
    const std::size_t words = shape.words();
    products.clear();
    for (std::size_t e = begin; e < end; ++e) {
        const std::uint64_t* element = set.string(e);
        std::uint32_t found = 0;
        auto append = [&](const SparseString& g) {
            const std::size_t at = products.size();
            products.resize(at + words);
            product_string(shape, element, g, products.data() + at);
            ++found;
        };
        if (!local.empty()) {
            const std::size_t w = shape.part_words;
            for (std::size_t k = 0; k < local.size(); ++k) {
                const LocalString& g = local[k];
                const std::uint64_t odd = (element[g.i0] & g.z0) ^ (element[w + g.i0] & g.x0) ^
                                          (element[g.i1] & g.z1) ^ (element[w + g.i1] & g.x1);
                if (std::popcount(odd) & 1) append(generators[k]);
            }
        } else {
            for (const SparseString& g : generators)
                if (shape.qubits() ? qubits_anticommute(shape.part_words, element, g)
                                   : qudits_fail_to_commute(shape, element, g))
                    append(g);
        }
        counts[e - begin] = found;
    }
}

class Limits {
public:
    explicit Limits(const StringClosureOptions& options) : options_(options), start_(Clock::now()), last_(start_) {}

    void check_room(std::size_t dimension) const {
        if (options_.max_dimension && dimension > *options_.max_dimension)
            throw ClosureTooLarge("the Lie closure passed max_dimension=" + std::to_string(*options_.max_dimension) +
                                  ": " + std::to_string(dimension) +
                                  " independent elements found so far, and the algebra may be larger");
    }

    void report(std::size_t dimension, std::size_t tried, bool always = false) {
        if (!options_.progress) return;
        const Clock::time_point now = Clock::now();
        if (!always && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        options_.progress({dimension, tried, std::chrono::duration<double>(now - start_).count()});
    }

private:
    const StringClosureOptions& options_;
    Clock::time_point start_;
    Clock::time_point last_;
};

}  // namespace

StringSet string_closure(const StringShape& shape, const std::uint64_t* generators, std::size_t m,
                         const StringClosureOptions& options, const std::stop_token& stop) {
    const std::size_t words = shape.words();
    Limits limits(options);
    StringSet set(words);
    std::vector<SparseString> sparse;
    for (std::size_t i = 0; i < m; ++i)
        if (set.insert(generators + i * words).second) {
            limits.check_room(set.size());
            sparse.push_back(sparse_string(shape, generators + i * words));
        }

    const std::vector<LocalString> local = local_strings(shape, sparse);
    // Each chunk of a block forms its products into a buffer of its own; the merge then walks
    // the chunks in order.
    std::vector<std::vector<std::uint64_t>> products(kBlock / kChunk);
    std::vector<std::uint32_t> counts(kBlock);
    std::size_t tried = 0;
    for (std::size_t next = 0; next < set.size();) {
        const std::size_t end = std::min(set.size(), next + kBlock);
        parallel_chunks(end - next, kChunk, options.threads, stop, [&](std::size_t begin, std::size_t last, unsigned) {
            stop_point(stop);
            block_products(shape, set, sparse, local, next + begin, next + last, products[begin / kChunk],
                           counts.data() + begin);
        });
        for (std::size_t chunk = 0; chunk * kChunk < end - next; ++chunk) {
            stop_point(stop);
            const std::uint64_t* product = products[chunk].data();
            const std::size_t first = chunk * kChunk, last = std::min(end - next, first + kChunk);
            for (std::size_t e = first; e < last; ++e)
                for (std::uint32_t k = 0; k < counts[e]; ++k, product += words)
                    if (set.insert(product).second) limits.check_room(set.size());
        }
        tried += (end - next) * sparse.size();
        next = end;
        limits.report(set.size(), tried);
    }
    limits.report(set.size(), tried, true);
    return set;
}

namespace reference {

StringSet string_closure(const StringShape& shape, const std::uint64_t* generators, std::size_t m) {
    const std::size_t words = shape.words();
    StringSet set(words);
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < m; ++i)
        if (set.insert(generators + i * words).second) distinct.push_back(i);
    std::vector<std::uint64_t> element(words), product(words);
    for (std::size_t e = 0; e < set.size(); ++e)
        for (const std::size_t g : distinct) {
            std::copy(set.string(e), set.string(e) + words, element.begin());
            if (strings_commute(shape, generators + g * words, element.data())) continue;
            multiply_strings(shape, generators + g * words, element.data(), product.data());
            set.insert(product.data());
        }
    return set;
}

}  // namespace reference
}  // namespace tanvo
