// Error translation: the one place where C++ failures become Python exceptions.
#include "bindings/tanvo/errors.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "core/memory.hpp"

namespace tanvo::py {
namespace {

PyObject* panic_type = nullptr;

// Source positions are reported from the project root ("src/...").
std::string_view project_path(std::string_view file) {
    const auto at = file.rfind("/src/");
    return at == std::string_view::npos ? file : file.substr(at + 1);
}

void write_diagnostic(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr, "tanvo: internal failure at %.*s:%u:%u: %s\n",
                 int(project_path(where.file_name()).size()), project_path(where.file_name()).data(),
                 unsigned(where.line()), unsigned(where.column()), message.c_str());
    std::fflush(stderr);
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) return;  // creating the type failed; its error is set
    PyObject* value = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
    if (!value) return;
    PyObject* args = PyTuple_Pack(1, value);
    Py_DECREF(value);
    if (!args) return;
    Py_INCREF(type);
    PyErr_Restore(type, args, nullptr);
}

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type) return panic_type;
    PyObject* created = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    if (panic_type) {
        Py_DECREF(created);  // another call made one meanwhile; keep the first
    } else {
        panic_type = created;
    }
    return panic_type;
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_pending();
}

std::string text_of(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, std::size_t(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending();
    PyErr_Clear();
    Ref escaped = checked(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    return std::string(PyBytes_AS_STRING(escaped.get()), std::size_t(PyBytes_GET_SIZE(escaped.get())));
}

void throw_pending(std::source_location where) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) throw InternalFailure("attempted to fetch exception but none was set", where);
    PyObject* panic = panic_exception_type();
    if (!panic) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        throw PythonError{};
    }
    if (type != panic) {
        PyErr_Restore(type, value, traceback);
        throw PythonError{};
    }
    std::string message = "Unwrapped panic from Python code";
    if (value && PyUnicode_Check(value)) {
        try {
            message = text_of(value);
        } catch (const PythonError&) {
            PyErr_Clear();
        }
    }
    std::fprintf(stderr, "tanvo: resuming a failure raised by Python code\n"
                         "Python stack trace below:\n");
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw InternalFailure(std::move(message), where);
}

void raise(PyObject* type, std::string_view message) {
    PyObject* value = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
    if (!value) throw_pending();
    raise(type, Ref(value, steal));
}

void raise(PyObject* type, Ref message) {
    Py_INCREF(type);
    PyErr_Restore(type, message.release(), nullptr);
    throw PythonError{};
}

void raise_conversion_error(PyObject* object, const char* target) {
    Ref qualname = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                                  "__qualname__"));
    Ref text = checked(PyObject_Str(qualname.get()));
    raise(PyExc_TypeError,
          checked(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", text.get(), target)));
}

void api_call_failed(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalFailure("Python API call failed", where);
}

void raise_for_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "tanvo: error reported without an exception set");
    } catch (const InternalFailure& failure) {
        write_diagnostic(failure.message(), failure.where());
        raise_panic(failure.message());
    } catch (const MemoryShortfall& shortfall) {
        PyErr_SetString(PyExc_MemoryError, shortfall.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory: the system refused an allocation this call needed");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory: a size beyond what any allocation can hold");
    } catch (const std::exception& error) {
        write_diagnostic(error.what(), std::source_location::current());
        raise_panic(error.what());
    } catch (...) {
        write_diagnostic("unknown failure", std::source_location::current());
        raise_panic("internal failure of unknown kind");
    }
}

}  // namespace tanvo::py
