// The site index of a string basis and the partners of a string found with it. For qubits the
// symplectic form of s and t is the parity, over the sites where s acts, of t's z bit (where s
// has x) plus t's x bit (where s has z): XORing those sites' bit sets gives it for every t at
// once. Only the words where the sets are non-zero are touched, so a basis ordered by position
// costs little more per string than its partners.
#include "coefficients/string_site_index.hpp"

#include <algorithm>
#include <bit>

namespace tanvo {

// visit(site, x, z) for each site where s acts (x, z its exponents there, not both zero), in
// increasing order.
template <class Visit>
void StringSiteIndex::for_each_site(const std::uint64_t* s, Visit visit) const {
    const std::size_t w = shape_.part_words;
    for (std::size_t k = 0; k < w; ++k) {
        const std::uint64_t sx = s[k], sz = s[w + k];
        if (shape_.qubits()) {
            for (std::uint64_t bits = sx | sz; bits; bits &= bits - 1) {
                const unsigned b = unsigned(std::countr_zero(bits));
                visit(64 * k + b, unsigned(sx >> b) & 1u, unsigned(sz >> b) & 1u);
            }
            continue;
        }
        if ((sx | sz) == 0) continue;
        const std::uint8_t *x = string_words::bytes(s + k), *z = string_words::bytes(s + w + k);
        for (unsigned b = 0; b < 8; ++b)
            if (x[b] | z[b]) visit(8 * k + b, unsigned(x[b]), unsigned(z[b]));
    }
}

StringSiteIndex::StringSiteIndex(const StringShape& shape, const std::uint64_t* strings, std::size_t count)
    : shape_(shape), strings_(strings), count_(count), set_words_((count + 63) / 64),
      parts_(shape.qubits() ? 2 : 1) {
    const std::size_t sets = shape.sites * parts_;
    sets_.assign(sets * set_words_, 0);
    ranges_.assign(sets, Range{0, 0});
    const std::size_t words = shape.words();
    auto mark = [&](std::size_t site, unsigned part, std::size_t j) {
        const std::size_t at = site * parts_ + part;
        const auto word = std::uint32_t(j / 64);
        sets_[at * set_words_ + word] |= std::uint64_t(1) << (j % 64);
        Range& range = ranges_[at];
        if (range.first == range.last) range.first = word;  // strings come in increasing order
        range.last = word + 1;
    };
    for (std::size_t j = 0; j < count; ++j)
        for_each_site(strings + j * words, [&](std::size_t site, unsigned x, unsigned z) {
            if (parts_ == 1) {
                mark(site, 0, j);
                return;
            }
            if (x) mark(site, 0, j);
            if (z) mark(site, 1, j);
        });
}

TANVO_POPCOUNT_CLONES
void StringSiteIndex::partners(const std::uint64_t* s, PairProduct product, Scratch& scratch,
                               std::vector<std::uint32_t>& out) const {
    out.clear();
    std::vector<std::uint64_t>& bits = scratch.bits;
    bits.resize(set_words_);
    // The sets to combine: for qubits, an x at a site meets the strings with z there and a z
    // those with x; for qudits every string acting at the site.
    std::uint32_t first = std::uint32_t(set_words_), last = 0;
    auto widen = [&](Range range) {
        if (range.first == range.last) return;
        first = std::min(first, range.first);
        last = std::max(last, range.last);
    };
    for_each_site(s, [&](std::size_t site, unsigned x, unsigned z) {
        if (parts_ == 1) {
            widen(range(site, 0));
            return;
        }
        if (x) widen(range(site, 1));
        if (z) widen(range(site, 0));
    });
    if (first < last) std::fill(bits.begin() + first, bits.begin() + last, 0);
    std::uint64_t* acc = bits.data();
    for_each_site(s, [&](std::size_t site, unsigned x, unsigned z) {
        auto fold = [&](unsigned part, bool exclusive) {
            const Range r = range(site, part);
            const std::uint64_t* from = set(site, part);
            if (exclusive)
                for (std::uint32_t k = r.first; k < r.last; ++k) acc[k] ^= from[k];
            else
                for (std::uint32_t k = r.first; k < r.last; ++k) acc[k] |= from[k];
        };
        if (parts_ == 1) {
            fold(0, false);
            return;
        }
        if (x) fold(1, true);
        if (z) fold(0, true);
    });
    // Word k of the combined set, all zero outside [first, last).
    auto word = [&](std::size_t k) { return k >= first && k < last ? acc[k] : std::uint64_t(0); };
    auto in_basis = [&](std::size_t k) {
        const std::size_t tail = count_ % 64;
        return k + 1 == set_words_ && tail ? (std::uint64_t(1) << tail) - 1 : ~std::uint64_t(0);
    };
    auto emit = [&](std::size_t k, std::uint64_t chosen, auto keep) {
        for (; chosen; chosen &= chosen - 1) {
            const auto j = std::uint32_t(64 * k + unsigned(std::countr_zero(chosen)));
            if (keep(j)) out.push_back(j);
        }
    };
    const bool commutator = product == PairProduct::commutator;
    if (shape_.qubits()) {  // the set is exactly the strings anticommuting with s
        auto all = [](std::uint32_t) { return true; };
        if (commutator)
            for (std::size_t k = first; k < last; ++k) emit(k, acc[k], all);
        else
            for (std::size_t k = 0; k < set_words_; ++k) emit(k, ~word(k) & in_basis(k), all);
        return;
    }
    // Qudits: the set holds the strings sharing a site with s, each tested; the others commute,
    // a term of the anticommutator only.
    const std::size_t words = shape_.words();
    const unsigned order = shape_.phase_order();
    auto fails_to_vanish = [&](std::uint32_t j) {
        const unsigned c = commutation_phase(shape_, s, strings_ + std::size_t(j) * words);
        return commutator ? c != 0 : 2 * c != order;
    };
    if (commutator) {
        for (std::size_t k = first; k < last; ++k) emit(k, acc[k], fails_to_vanish);
        return;
    }
    for (std::size_t k = 0; k < set_words_; ++k) {
        const std::uint64_t shared = word(k);
        for (std::uint64_t every = in_basis(k); every; every &= every - 1) {
            const unsigned b = unsigned(std::countr_zero(every));
            const auto j = std::uint32_t(64 * k + b);
            if (!((shared >> b) & 1u) || fails_to_vanish(j)) out.push_back(j);
        }
    }
}

}  // namespace tanvo
