// Conversions between Python objects and the core's values, both ways: numbers, arrays (with
// the read-only borrow of inputs), sequences of arrays, coefficient dicts, and results.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/matrix.hpp"
#include "core/sparse.hpp"
#include "bindings/common/handle.hpp"
#include "coefficients/coefficients.hpp"

namespace tanvo::py {

// Pending signals are answered at least this often while a dict is read or built.
inline constexpr std::size_t kEntriesBetweenChecks = 4096;

// Input arrays are read-only while a call runs; each borrow that cleared the WRITEABLE flag
// sets it again when the call ends, on every path.
class ArrayBorrows {
public:
    ArrayBorrows() = default;
    ArrayBorrows(const ArrayBorrows&) = delete;
    ArrayBorrows& operator=(const ArrayBorrows&) = delete;
    ~ArrayBorrows();
    void borrow(PyObject* array);

private:
    std::vector<Ref> cleared_;
};

// Index protocol, then unsigned 64-bit (OverflowError for negative or too large values).
std::uint64_t to_index(PyObject* object);
// PyFloat_AsDouble.
double to_double(PyObject* object);
// The matrices of a basis argument, read in place: each array is kept alive and read-only for
// the call; only arrays whose data is not aligned for complex doubles are copied.
struct BorrowedBasis {
    BasisViews views;
    std::vector<Ref> arrays;
    std::vector<ComplexMatrix> copies;
};

// A two-dimensional complex128 array (or subclass), borrowed and copied.
ComplexMatrix to_matrix(PyObject* object, ArrayBorrows& borrows);
// Any sequence whose items, in iteration order, are accepted as by to_matrix. For a list or a
// tuple, whose length is exact, `sizes(length, first matrix)` is called once the first item is
// accepted, before the others are read: it may refuse the call from the sizes alone.
using BasisSizeCheck = void (*)(std::size_t count, const MatrixView& first);
BorrowedBasis to_basis(PyObject* object, ArrayBorrows& borrows, BasisSizeCheck sizes = nullptr);
// A dict {(i, j): (k, c)} of ints and complex-likes.
CoefficientMap to_coefficient_map(PyObject* object);

Ref to_python(const ComplexMatrix& matrix);
Ref to_python(const RealMatrix& matrix);
// A new zero-filled array with the listed entries written in.
Ref to_python(const SparseMatrix& matrix);
Ref to_python(const std::vector<ComplexMatrix>& matrices);
Ref to_python(const std::vector<RealMatrix>& matrices);
Ref to_python(const std::vector<SparseMatrix>& matrices);

// Builds the dict {(i, j): (k, c)} of a coefficient map from the entries it is handed, while
// they are still being computed. Equal values are one object: value tuples with the same k and
// coefficient, and coefficients equal bit for bit. Answers pending signals as it goes; a dict
// left part-built (a failure, Ctrl-C) is released in slices once the call has raised.
class CoefficientDictBuilder final : public CoefficientSink {
public:
    CoefficientDictBuilder();
    ~CoefficientDictBuilder() override;
    CoefficientDictBuilder(const CoefficientDictBuilder&) = delete;
    CoefficientDictBuilder& operator=(const CoefficientDictBuilder&) = delete;
    void expect(std::size_t at_most) override;
    void take(std::span<const CoefficientEntry> entries) override;
    void restart() override;
    // The complete dict.
    Ref finish();

private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace tanvo::py
