// _native.strings_closure: the Lie closure of single strings, computed without the GIL on a
// thread of its own (progress reaches a Python callable, called with the GIL taken briefly).
#include <cstring>

#include "closure/string_closure.hpp"
#include "bindings/tanvo_lie/binding.hpp"
#include "bindings/tanvo_lie/string_arguments.hpp"

namespace tanvo::tensors {
namespace {

// strings_closure(sites, q, generators, max_dimension (negative: none), threads, report or None,
// method 'fast' or 'reference') -> (buffer of count x 2W uint64 words, count)
PyObject* strings_closure(PyObject*, PyObject* args) {
    Py_ssize_t sites, max_dimension;
    unsigned q, threads;
    PyObject *generators_object, *report;
    const char* method;
    if (!PyArg_ParseTuple(args, "nIOnIOs", &sites, &q, &generators_object, &max_dimension, &threads, &report,
                          &method))
        return nullptr;
    StringArgument generators;
    if (!generators.read(generators_object, std::size_t(sites), q, "generators")) return nullptr;
    const bool reference = std::strcmp(method, "reference") == 0;
    if (!reference && std::strcmp(method, "fast") != 0) {
        PyErr_Format(PyExc_ValueError, "method must be 'fast' or 'reference'; got '%s'", method);
        return nullptr;
    }
    StringClosureOptions options;
    if (max_dimension >= 0) options.max_dimension = std::size_t(max_dimension);
    options.threads = threads;
    if (report != Py_None) options.progress = [report](const ClosureProgress& p) { report_progress(report, p); };

    StringSet found(generators.shape.words());
    const bool finished = run_released([&](std::stop_token stop) {
        found = reference ? tanvo::reference::string_closure(generators.shape, generators.data(), generators.count())
                          : tanvo::string_closure(generators.shape, generators.data(), generators.count(), options,
                                                  stop);
    }, WorkThread::other);
    if (!finished) return nullptr;
    const auto count = Py_ssize_t(found.size()), words = Py_ssize_t(generators.shape.words());
    py::Ref buffer(to_buffer(std::move(found.strings()), {count, words}), py::steal);
    if (!buffer) return nullptr;
    return Py_BuildValue("On", buffer.get(), count);
}

Registration strings_closure_row{
    {"strings_closure", strings_closure, METH_VARARGS,
     "strings_closure(sites, q, generators, max_dimension, threads, report, method)\n"
     "-> (words, count): the strings spanning the Lie algebra of single strings."}};

}  // namespace
}  // namespace tanvo::tensors
