// Exact ndarrays read from their fields, the binding's only use of NumPy's headers: their inline
// accessors alone, no API table (so nothing to import). Requesting and releasing a buffer for each
// of the 1023 matrices of a Gell-Mann su(32) list took 0.12-0.27 ms (of a 2.3-4 ms tensor);
// reading their fields takes 0.02-0.05 ms.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {

bool plain_complex_matrix(PyObject* object, const Complex*& data, std::size_t& rows, std::size_t& cols) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    // The fields these accessors read sit at the same places in NumPy 1.x and 2.x.
    const PyArray_Descr* descr = PyArray_DESCR(array);
    const int flags = PyArray_FLAGS(array);
    if (PyArray_NDIM(array) != 2 || descr->type_num != NPY_CDOUBLE || !PyArray_ISNBO(descr->byteorder) ||
        !(flags & NPY_ARRAY_C_CONTIGUOUS) || !(flags & NPY_ARRAY_ALIGNED))
        return false;
    data = static_cast<const Complex*>(PyArray_DATA(array));
    rows = std::size_t(PyArray_DIM(array, 0));
    cols = std::size_t(PyArray_DIM(array, 1));
    return true;
}

}  // namespace tanvo::tensors
