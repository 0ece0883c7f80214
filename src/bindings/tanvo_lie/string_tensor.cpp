// _native.strings_structure_tensor: the terms of a string basis's coefficient tensor over a
// range of rows, computed without the GIL.
#include <string_view>

#include "coefficients/string_tensor.hpp"
#include "bindings/tanvo_lie/binding.hpp"
#include "bindings/tanvo_lie/string_arguments.hpp"

namespace tanvo::tensors {
namespace {

// strings_structure_tensor(sites, q, words, coefficients, product, tol, start, stop, threads,
// method 'fast', 'scanning' (every string tested per row) or 'reference' (pair by pair)) ->
// (indices, values)
PyObject* strings_structure_tensor(PyObject*, PyObject* args) {
    Py_ssize_t sites, start, stop;
    unsigned q, threads;
    int product;
    double tol;
    PyObject *words_object, *coefficients_object;
    const char* method;
    if (!PyArg_ParseTuple(args, "nIOOidnnIs", &sites, &q, &words_object, &coefficients_object, &product, &tol,
                          &start, &stop, &threads, &method))
        return nullptr;
    StringArgument strings;
    RawArray coefficients;
    if (!strings.read(words_object, std::size_t(sites), q, "basis") ||
        !coefficients.read(coefficients_object, 1, sizeof(Complex), false, "coefficients"))
        return nullptr;
    const std::size_t n = strings.count();
    if (coefficients.size() != n || product < 0 || product > 1 || start < 0 || stop < start ||
        std::size_t(stop) > n) {
        PyErr_SetString(PyExc_ValueError, "strings_structure_tensor: arguments out of range");
        return nullptr;
    }
    const std::string_view route(method);
    if (route != "fast" && route != "scanning" && route != "reference") {
        PyErr_SetString(PyExc_ValueError, "strings_structure_tensor: method must be 'fast', 'scanning' or 'reference'");
        return nullptr;
    }
    TensorRequest request;
    request.product = product == 0 ? PairProduct::commutator : PairProduct::anticommutator;
    request.tol = tol;
    request.row_begin = std::size_t(start);
    request.row_end = std::size_t(stop);
    request.threads = threads;
    const StringBasisView basis{strings.shape, strings.data(), coefficients.data<const Complex>(), n};
    TermTable terms;
    if (!run_released([&](std::stop_token token) {
            if (route == "reference")
                terms = tanvo::reference::string_structure_tensor(basis, request);
            else if (route == "scanning")
                terms = tanvo::reference::string_structure_tensor_scanning(basis, request, token);
            else
                terms = string_structure_tensor(basis, request, token);
        }))
        return nullptr;
    const auto count = Py_ssize_t(terms.size());
    py::Ref indices(to_buffer(std::move(terms.indices), {count, 3}), py::steal);
    if (!indices) return nullptr;
    py::Ref values(to_buffer(std::move(terms.values), {count}), py::steal);
    if (!values) return nullptr;
    return PyTuple_Pack(2, indices.get(), values.get());
}

// sums_projections(sites, q, words, coefficients, offsets, product (0 commutator, 1
// anticommutator, 2 identity), start, stop, threads) -> (indices, values) of <b_k, b_i * b_j>
PyObject* sums_projections(PyObject*, PyObject* args) {
    Py_ssize_t sites, start, stop;
    unsigned q, threads;
    int product;
    PyObject *words, *coefficients, *offsets;
    if (!PyArg_ParseTuple(args, "nIOOOinnI", &sites, &q, &words, &coefficients, &offsets, &product, &start, &stop,
                          &threads))
        return nullptr;
    SumsArgument basis;
    if (!basis.read(words, coefficients, offsets, std::size_t(sites), q, "basis")) return nullptr;
    const std::size_t n = basis.view().operators;
    if (product < 0 || product > 2 || start < 0 || stop < start || std::size_t(stop) > n) {
        PyErr_SetString(PyExc_ValueError, "sums_projections: arguments out of range");
        return nullptr;
    }
    TensorRequest request;
    request.row_begin = std::size_t(start);
    request.row_end = std::size_t(stop);
    request.threads = threads;
    TermTable terms;
    if (!run_released([&](std::stop_token token) {
            terms = sum_basis_projections(basis.shape(), basis.view(), SumProduct(product), request, token);
        }))
        return nullptr;
    const auto count = Py_ssize_t(terms.size());
    py::Ref indices(to_buffer(std::move(terms.indices), {count, 3}), py::steal);
    if (!indices) return nullptr;
    py::Ref values(to_buffer(std::move(terms.values), {count}), py::steal);
    if (!values) return nullptr;
    return PyTuple_Pack(2, indices.get(), values.get());
}

Registration sums_projections_row{
    {"sums_projections", sums_projections, METH_VARARGS,
     "sums_projections(sites, q, words, coefficients, offsets, product, start, stop, threads)\n"
     "-> (indices, values): <b_k, [b_i, b_j]> (product 0), <b_k, {b_i, b_j}> (1) or <b_k, b_i> (2)."}};
Registration strings_structure_tensor_row{
    {"strings_structure_tensor", strings_structure_tensor, METH_VARARGS,
     "strings_structure_tensor(sites, q, words, coefficients, product, tol, start, stop, threads, method)\n"
     "-> (indices, values): the terms of rows [start, stop) of a string basis's tensor."}};

}  // namespace
}  // namespace tanvo::tensors
