// The strings of a basis indexed by site: for each site, bit sets over the basis of the strings
// acting there, so that the strings failing to commute with a given one are found from the
// sites where that one acts, 64 strings per word operation, without a test per pair. Two
// strings acting on disjoint sites commute; for qubits the parity of the sites where they
// anticommute decides exactly, for qudits the strings sharing a site are tested one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bases/pauli_strings.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo {

class StringSiteIndex {
public:
    // Indexes `count` strings of `shape` laid end to end (kept by pointer: they must outlive the
    // index). Throws std::bad_alloc when the index (sites · count / 4 bytes) cannot fit.
    StringSiteIndex(const StringShape& shape, const std::uint64_t* strings, std::size_t count);

    // Per-thread working space of partners().
    struct Scratch {
        std::vector<std::uint64_t> bits;
    };

    // The strings j (increasing) whose product with `s` may not cancel in `product`: for the
    // commutator those failing to commute with s; for the anticommutator those whose
    // commutation phase is not a half turn (for qubits, those commuting with s).
    void partners(const std::uint64_t* s, PairProduct product, Scratch& scratch,
                  std::vector<std::uint32_t>& out) const;

private:
    // The sets one site contributes (qubits: those with an x bit, those with a z bit; qudits:
    // those acting there), as a range of words [first, last) outside which they are zero.
    struct Range {
        std::uint32_t first, last;
    };
    const std::uint64_t* set(std::size_t site, unsigned part) const noexcept {
        return sets_.data() + (site * parts_ + part) * set_words_;
    }
    Range range(std::size_t site, unsigned part) const noexcept { return ranges_[site * parts_ + part]; }

    template <class Visit>
    void for_each_site(const std::uint64_t* s, Visit visit) const;

    StringShape shape_;
    const std::uint64_t* strings_;
    std::size_t count_;
    std::size_t set_words_;  // words of one bit set over the basis
    unsigned parts_;         // bit sets per site: 2 for qubits, 1 for qudits
    std::vector<std::uint64_t> sets_;
    std::vector<Range> ranges_;
};

}  // namespace tanvo
