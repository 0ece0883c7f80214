// Argument matching and the wrapping of conversion failures.
#include "bindings/tanvo/arguments.hpp"

#include "bindings/tanvo/errors.hpp"

namespace tanvo::py {

Arguments::Arguments(const Signature& signature, PyObject* args, PyObject* kwargs)
    : signature_(signature) {
    const std::string label = signature.label;
    if (!args) fail("Python API call failed");
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    Ref remaining;
    if (kwargs) remaining = checked(PyDict_Copy(kwargs));

    Py_ssize_t consumed = 0;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        const char* name = signature.parameters[i];
        PyObject* keyword_value = nullptr;
        if (remaining) {
            Ref key = checked(PyUnicode_FromString(name));
            keyword_value = PyDict_GetItemWithError(remaining.get(), key.get());
            if (!keyword_value && PyErr_Occurred()) throw_pending();
            if (keyword_value) {
                if (Py_ssize_t(i) < given)
                    raise(PyExc_TypeError, label + " got multiple values for argument: " + name);
                values_.emplace_back(keyword_value, borrow);
                checked_status(PyDict_DelItem(remaining.get(), key.get()));
                continue;
            }
        }
        if (Py_ssize_t(i) < given) {
            values_.emplace_back(PyTuple_GET_ITEM(args, Py_ssize_t(i)), borrow);
            ++consumed;
            continue;
        }
        raise(PyExc_TypeError, label + " missing required positional argument: " + name);
    }
    if (remaining && PyDict_GET_SIZE(remaining.get()) > 0) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        PyDict_Next(remaining.get(), &position, &key, &value);
        Ref text = checked(PyObject_Str(key));
        raise(PyExc_TypeError, checked(PyUnicode_FromFormat("%s got an unexpected keyword argument: %U",
                                                            signature.label, text.get())));
    }
    if (consumed < given)
        raise(PyExc_TypeError, label + " takes at most " + std::to_string(consumed) +
                                   " positional argument" + (consumed == 1 ? "" : "s") + " (" +
                                   std::to_string(given) + " given)");
}

// A conversion failing with exactly TypeError is re-raised as a new TypeError that names the
// parameter; every other exception passes unchanged.
template <class Convert>
auto Arguments::converting(std::size_t parameter, Convert&& convert) {
    try {
        return convert(values_.at(parameter).get());
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (type != PyExc_TypeError) {
            PyErr_Restore(type, value, traceback);
            throw;
        }
        PyErr_NormalizeException(&type, &value, &traceback);
        const Ref owned_type(type, steal), owned_value(value, steal), owned_traceback(traceback, steal);
        Ref text(PyObject_Str(owned_value.get()), steal);
        if (!text) {
            PyErr_Clear();
            text = checked(PyUnicode_FromString(""));
        }
        raise(PyExc_TypeError, checked(PyUnicode_FromFormat("argument '%s': %U",
                                                            signature_.parameters[parameter], text.get())));
    }
}

std::uint64_t Arguments::index(std::size_t parameter) {
    return converting(parameter, [](PyObject* o) { return to_index(o); });
}
double Arguments::real(std::size_t parameter) {
    return converting(parameter, [](PyObject* o) { return to_double(o); });
}
ComplexMatrix Arguments::matrix(std::size_t parameter) {
    return converting(parameter, [this](PyObject* o) { return to_matrix(o, borrows_); });
}
BorrowedBasis Arguments::basis(std::size_t parameter, BasisSizeCheck sizes) {
    return converting(parameter, [this, sizes](PyObject* o) { return to_basis(o, borrows_, sizes); });
}
CoefficientMap Arguments::coefficient_map(std::size_t parameter) {
    return converting(parameter, [](PyObject* o) { return to_coefficient_map(o); });
}

}  // namespace tanvo::py
