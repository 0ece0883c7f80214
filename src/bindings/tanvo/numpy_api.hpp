// The NumPy C API, fetched lazily on first use: the array type test, the fields of an array,
// the WRITEABLE flag and the creation of result arrays. The only file that sees NumPy headers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bindings/common/handle.hpp"

namespace tanvo::py::numpy {

inline constexpr int kComplex128 = 15;
inline constexpr int kFloat64 = 12;

// True for an ndarray or an instance of a subclass.
bool is_array(PyObject* object);

struct ArrayInfo {
    int ndim;
    const std::intptr_t* shape;
    const std::intptr_t* strides;  // in bytes
    char* data;
    int type_num;
};
// The fields of `array`, which is_array accepted.
ArrayInfo info(PyObject* array);

bool is_writeable(PyObject* array);
void set_writeable(PyObject* array, bool writeable);

// A new uninitialised two-dimensional array with the given byte strides; `fortran` marks a
// column-major layout. Returns the array; `data` receives its element buffer.
Ref new_array(std::size_t rows, std::size_t cols, int type_num, std::ptrdiff_t row_stride,
              std::ptrdiff_t col_stride, bool fortran, char** data);

// A new C-contiguous two-dimensional array of zeros. Large ones come from zero-filled pages
// that are touched only where the caller writes.
Ref new_zeroed_array(std::size_t rows, std::size_t cols, int type_num, char** data);

}  // namespace tanvo::py::numpy
