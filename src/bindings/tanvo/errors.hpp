// How failures reach Python: the error-set exception, module-built errors, the
// PanicException type and the call scope that translates every C++ failure at an entry point.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "bindings/common/handle.hpp"

namespace tanvo::py {

// Thrown when the interpreter has an error set that the entry point must return with.
struct PythonError : std::exception {
    const char* what() const noexcept override { return "the interpreter has an error set"; }
};

// After a C API call failed: takes the pending error and throws PythonError with it set
// again. A PanicException raised by Python code is resumed as an internal failure instead.
[[noreturn]] void throw_pending(std::source_location where = std::source_location::current());

// Raises `type` with `message` as a module-built error (no traceback) and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// The same with a message that is already a str: text from the caller (names, messages of
// their exceptions) is kept as it is, whether or not UTF-8 can encode it.
[[noreturn]] void raise(PyObject* type, Ref message);

// "'<qualname of the type>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);

// A constructor returned null: print the pending error, fail with "Python API call failed".
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

// Checks a call that returns a new reference (or null with an error set).
inline Ref checked(PyObject* result, std::source_location where = std::source_location::current()) {
    if (!result) throw_pending(where);
    return Ref(result, steal);
}
// Checks a constructor that must not return null.
inline Ref constructed(PyObject* result,
                       std::source_location where = std::source_location::current()) {
    if (!result) api_call_failed(where);
    return Ref(result, steal);
}
// Checks a call that returns a negative status on failure.
inline int checked_status(int status,
                          std::source_location where = std::source_location::current()) {
    if (status < 0) throw_pending(where);
    return status;
}

// Runs pending signal handlers; throws PythonError when one raised (KeyboardInterrupt).
void check_signals();

// UTF-8 text of a str object; characters that UTF-8 cannot encode (lone surrogates) are
// written as backslash escapes.
std::string text_of(PyObject* str);

// The process-wide PanicException type, created on first need (borrowed; null on failure).
PyObject* panic_exception_type();

// Raises the exception for a failure that ended a call; never throws.
void raise_for_current_exception() noexcept;

// Runs an entry point's body: returns its new reference, or null with the exception set.
template <class Body>
PyObject* call_scope(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_for_current_exception();
        return nullptr;
    }
}

}  // namespace tanvo::py
