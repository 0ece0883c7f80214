// The row residuals of a basis under a product, for the tensor's residual: how far each row's
// products leave the span of the basis.
#include <memory>
#include <optional>

#include "coefficients/residual.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

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
    if (!indices.read(indices_object, 2, "indices") || !values.read(values_object, 1, "values")) return nullptr;
    if (indices.extent(0) != values.size() || (values.size() && indices.extent(1) != 3)) {
        PyErr_SetString(PyExc_ValueError, "row_residuals: indices and values of mismatched shapes");
        return nullptr;
    }
    // The list is held as it was read (the front made it), each matrix borrowed while this runs.
    const auto matrices = std::make_unique<ComplexArray[]>(std::size_t(n));
    BasisView view;
    for (Py_ssize_t m = 0; m < n; ++m) {
        ComplexArray& matrix = matrices[std::size_t(m)];
        if (!matrix.read(PyList_GET_ITEM(basis_object, m), 2, "basis")) return nullptr;
        if (m == 0) view.d = matrix.extent(0);
        if (matrix.extent(0) != view.d || matrix.extent(1) != view.d) {
            PyErr_Format(PyExc_ValueError, "basis[%zd] is not %zu x %zu", m, view.d, view.d);
            return nullptr;
        }
        view.matrices.push_back(matrix.data());
    }
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

Registration row_residuals_row{
    {"row_residuals", row_residuals, METH_VARARGS,
     "row_residuals(basis, indices, values, product, start, stop, leave_dense) -> (outside, scale,\n"
     "largest_norm2): per row of [start, stop), the squared norm of its products' parts outside the\n"
     "span summed over the row, and the scale of its rounding; None when the basis is too dense for\n"
     "the method (or, with leave_dense, better left to matrix products)."}};

}  // namespace
}  // namespace tanvo::tensors
