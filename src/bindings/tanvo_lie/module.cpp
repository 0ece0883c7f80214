// Module initialisation of tanvo_lie._native: the functions every binding file registered.
#include "core/parallel.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

PyObject* available_threads(PyObject*, PyObject*) {
    return PyLong_FromUnsignedLong(tanvo::available_threads());
}

Registration available_threads_row{{"available_threads", available_threads, METH_NOARGS,
                                    "The number of cores this process may run on."}};

PyObject* thread_limit(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(tanvo::thread_limit()); }

Registration thread_limit_row{{"thread_limit", thread_limit, METH_NOARGS,
                               "The most threads a call starts (a few per core)."}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_native",
                                 "Computational core of tanvo_lie (private).", -1,
                                 nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tanvo::tensors

PyMODINIT_FUNC PyInit__native() {
    using namespace tanvo::tensors;
    std::vector<PyMethodDef>& methods = registered_methods();
    if (methods.empty() || methods.back().ml_name != nullptr) methods.push_back({nullptr, nullptr, 0, nullptr});
    module_definition.m_methods = methods.data();
    return PyModule_Create(&module_definition);
}
