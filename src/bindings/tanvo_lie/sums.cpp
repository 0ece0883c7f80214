// The functions of the private extension on sums of strings: merging equal strings and
// elementwise commutators, computed without the GIL.
#include "bases/pauli_sums.hpp"
#include "bindings/tanvo_lie/binding.hpp"
#include "bindings/tanvo_lie/string_arguments.hpp"

namespace tanvo::tensors {
namespace {

// sums_simplify(sites, q, words, coefficients, offsets, tol) -> (words, coefficients, offsets)
PyObject* sums_simplify(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *words, *coefficients, *offsets;
    double tol;
    if (!PyArg_ParseTuple(args, "nIOOOd", &sites, &q, &words, &coefficients, &offsets, &tol)) return nullptr;
    SumsArgument sums;
    if (!sums.read(words, coefficients, offsets, std::size_t(sites), q, "sums")) return nullptr;
    StringSums result;
    if (!run_released([&](std::stop_token stop) { result = simplify_sums(sums.shape(), sums.view(), tol, stop); }))
        return nullptr;
    return sums_to_python(std::move(result), sums.shape().words());
}

// sums_commutator(sites, q, a_words, a_coefficients, a_offsets, b_words, b_coefficients,
// b_offsets, tol) -> (words, coefficients, offsets) of [a_k, b_k]
PyObject* sums_commutator(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *a_words, *a_coefficients, *a_offsets, *b_words, *b_coefficients, *b_offsets;
    double tol;
    if (!PyArg_ParseTuple(args, "nIOOOOOOd", &sites, &q, &a_words, &a_coefficients, &a_offsets, &b_words,
                          &b_coefficients, &b_offsets, &tol))
        return nullptr;
    SumsArgument a, b;
    if (!a.read(a_words, a_coefficients, a_offsets, std::size_t(sites), q, "a") ||
        !b.read(b_words, b_coefficients, b_offsets, std::size_t(sites), q, "b"))
        return nullptr;
    const std::size_t na = a.view().operators, nb = b.view().operators;
    if (na != nb && na != 1 && nb != 1) {
        PyErr_SetString(PyExc_ValueError, "sums of mismatched lengths");
        return nullptr;
    }
    StringSums result;
    if (!run_released([&](std::stop_token stop) {
            result = na == 0 || nb == 0 ? StringSums{{}, {}, {0}}
                                        : commutator_sums(a.shape(), a.view(), b.view(), tol, stop);
        }))
        return nullptr;
    return sums_to_python(std::move(result), a.shape().words());
}

// sums_from_matrices(matrices (m, d, d) complex128, sites, tol) -> (words, coefficients, offsets)
PyObject* sums_from_matrices(PyObject*, PyObject* args) {
    PyObject* matrices_object;
    Py_ssize_t sites;
    double tol;
    if (!PyArg_ParseTuple(args, "Ond", &matrices_object, &sites, &tol)) return nullptr;
    ComplexArray matrices;
    if (!matrices.read(matrices_object, 3, "matrices")) return nullptr;
    if (sites < 0 || sites > 31 || matrices.extent(1) != (std::size_t(1) << sites) ||
        matrices.extent(2) != matrices.extent(1)) {
        PyErr_SetString(PyExc_ValueError, "sums_from_matrices: matrices must be 2^sites x 2^sites");
        return nullptr;
    }
    StringSums result;
    if (!run_released([&](std::stop_token stop) {
            result = qubit_sums_of_matrices(matrices.data(), matrices.extent(0), std::size_t(sites), tol, stop);
        }))
        return nullptr;
    return sums_to_python(std::move(result), string_shape(std::size_t(sites), 2).words());
}

Registration from_matrices_row{{"sums_from_matrices", sums_from_matrices, METH_VARARGS,
                                "sums_from_matrices(matrices, sites, tol) -> the Pauli decomposition of qubit matrices."}};
Registration simplify_row{{"sums_simplify", sums_simplify, METH_VARARGS,
                           "sums_simplify(sites, q, words, coefficients, offsets, tol) -> merged sums."}};
Registration commutator_row{{"sums_commutator", sums_commutator, METH_VARARGS,
                             "sums_commutator(sites, q, a..., b..., tol) -> [a_k, b_k] as sums."}};

}  // namespace
}  // namespace tanvo::tensors
