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

Registration simplify_row{{"sums_simplify", sums_simplify, METH_VARARGS,
                           "sums_simplify(sites, q, words, coefficients, offsets, tol) -> merged sums."}};
Registration commutator_row{{"sums_commutator", sums_commutator, METH_VARARGS,
                             "sums_commutator(sites, q, a..., b..., tol) -> [a_k, b_k] as sums."}};

}  // namespace
}  // namespace tanvo::tensors
