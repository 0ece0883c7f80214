// _native.lie_closure: the Lie closure of a stack of generators, computed without the GIL;
// progress reaches a Python callable, which is called with the GIL taken briefly.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "closure/closure.hpp"
#include "core/parallel.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

bool read_method(const char* name, ClosureMethod& method) {
    const std::pair<const char*, ClosureMethod> methods[] = {
        {"auto", ClosureMethod::Automatic}, {"pauli", ClosureMethod::Pauli},
        {"entries", ClosureMethod::Entries}, {"dense", ClosureMethod::Dense}};
    for (const auto& [text, value] : methods)
        if (std::strcmp(name, text) == 0) {
            method = value;
            return true;
        }
    PyErr_Format(PyExc_ValueError,
                 "method must be 'auto', 'pauli', 'entries', 'dense' or 'reference'; got '%s'", name);
    return false;
}

// Calls report(dimension, tried, seconds) from a thread without the GIL. A failing report is
// shown as unraisable and does not stop the closure.
void call_report(PyObject* report, const ClosureProgress& progress) {
    const PyGILState_STATE state = PyGILState_Ensure();
    py::Ref result(PyObject_CallFunction(report, "nnd", Py_ssize_t(progress.dimension),
                                         Py_ssize_t(progress.tried), progress.seconds),
                   py::steal);
    if (!result) PyErr_WriteUnraisable(report);
    PyGILState_Release(state);
}

// lie_closure(generators, tol, max_dimension (negative: none), threads, method, report or None)
// -> (buffer of n x d x d complex128, n)
PyObject* lie_closure(PyObject*, PyObject* args) {
    PyObject* generators_object;
    double tol;
    Py_ssize_t max_dimension;
    Py_ssize_t threads;
    const char* method_name;
    PyObject* report;
    if (!PyArg_ParseTuple(args, "OdnnsO", &generators_object, &tol, &max_dimension, &threads,
                          &method_name, &report))
        return nullptr;
    ComplexArray generators;
    if (!generators.read(generators_object, 3, "generators")) return nullptr;
    const std::size_t m = generators.extent(0), d = generators.extent(1);
    if (generators.extent(2) != d) {
        PyErr_SetString(PyExc_ValueError, "generators must be square matrices");
        return nullptr;
    }

    ClosureBasis basis;
    const bool reference = std::strcmp(method_name, "reference") == 0;
    ClosureOptions options;
    if (!reference && !read_method(method_name, options.method)) return nullptr;
    options.tol = tol;
    if (max_dimension >= 0) options.max_dimension = std::size_t(max_dimension);
    options.threads = worker_count(std::uint64_t(std::max<Py_ssize_t>(threads, 1)));
    if (report != Py_None) options.progress = [report](const ClosureProgress& p) { call_report(report, p); };

    const bool finished = run_released([&](std::stop_token stop) {
        basis = reference ? tanvo::reference::lie_closure(generators.data(), m, d, tol)
                          : tanvo::lie_closure(generators.data(), m, d, options, stop);
    }, WorkThread::other, "the Lie closure of " + std::to_string(m) + " generators of " + std::to_string(d) + " x " + std::to_string(d));
    if (!finished) return nullptr;
    const auto count = Py_ssize_t(basis.count), size = Py_ssize_t(d);
    py::Ref buffer(to_buffer(std::move(basis.elements), {count, size, size}), py::steal);
    if (!buffer) return nullptr;
    return Py_BuildValue("On", buffer.get(), count);
}

Registration lie_closure_row{{"lie_closure", lie_closure, METH_VARARGS,
                              "lie_closure(generators, tol, max_dimension, threads, method, report)"}};

}  // namespace
}  // namespace tanvo::tensors
