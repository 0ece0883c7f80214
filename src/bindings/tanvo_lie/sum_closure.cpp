// _native.sums_closure: the Lie closure of sums of strings, computed without the GIL on a
// thread of its own (progress reaches a Python callable, called with the GIL taken briefly).
#include "closure/sum_closure.hpp"
#include "bindings/tanvo_lie/binding.hpp"
#include "bindings/tanvo_lie/string_arguments.hpp"

namespace tanvo::tensors {
namespace {

// sums_closure(sites, q, words, coefficients, offsets, tol, max_dimension (negative: none),
// threads, report or None, real, antisymmetric) -> (words, coefficients, offsets) of the basis
PyObject* sums_closure(PyObject*, PyObject* args) {
    Py_ssize_t sites, max_dimension;
    unsigned q, threads;
    PyObject *words, *coefficients, *offsets, *report;
    double tol;
    int real, antisymmetric;
    if (!PyArg_ParseTuple(args, "nIOOOdnIOpp", &sites, &q, &words, &coefficients, &offsets, &tol, &max_dimension,
                          &threads, &report, &real, &antisymmetric))
        return nullptr;
    SumsArgument generators;
    if (!generators.read(words, coefficients, offsets, std::size_t(sites), q, "generators")) return nullptr;
    SumClosureOptions options;
    options.tol = tol;
    if (max_dimension >= 0) options.max_dimension = std::size_t(max_dimension);
    options.threads = threads;
    options.real = real != 0;
    options.antisymmetric = antisymmetric != 0;
    if (report != Py_None) options.progress = [report](const ClosureProgress& p) { report_progress(report, p); };
    StringSums basis;
    if (!run_released([&](std::stop_token stop) {
            basis = sum_closure(generators.shape(), generators.view(), options, stop);
        }, WorkThread::other))
        return nullptr;
    return sums_to_python(std::move(basis), generators.shape().words());
}

Registration sums_closure_row{
    {"sums_closure", sums_closure, METH_VARARGS,
     "sums_closure(sites, q, words, coefficients, offsets, tol, max_dimension, threads, report, real,\n"
     "antisymmetric)\n"
     "-> (words, coefficients, offsets): an orthonormal basis of the Lie algebra of sums of strings."}};

}  // namespace
}  // namespace tanvo::tensors
