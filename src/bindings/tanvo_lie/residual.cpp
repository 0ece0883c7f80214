// The row residuals of a basis under a product, for the tensor's residual: how far each row's
// products leave the span of the basis.
#include <memory>
#include <optional>

#include "coefficients/residual.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

// The list is held as it was read (the front made it), each matrix borrowed while the caller
// runs; `matrices` has room for one array per element.
bool read_basis(PyObject* list, ComplexArray* matrices, BasisView& view) {
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(list); ++m) {
        ComplexArray& matrix = matrices[m];
        if (!matrix.read(PyList_GET_ITEM(list, m), 2, "basis")) return false;
        if (m == 0) view.d = matrix.extent(0);
        if (matrix.extent(0) != view.d || matrix.extent(1) != view.d) {
            PyErr_Format(PyExc_ValueError, "basis[%zd] is not %zu x %zu", m, view.d, view.d);
            return false;
        }
        view.matrices.push_back(matrix.data());
    }
    return true;
}

// The tensor's terms as (indices, values) of matching shapes, or false with the error set.
bool read_terms(PyObject* indices_object, PyObject* values_object, Int64Array& indices, ComplexArray& values,
                const char* function) {
    if (!indices.read(indices_object, 2, "indices") || !values.read(values_object, 1, "values")) return false;
    if (indices.extent(0) != values.size() || (values.size() && indices.extent(1) != 3)) {
        PyErr_Format(PyExc_ValueError, "%s: indices and values of mismatched shapes", function);
        return false;
    }
    return true;
}

// row_residuals(basis, indices, values, product, start, stop, leave_dense) -> (outside, scale,
// largest_norm2) or None; `basis` a list of complex128 d x d arrays, the terms those of rows
// [start, stop).
PyObject* row_residuals(PyObject*, PyObject* args) {
    PyObject *basis_object = nullptr, *indices_object = nullptr, *values_object = nullptr;
    int product = 0, leave_dense = 1;
    Py_ssize_t start = 0, stop = 0;
    if (!PyArg_ParseTuple(args, "O!OOinnp", &PyList_Type, &basis_object, &indices_object, &values_object, &product,
                          &start, &stop, &leave_dense))
        return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(basis_object);
    if (product < 0 || product > 1 || start < 0 || stop < start || stop > n) {
        PyErr_SetString(PyExc_ValueError, "row_residuals: product or rows out of range");
        return nullptr;
    }
    Int64Array indices;
    ComplexArray values;
    if (!read_terms(indices_object, values_object, indices, values, "row_residuals")) return nullptr;
    const auto matrices = std::make_unique<ComplexArray[]>(std::size_t(n));
    BasisView view;
    if (!read_basis(basis_object, matrices.get(), view)) return nullptr;
    std::optional<RowResiduals> found;
    const bool done = run_released([&](std::stop_token token) {
        found = tanvo::row_residuals(view, {indices.data(), indices.size()}, {values.data(), values.size()},
                                     product == 0 ? PairProduct::commutator : PairProduct::anticommutator,
                                     std::size_t(start), std::size_t(stop), leave_dense != 0, token);
    });
    if (!done) return nullptr;
    if (!found) Py_RETURN_NONE;
    const Py_ssize_t rows = stop - start;
    py::Ref outside(to_buffer(std::move(found->outside), {rows}), py::steal);
    if (!outside) return nullptr;
    py::Ref scale(to_buffer(std::move(found->scale), {rows}), py::steal);
    if (!scale) return nullptr;
    return Py_BuildValue("(OOd)", outside.get(), scale.get(), found->largest_norm2);
}

// pair_residual(basis, indices, values, product, start, stop, rows) -> float; the terms those of
// rows [start, stop), `rows` an int64 array of rows among them.
PyObject* pair_residual(PyObject*, PyObject* args) {
    PyObject *basis_object = nullptr, *indices_object = nullptr, *values_object = nullptr, *rows_object = nullptr;
    int product = 0;
    Py_ssize_t start = 0, stop = 0;
    if (!PyArg_ParseTuple(args, "O!OOinnO", &PyList_Type, &basis_object, &indices_object, &values_object, &product,
                          &start, &stop, &rows_object))
        return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(basis_object);
    if (product < 0 || product > 1 || start < 0 || stop < start || stop > n) {
        PyErr_SetString(PyExc_ValueError, "pair_residual: product or rows out of range");
        return nullptr;
    }
    Int64Array indices, rows;
    ComplexArray values;
    if (!read_terms(indices_object, values_object, indices, values, "pair_residual") ||
        !rows.read(rows_object, 1, "rows"))
        return nullptr;
    const auto matrices = std::make_unique<ComplexArray[]>(std::size_t(n));
    BasisView view;
    if (!read_basis(basis_object, matrices.get(), view)) return nullptr;
    double largest = 0.0;
    const bool done = run_released([&](std::stop_token token) {
        largest = tanvo::pair_residual(view, {indices.data(), indices.size()}, {values.data(), values.size()},
                                       product == 0 ? PairProduct::commutator : PairProduct::anticommutator,
                                       std::size_t(start), std::size_t(stop), {rows.data(), rows.size()}, token);
    });
    if (!done) return nullptr;
    return PyFloat_FromDouble(largest);
}

Registration pair_residual_row{
    {"pair_residual", pair_residual, METH_VARARGS,
     "pair_residual(basis, indices, values, product, start, stop, rows) -> float: the largest residual\n"
     "of the pairs of the listed rows, each formed from the basis's non-zero entries."}};

Registration row_residuals_row{
    {"row_residuals", row_residuals, METH_VARARGS,
     "row_residuals(basis, indices, values, product, start, stop, leave_dense) -> (outside, scale,\n"
     "largest_norm2): per row of [start, stop), the squared norm of its products' parts outside the\n"
     "span summed over the row, and the scale of its rounding; None when the basis is too dense for\n"
     "the method (or, with leave_dense, better left to matrix products)."}};

}  // namespace
}  // namespace tanvo::tensors
