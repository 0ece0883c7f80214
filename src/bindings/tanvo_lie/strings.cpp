// The string functions of the private extension: products, commutation, unique strings and
// positions, and matrices of packed strings, each run without the GIL into arrays the front
// allocated (or, for results of unknown size, returned as new buffers).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "bases/pauli_strings.hpp"
#include "core/parallel.hpp"
#include "bindings/tanvo_lie/binding.hpp"
#include "bindings/tanvo_lie/string_arguments.hpp"

namespace tanvo::tensors {
namespace {

// The step through a batch that pairs with `count` strings: 0 repeats a single string.
bool pair_steps(const StringArgument& a, const StringArgument& b, std::size_t count, std::size_t& a_step,
                std::size_t& b_step) {
    const std::size_t words = a.shape.words();
    a_step = a.count() == 1 ? 0 : words;
    b_step = b.count() == 1 ? 0 : words;
    if ((a.count() != 1 && a.count() != count) || (b.count() != 1 && b.count() != count)) {
        PyErr_SetString(PyExc_ValueError, "strings of mismatched lengths");
        return false;
    }
    return true;
}

// strings_multiply(sites, q, a, b, products, phases): products and phases (uint8) written.
PyObject* strings_multiply(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *a_object, *b_object, *products_object, *phases_object;
    if (!PyArg_ParseTuple(args, "nIOOOO", &sites, &q, &a_object, &b_object, &products_object, &phases_object))
        return nullptr;
    StringArgument a, b;
    RawArray products, phases;
    if (!a.read(a_object, std::size_t(sites), q, "a") || !b.read(b_object, std::size_t(sites), q, "b") ||
        !products.read(products_object, 2, sizeof(std::uint64_t), true, "products") ||
        !phases.read(phases_object, 1, 1, true, "phases"))
        return nullptr;
    const std::size_t count = phases.size();
    std::size_t a_step, b_step;
    if (!pair_steps(a, b, count, a_step, b_step)) return nullptr;
    if (products.extent(0) != count || products.extent(1) != a.shape.words()) {
        PyErr_SetString(PyExc_ValueError, "products: wrong shape");
        return nullptr;
    }
    if (!run_released([&](std::stop_token stop) {
            multiply_batch(a.shape, a.data(), a_step, b.data(), b_step, count, products.data<std::uint64_t>(),
                           phases.data<std::uint8_t>(), stop);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// strings_commutes(sites, q, a, b, out): out (bool) written.
PyObject* strings_commutes(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *a_object, *b_object, *out_object;
    if (!PyArg_ParseTuple(args, "nIOOO", &sites, &q, &a_object, &b_object, &out_object)) return nullptr;
    StringArgument a, b;
    RawArray out;
    if (!a.read(a_object, std::size_t(sites), q, "a") || !b.read(b_object, std::size_t(sites), q, "b") ||
        !out.read(out_object, 1, sizeof(bool), true, "out"))
        return nullptr;
    std::size_t a_step, b_step;
    if (!pair_steps(a, b, out.size(), a_step, b_step)) return nullptr;
    if (!run_released([&](std::stop_token stop) {
            commutes_batch(a.shape, a.data(), a_step, b.data(), b_step, out.size(), out.data<bool>(), stop);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// strings_commutation_matrix(sites, q, a, b, out, threads): out (len(a), len(b)) bool written.
PyObject* strings_commutation_matrix(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q, threads;
    PyObject *a_object, *b_object, *out_object;
    if (!PyArg_ParseTuple(args, "nIOOOI", &sites, &q, &a_object, &b_object, &out_object, &threads)) return nullptr;
    StringArgument a, b;
    RawArray out;
    if (!a.read(a_object, std::size_t(sites), q, "a") || !b.read(b_object, std::size_t(sites), q, "b") ||
        !out.read(out_object, 2, sizeof(bool), true, "out"))
        return nullptr;
    if (out.extent(0) != a.count() || out.extent(1) != b.count()) {
        PyErr_SetString(PyExc_ValueError, "out: wrong shape");
        return nullptr;
    }
    if (!run_released([&](std::stop_token stop) {
            commutation_matrix(a.shape, a.data(), a.count(), b.data(), b.count(), out.data<bool>(), threads, stop);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// strings_unique(words) -> (first, inverse): int64 buffers.
PyObject* strings_unique(PyObject*, PyObject* args) {
    PyObject* words_object;
    if (!PyArg_ParseTuple(args, "O", &words_object)) return nullptr;
    RawArray words;
    if (!words.read(words_object, 2, sizeof(std::uint64_t), false, "strings")) return nullptr;
    UniqueStrings unique;
    if (!run_released([&](std::stop_token) {
            unique = unique_strings(words.extent(1), words.data<const std::uint64_t>(), words.extent(0));
        }))
        return nullptr;
    const auto distinct = Py_ssize_t(unique.first.size()), count = Py_ssize_t(unique.inverse.size());
    py::Ref first(to_buffer(std::move(unique.first), {distinct}), py::steal);
    if (!first) return nullptr;
    py::Ref inverse(to_buffer(std::move(unique.inverse), {count}), py::steal);
    if (!inverse) return nullptr;
    return PyTuple_Pack(2, first.get(), inverse.get());
}

// strings_index_of(words, others) -> int64 buffer of first positions (-1 when absent).
PyObject* strings_index_of(PyObject*, PyObject* args) {
    PyObject *words_object, *others_object;
    if (!PyArg_ParseTuple(args, "OO", &words_object, &others_object)) return nullptr;
    RawArray words, others;
    if (!words.read(words_object, 2, sizeof(std::uint64_t), false, "strings") ||
        !others.read(others_object, 2, sizeof(std::uint64_t), false, "other"))
        return nullptr;
    if (words.extent(1) != others.extent(1)) {
        PyErr_SetString(PyExc_ValueError, "strings of different shapes");
        return nullptr;
    }
    std::vector<std::int64_t> positions;
    if (!run_released([&](std::stop_token) {
            positions = index_of(words.extent(1), words.data<const std::uint64_t>(), words.extent(0),
                                 others.data<const std::uint64_t>(), others.extent(0));
        }))
        return nullptr;
    const auto count = Py_ssize_t(positions.size());
    return to_buffer(std::move(positions), {count});
}

// strings_add_matrices(sites, q, words, coefficients, offsets, out): adds each operator's terms
// into the zeroed (m, d, d) complex128 out.
PyObject* strings_add_matrices(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *words_object, *coefficients_object, *offsets_object, *out_object;
    if (!PyArg_ParseTuple(args, "nIOOOO", &sites, &q, &words_object, &coefficients_object, &offsets_object,
                          &out_object))
        return nullptr;
    StringArgument strings;
    RawArray coefficients, offsets, out;
    if (!strings.read(words_object, std::size_t(sites), q, "strings") ||
        !coefficients.read(coefficients_object, 1, sizeof(Complex), false, "coefficients") ||
        !offsets.read(offsets_object, 1, sizeof(std::int64_t), false, "offsets") ||
        !out.read(out_object, 3, sizeof(Complex), true, "out"))
        return nullptr;
    const std::uint64_t d = matrix_size(strings.shape);
    const std::size_t operators = offsets.size() - 1;
    const auto* offset = offsets.data<const std::int64_t>();
    if (offsets.size() == 0 || coefficients.size() != strings.count() || out.extent(0) != operators ||
        out.extent(1) != d || out.extent(2) != d || offset[0] != 0 || std::size_t(offset[operators]) != strings.count()) {
        PyErr_SetString(PyExc_ValueError, "strings_add_matrices: arrays of mismatched shapes");
        return nullptr;
    }
    if (!run_released([&](std::stop_token stop) {
            add_string_matrices(strings.shape, strings.data(), coefficients.data<const Complex>(), offset, operators,
                                out.data<Complex>(), stop);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

// strings_columns(sites, q, words, rows, values): each string's one entry per column, into
// (m, d) int64 rows and (m, d) complex128 values.
PyObject* strings_columns(PyObject*, PyObject* args) {
    Py_ssize_t sites;
    unsigned q;
    PyObject *words_object, *rows_object, *values_object;
    if (!PyArg_ParseTuple(args, "nIOOO", &sites, &q, &words_object, &rows_object, &values_object)) return nullptr;
    StringArgument strings;
    RawArray rows, values;
    if (!strings.read(words_object, std::size_t(sites), q, "strings") ||
        !rows.read(rows_object, 2, sizeof(std::int64_t), true, "rows") ||
        !values.read(values_object, 2, sizeof(Complex), true, "values"))
        return nullptr;
    const std::uint64_t d = matrix_size(strings.shape);
    if (rows.extent(0) != strings.count() || values.extent(0) != strings.count() || rows.extent(1) != d ||
        values.extent(1) != d) {
        PyErr_SetString(PyExc_ValueError, "strings_columns: arrays of mismatched shapes");
        return nullptr;
    }
    if (!run_released([&](std::stop_token stop) {
            for (std::size_t i = 0; i < strings.count(); ++i) {
                stop_point(stop);
                string_columns(strings.shape, strings.data() + i * strings.shape.words(),
                               rows.data<std::int64_t>() + i * d, values.data<Complex>() + i * d);
            }
        }))
        return nullptr;
    Py_RETURN_NONE;
}

Registration multiply_row{{"strings_multiply", strings_multiply, METH_VARARGS,
                           "strings_multiply(sites, q, a, b, products, phases): a_i b_i = phase_i products_i."}};
Registration commutes_row{{"strings_commutes", strings_commutes, METH_VARARGS,
                           "strings_commutes(sites, q, a, b, out): whether a_i and b_i commute."}};
Registration commutation_matrix_row{
    {"strings_commutation_matrix", strings_commutation_matrix, METH_VARARGS,
     "strings_commutation_matrix(sites, q, a, b, out, threads): whether a_i and b_j commute."}};
Registration unique_row{{"strings_unique", strings_unique, METH_VARARGS,
                         "strings_unique(words) -> (first positions, inverse) of the distinct strings."}};
Registration index_of_row{{"strings_index_of", strings_index_of, METH_VARARGS,
                           "strings_index_of(words, others) -> first position of each other string, or -1."}};
Registration add_matrices_row{{"strings_add_matrices", strings_add_matrices, METH_VARARGS,
                               "strings_add_matrices(sites, q, words, coefficients, offsets, out)."}};
Registration columns_row{{"strings_columns", strings_columns, METH_VARARGS,
                          "strings_columns(sites, q, words, rows, values): one entry per column."}};

}  // namespace
}  // namespace tanvo::tensors
