// Lazily fetched NumPy API table and the few array operations the module needs.
#include "bindings/tanvo/numpy_api.hpp"

#include "bindings/tanvo/errors.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tanvo_numpy_api
#include <numpy/arrayobject.h>

namespace tanvo::py::numpy {
namespace {

// NumPy 2 keeps numpy.core only as an alias of numpy._core; a release without it uses the latter.
PyObject* import_multiarray() {
    PyObject* module = PyImport_ImportModule("numpy.core.multiarray");
    if (module || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return module;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    module = PyImport_ImportModule("numpy._core.multiarray");
    if (module) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    } else {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
    return module;
}

void fetch_api() {
    PyGILState_STATE gil = PyGILState_Ensure();
    struct Release {
        PyGILState_STATE gil;
        ~Release() { PyGILState_Release(gil); }
    } release{gil};
    if (PyArray_API) return;
    PyObject* module = import_multiarray();  // kept for the life of the process
    if (!module) {
        PyErr_Clear();
        fail("Failed to import numpy module");
    }
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");  // kept as well
    if (!capsule) {
        PyErr_Clear();
        fail("Failed to get numpy capsule API");
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (!table) throw_pending();
    PyArray_API = static_cast<void**>(table);
}

void require_api() {
    if (!PyArray_API) fetch_api();
}

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

}  // namespace

bool is_array(PyObject* object) {
    require_api();
    return Py_TYPE(object) == &PyArray_Type || PyType_IsSubtype(Py_TYPE(object), &PyArray_Type);
}

ArrayInfo info(PyObject* array) {
    PyArrayObject* a = as_array(array);
    static_assert(sizeof(npy_intp) == sizeof(std::intptr_t));
    return {PyArray_NDIM(a), reinterpret_cast<const std::intptr_t*>(PyArray_DIMS(a)),
            reinterpret_cast<const std::intptr_t*>(PyArray_STRIDES(a)), PyArray_BYTES(a),
            PyArray_DESCR(a)->type_num};
}

bool is_writeable(PyObject* array) { return PyArray_FLAGS(as_array(array)) & NPY_ARRAY_WRITEABLE; }

void set_writeable(PyObject* array, bool writeable) {
    if (writeable)
        PyArray_ENABLEFLAGS(as_array(array), NPY_ARRAY_WRITEABLE);
    else
        PyArray_CLEARFLAGS(as_array(array), NPY_ARRAY_WRITEABLE);
}

Ref new_array(std::size_t rows, std::size_t cols, int type_num, std::ptrdiff_t row_stride,
              std::ptrdiff_t col_stride, bool fortran, char** data) {
    require_api();
    npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    npy_intp strides[2] = {npy_intp(row_stride), npy_intp(col_stride)};
    Ref array = constructed(PyArray_New(&PyArray_Type, 2, dims, type_num, strides, nullptr, 0,
                                        fortran ? 1 : 0, nullptr));
    *data = PyArray_BYTES(as_array(array.get()));
    return array;
}

Ref new_zeroed_array(std::size_t rows, std::size_t cols, int type_num, char** data) {
    require_api();
    npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    PyArray_Descr* descr = PyArray_DescrFromType(type_num);
    if (!descr) api_call_failed();
    Ref array = constructed(PyArray_Zeros(2, dims, descr, 0));  // steals descr
    *data = PyArray_BYTES(as_array(array.get()));
    return array;
}

}  // namespace tanvo::py::numpy
