// Matching a call's positional and keyword arguments to a function's parameters, and
// converting each in parameter order with the argument-wrapping rule for TypeError.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bindings/tanvo/convert.hpp"
#include "bindings/common/handle.hpp"

namespace tanvo::py {

struct Signature {
    const char* label;  // begins every matching message, e.g. "gen_su_py()"
    std::span<const char* const> parameters;
};

class Arguments {
public:
    // Fails with the TypeError of the first violated rule, in the order of the rules.
    Arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

    std::uint64_t index(std::size_t parameter);
    double real(std::size_t parameter);
    ComplexMatrix matrix(std::size_t parameter);
    BorrowedBasis basis(std::size_t parameter, BasisSizeCheck sizes = nullptr);
    CoefficientMap coefficient_map(std::size_t parameter);

private:
    template <class Convert>
    auto converting(std::size_t parameter, Convert&& convert);

    const Signature& signature_;
    std::vector<Ref> values_;
    ArrayBorrows borrows_;
};

}  // namespace tanvo::py
