// Conversions between Python objects and the core's values, both ways: numbers, arrays (with
// the read-only borrow of inputs), sequences of arrays, coefficient dicts, and results.
#pragma once

#include <cstdint>
#include <vector>

#include "dense/matrix.hpp"
#include "dense/sparse.hpp"
#include "lib/handle.hpp"
#include "lie_algebra/coefficients.hpp"

namespace tanvo::py {

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
// Any sequence whose items, in iteration order, are accepted as by to_matrix.
BorrowedBasis to_basis(PyObject* object, ArrayBorrows& borrows);
// A dict {(i, j): (k, c)} of ints and complex-likes.
CoefficientMap to_coefficient_map(PyObject* object);

Ref to_python(const ComplexMatrix& matrix);
Ref to_python(const RealMatrix& matrix);
// A new zero-filled array with the listed entries written in.
Ref to_python(const SparseMatrix& matrix);
Ref to_python(const std::vector<ComplexMatrix>& matrices);
Ref to_python(const std::vector<RealMatrix>& matrices);
Ref to_python(const std::vector<SparseMatrix>& matrices);
// Releases the list's blocks as the dict grows.
Ref to_python(CoefficientList& entries);

}  // namespace tanvo::py
