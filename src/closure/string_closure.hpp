// The Lie closure of single Pauli strings: the set of strings reached from the generators by
// commutators, found exactly with a hash set of packed strings (no floating point). The
// commutator of two strings is zero or a multiple of their product, so the algebra the strings
// generate is spanned by exactly these strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>

#include "bases/pauli_strings.hpp"
#include "closure/closure.hpp"

namespace tanvo {

struct StringClosureOptions {
    std::optional<std::size_t> max_dimension;  // fail once the algebra passes it
    unsigned threads = 1;
    // Called from the thread running the closure, at most a few times per second.
    std::function<void(const ClosureProgress&)> progress;
};

// The distinct generators in their order, then every string found, in the order found: each
// element is commuted with each generator in turn, and a product not seen before is appended.
// The result does not depend on `threads`. Throws ClosureTooLarge past max_dimension.
StringSet string_closure(const StringShape& shape, const std::uint64_t* generators, std::size_t m,
                         const StringClosureOptions& options, const std::stop_token& stop = {});

namespace reference {
// The same search one element and one generator at a time, every word compared: the routine
// the fast one is checked against (equal results).
StringSet string_closure(const StringShape& shape, const std::uint64_t* generators, std::size_t m);
}  // namespace reference

}  // namespace tanvo
