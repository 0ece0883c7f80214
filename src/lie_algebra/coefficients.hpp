// The types that carry a basis and its coefficient tables between the algebra routines.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "dense/matrix.hpp"

namespace tanvo {

// Which product of a pair is expanded: B_i B_j - B_j B_i or B_i B_j + B_j B_i.
enum class PairProduct { commutator, anticommutator };

// An ordered list of matrices; the list index is the basis index.
using Basis = std::vector<ComplexMatrix>;

// One term (i, j) -> (k, c) of a coefficient table.
struct CoefficientEntry {
    std::uint64_t i;
    std::uint64_t j;
    std::uint64_t k;
    Complex c;
};

// What coefficient extraction returns: at most one entry per pair, in the order the pairs
// were visited (i outer, j inner).
using CoefficientList = std::vector<CoefficientEntry>;

struct CoefficientTerm {
    std::uint64_t k;
    Complex c;
};

// A coefficient table read by key (i, j); inserting an existing key replaces its term.
class CoefficientMap {
public:
    void reserve(std::size_t count) { terms_.reserve(count); }
    void insert(std::uint64_t i, std::uint64_t j, std::uint64_t k, Complex c) {
        terms_.insert_or_assign(Key{i, j}, CoefficientTerm{k, c});
    }
    const CoefficientTerm* find(std::uint64_t i, std::uint64_t j) const {
        const auto found = terms_.find(Key{i, j});
        return found == terms_.end() ? nullptr : &found->second;
    }
    std::size_t size() const noexcept { return terms_.size(); }
    bool empty() const noexcept { return terms_.empty(); }

    template <class F>
    void for_each(F&& visit) const {
        for (const auto& [key, term] : terms_) visit(key.i, key.j, term);
    }

private:
    struct Key {
        std::uint64_t i;
        std::uint64_t j;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept {
            std::uint64_t h = key.i * 0x9E3779B97F4A7C15ull ^ (key.j + 0x632BE59BD9B4E019ull);
            return std::size_t(h ^ (h >> 29));
        }
    };
    std::unordered_map<Key, CoefficientTerm, KeyHash> terms_;
};

}  // namespace tanvo
