// The coefficient tensor functions of the private extension: the terms of a basis's tensor
// over a range of rows, and the contraction of a tensor's terms with coefficient vectors.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "coefficients/memory_plan.hpp"
#include "coefficients/tensor.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

// The basis as a 3-dimensional array or a list of 2-dimensional ones, all complex128,
// C-contiguous and d x d; borrowed for as long as this lives.
class BasisArgument {
public:
    bool read(PyObject* object, const char* name) {
        if (PyList_Check(object)) {
            // The views in one block: allocated and freed one by one, they made reading a
            // thousand matrices a third slower.
            const Py_ssize_t n = PyList_GET_SIZE(object);
            matrices_ = std::make_unique<ComplexArray[]>(std::size_t(n));
            view_.matrices.reserve(std::size_t(n));
            // The size is read afresh: reading a buffer may collect garbage, whose finalisers
            // could shrink the list.
            for (Py_ssize_t m = 0; m < std::min(n, PyList_GET_SIZE(object)); ++m) {
                ComplexArray* matrix = &matrices_[std::size_t(m)];
                if (!matrix->read(PyList_GET_ITEM(object, m), 2, name)) return false;
                if (m == 0) view_.d = matrix->extent(0);
                if (matrix->extent(0) != view_.d || matrix->extent(1) != view_.d) {
                    PyErr_Format(PyExc_ValueError, "%s[%zd] is not %zu x %zu", name, m, view_.d, view_.d);
                    return false;
                }
                view_.matrices.push_back(matrix->data());
            }
            return true;
        }
        if (!stack_.read(object, 3, name)) return false;
        view_.d = stack_.extent(1);
        if (stack_.extent(2) != view_.d) {
            PyErr_Format(PyExc_ValueError, "%s matrices must be square", name);
            return false;
        }
        for (std::size_t m = 0; m < stack_.extent(0); ++m) view_.matrices.push_back(stack_.data() + m * view_.d * view_.d);
        return true;
    }
    // The same for a non-empty list of exact ndarrays that `read` would take as they are, read
    // from their fields (no Python code runs); false, with no exception set, for anything else
    // (the front then checks and converts it).
    bool read_plain_list(PyObject* object) {
        if (!PyList_CheckExact(object) || PyList_GET_SIZE(object) == 0) return false;
        PyObject* ndarray = ndarray_type();
        if (!ndarray) return false;
        const Py_ssize_t n = PyList_GET_SIZE(object);
        held_.reserve(std::size_t(n));
        view_.matrices.reserve(std::size_t(n));
        for (Py_ssize_t m = 0; m < n; ++m) {
            PyObject* item = PyList_GET_ITEM(object, m);
            const Complex* data = nullptr;
            std::size_t rows = 0, cols = 0;
            if (Py_TYPE(item) != reinterpret_cast<PyTypeObject*>(ndarray) || !plain_complex_matrix(item, data, rows, cols))
                return false;
            if (m == 0) view_.d = rows;
            if (rows != view_.d || cols != view_.d) return false;
            held_.emplace_back(item, py::borrow);  // the list may change while the work runs
            view_.matrices.push_back(data);
        }
        return true;
    }
    const BasisView& view() const noexcept { return view_; }

private:
    // numpy.ndarray, fetched once (null, with no exception set, when that fails).
    static PyObject* ndarray_type() {
        static PyObject* const type = [] {
            PyObject* found = nullptr;
            if (py::Ref numpy(PyImport_ImportModule("numpy"), py::steal); numpy)
                found = PyObject_GetAttrString(numpy.get(), "ndarray");
            if (!found || !PyType_Check(found)) {
                Py_XDECREF(found);
                found = nullptr;
            }
            PyErr_Clear();
            return found;
        }();
        return type;
    }

    ComplexArray stack_;
    std::unique_ptr<ComplexArray[]> matrices_;
    std::vector<py::Ref> held_;
    BasisView view_;
};

// The rank rule: None (NumPy's default, decided by the core) or a float.
bool read_rcond(PyObject* object, std::optional<double>& rcond) {
    if (object == Py_None) return true;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    rcond = value;
    return true;
}

// Rows [start, stop) of the basis's tensor: (indices, values), or (None, m) when basis[m] has a
// non-finite entry.
PyObject* tensor_terms(const BasisArgument& basis, int product, double tol, std::size_t start, std::size_t stop,
                       unsigned threads, int method, std::optional<double> rcond) {
    TensorRequest request;
    request.rcond = rcond;
    request.product = product == 0 ? PairProduct::commutator : PairProduct::anticommutator;
    request.tol = tol;
    request.row_begin = start;
    request.row_end = stop;
    request.threads = threads;
    request.method = TensorMethod(method);

    TermTable terms;
    std::size_t non_finite = 0;
    bool found_non_finite = false;
    const std::size_t d = basis.view().d;
    const std::string operation = "the tensor of " + std::to_string(basis.view().size()) + " matrices of " +
                                  std::to_string(d) + " x " + std::to_string(d);
    const bool done = run_released([&](std::stop_token token) {
        try {
            terms = coefficient_tensor(basis.view(), request, token);
        } catch (const NonFiniteMatrix& bad) {
            found_non_finite = true;
            non_finite = bad.index;
        }
    }, WorkThread::calling, operation);
    if (!done) return nullptr;
    // The front words the error, as for every other argument check.
    if (found_non_finite) return Py_BuildValue("(On)", Py_None, Py_ssize_t(non_finite));
    const Py_ssize_t count = Py_ssize_t(terms.size());
    py::Ref indices(to_buffer(std::move(terms.indices), {count, 3}), py::steal);
    if (!indices) return nullptr;
    py::Ref values(to_buffer(std::move(terms.values), {count}), py::steal);
    if (!values) return nullptr;
    return PyTuple_Pack(2, indices.get(), values.get());
}

PyObject* structure_tensor(PyObject*, PyObject* args) try {
    PyObject* basis_object = nullptr;
    int product = 0, method = 0;
    double tol = 0.0;
    Py_ssize_t start = 0, stop = 0;
    unsigned int threads = 1;
    PyObject* rcond_object = Py_None;
    std::optional<double> rcond;
    if (!PyArg_ParseTuple(args, "Oidnn|IiO", &basis_object, &product, &tol, &start, &stop, &threads, &method,
                          &rcond_object) ||
        !read_rcond(rcond_object, rcond))
        return nullptr;
    if (product < 0 || product > 1 || method < 0 || method > 3 || start < 0 || stop < start) {
        PyErr_SetString(PyExc_ValueError, "structure_tensor: product, method or rows out of range");
        return nullptr;
    }
    BasisArgument basis;
    if (!basis.read(basis_object, "basis")) return nullptr;
    return tensor_terms(basis, product, tol, std::size_t(start), std::size_t(stop), threads, method, rcond);
} catch (...) {  // memory refused outside the work: the views of a long list, the names
    set_error_from_current_exception("the views of the basis's matrices");
    return nullptr;
}

// The whole tensor of a basis given as a list of complex128 matrices that need no conversion:
// structure_tensor's (indices, values) and the list's length, or NotImplemented for any other
// basis, which the front then checks and converts.
PyObject* structure_tensor_of_list(PyObject*, PyObject* args) try {
    PyObject* basis_object = nullptr;
    int product = 0;
    double tol = 0.0;
    unsigned int threads = 1;
    PyObject* rcond_object = Py_None;
    std::optional<double> rcond;
    if (!PyArg_ParseTuple(args, "OidI|O", &basis_object, &product, &tol, &threads, &rcond_object) ||
        !read_rcond(rcond_object, rcond))
        return nullptr;
    if (product < 0 || product > 1) {
        PyErr_SetString(PyExc_ValueError, "structure_tensor_of_list: product out of range");
        return nullptr;
    }
    BasisArgument basis;
    if (!basis.read_plain_list(basis_object)) Py_RETURN_NOTIMPLEMENTED;
    const std::size_t n = basis.view().size();
    py::Ref terms(tensor_terms(basis, product, tol, 0, n, threads, 0, rcond), py::steal);
    if (!terms) return nullptr;
    return Py_BuildValue("(OOn)", PyTuple_GET_ITEM(terms.get(), 0), PyTuple_GET_ITEM(terms.get(), 1), Py_ssize_t(n));
} catch (...) {  // memory refused outside the work: the views of a long list, the names
    set_error_from_current_exception("the views of the basis's matrices");
    return nullptr;
}

// Refuses, from the sizes alone, a tensor of n matrices of d x d that no method could fit in
// memory: MemoryError naming what the least of them needs. `repeated` is asked (called) only when
// it decides: whether two of the matrices are one, which rules out the sparse orthogonal method.
PyObject* require_room(PyObject*, PyObject* args) {
    Py_ssize_t n = 0, d = 0;
    int method = 0;
    PyObject* repeated = nullptr;
    if (!PyArg_ParseTuple(args, "nnO|i", &n, &d, &repeated, &method)) return nullptr;
    if (n < 0 || d < 0 || method < 0 || method > 3) {
        PyErr_SetString(PyExc_ValueError, "require_room: sizes or method out of range");
        return nullptr;
    }
    bool asked_failed = false;
    const auto ask = [&] {
        py::Ref answer(PyObject_CallNoArgs(repeated), py::steal);
        const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (truth < 0) asked_failed = true;
        return truth == 1;
    };
    try {
        require_room_for_tensor(std::size_t(n), std::size_t(d), TensorMethod(method), ask);
    } catch (...) {
        if (!asked_failed) set_error_from_current_exception();
        return nullptr;
    }
    if (asked_failed) return nullptr;
    Py_RETURN_NONE;
}

PyObject* contract(PyObject*, PyObject* args) try {
    PyObject *indices_object = nullptr, *values_object = nullptr, *a_object = nullptr, *b_object = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "OOnOO", &indices_object, &values_object, &n, &a_object, &b_object)) return nullptr;
    Int64Array indices;
    ComplexArray values, a, b;
    if (!indices.read(indices_object, 2, "indices") || !values.read(values_object, 1, "values") ||
        !a.read(a_object, 2, "a") || !b.read(b_object, 2, "b"))
        return nullptr;
    const std::size_t columns = a.extent(1);
    if (n < 0 || a.extent(0) != std::size_t(n) || b.extent(0) != std::size_t(n) || b.extent(1) != columns ||
        indices.extent(1) != 3 || indices.extent(0) != values.size()) {
        PyErr_SetString(PyExc_ValueError, "contract: arrays of mismatched shapes");
        return nullptr;
    }
    std::vector<Complex> result;
    const std::string operation = "the contraction of " + std::to_string(values.size()) + " terms with " +
                                  std::to_string(columns) + " columns of length " + std::to_string(n);
    const bool done = run_released([&](std::stop_token token) {
        result = contract_terms({indices.data(), indices.size()}, {values.data(), values.size()}, std::size_t(n),
                                columns, a.data(), b.data(), token);
    }, WorkThread::calling, operation);
    if (!done) return nullptr;
    return to_buffer(std::move(result), {n, Py_ssize_t(columns)});
} catch (...) {  // memory refused outside the work: the views of a long list, the names
    set_error_from_current_exception("the contraction's arguments");
    return nullptr;
}

Registration structure_tensor_row{{"structure_tensor", structure_tensor, METH_VARARGS,
                                   "structure_tensor(basis, product, tol, start, stop, threads=1, method=0,\n"
                                   "rcond=None) -> (indices, values): the terms of rows [start, stop);\n"
                                   "(None, m) when basis[m] has a non-finite entry. rcond None: NumPy's rank rule."}};
Registration structure_tensor_of_list_row{
    {"structure_tensor_of_list", structure_tensor_of_list, METH_VARARGS,
     "structure_tensor_of_list(basis, product, tol, threads, rcond=None) -> (indices, values, n) of the whole\n"
     "tensor when basis is a list of aligned C-contiguous complex128 d x d ndarrays (n of them);\n"
     "NotImplemented for any other basis."}};
Registration require_room_row{{"require_room", require_room, METH_VARARGS,
                                "require_room(n, d, repeated, method=0) -> None; MemoryError when no method\n"
                                "could fit the tensor of n matrices of d x d (repeated() -> whether two are one)."}};
Registration contract_row{{"contract", contract, METH_VARARGS,
                           "contract(indices, values, n, a, b) -> c with c[k] = sum a[i] b[j] T[i, j, k]."}};

}  // namespace
}  // namespace tanvo::tensors
