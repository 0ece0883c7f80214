// The private extension behind tanvo_lie: how its functions register themselves, read the
// contiguous arrays the Python front passes, hand results back without copying, and run core
// work without the GIL while Ctrl-C stays answered.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "core/complex.hpp"
#include "core/uninitialized.hpp"
#include "bindings/common/handle.hpp"

namespace tanvo::tensors {

// The data and shape of `object`, an exact ndarray (the caller has checked its type), when it
// is a two-dimensional, C-contiguous, aligned complex128 array in native byte order; false,
// with no exception set, otherwise. The caller keeps a reference while it uses the data.
bool plain_complex_matrix(PyObject* object, const Complex*& data, std::size_t& rows, std::size_t& cols);

// Each file of the binding adds its functions with a namespace-scope Registration.
struct Registration {
    explicit Registration(PyMethodDef method);
};
std::vector<PyMethodDef>& registered_methods();

// A read-only C-contiguous complex128 array borrowed from a Python object for as long as the
// view lives. `read` fails with a Python exception set (returns false) for anything else.
class ComplexArray {
public:
    ComplexArray() = default;
    ComplexArray(const ComplexArray&) = delete;
    ComplexArray& operator=(const ComplexArray&) = delete;
    ~ComplexArray();

    bool read(PyObject* object, int ndim, const char* name);
    const Complex* data() const noexcept { return static_cast<const Complex*>(view_.buf); }
    std::size_t extent(int axis) const noexcept { return std::size_t(view_.shape[axis]); }
    std::size_t size() const noexcept { return std::size_t(view_.len) / sizeof(Complex); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The same for a C-contiguous int64 array.
class Int64Array {
public:
    Int64Array() = default;
    Int64Array(const Int64Array&) = delete;
    Int64Array& operator=(const Int64Array&) = delete;
    ~Int64Array();

    bool read(PyObject* object, int ndim, const char* name);
    const std::int64_t* data() const noexcept { return static_cast<const std::int64_t*>(view_.buf); }
    std::size_t extent(int axis) const noexcept { return std::size_t(view_.shape[axis]); }
    std::size_t size() const noexcept { return std::size_t(view_.len) / sizeof(std::int64_t); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A result vector handed to Python as an object with the buffer protocol (numpy.asarray wraps
// it without copying), with the given shape; the vector is kept alive by that object.
PyObject* to_buffer(std::vector<Complex>&& values, std::vector<Py_ssize_t> shape);
PyObject* to_buffer(std::vector<std::int64_t>&& values, std::vector<Py_ssize_t> shape);
PyObject* to_buffer(std::vector<std::uint64_t>&& values, std::vector<Py_ssize_t> shape);
PyObject* to_buffer(std::vector<double>&& values, std::vector<Py_ssize_t> shape);
PyObject* to_buffer(UninitializedVector<Complex>&& values, std::vector<Py_ssize_t> shape);
PyObject* to_buffer(UninitializedVector<std::int64_t>&& values, std::vector<Py_ssize_t> shape);

// Where run_released runs the work. Work that calls into Python (the closure's progress line)
// runs on another thread: on the main thread such a call would itself run the signal handlers,
// and Ctrl-C's exception would end in the call instead of stopping the work.
enum class WorkThread { calling, other };

// Runs work(stop) with the GIL released, polling for signals every few milliseconds (on the
// calling thread: at the work's stop points there, taking the GIL briefly) and requesting the
// stop when a handler raises (Ctrl-C). Returns false with a Python exception set when the work
// was stopped or failed (core exceptions become MemoryError, ValueError or RuntimeError). A
// MemoryError names `operation` (e.g. "the tensor of 8 matrices of 3 x 3") and the size that
// could not be allocated when the core said it.
bool run_released(const std::function<void(std::stop_token)>& work, WorkThread thread = WorkThread::calling,
                  const std::string& operation = {});

// Sets the Python exception for the exception being handled; for use in catch (...).
void set_error_from_current_exception(const std::string& operation = {});

// Reads an int argument as unsigned (0 when None): false with an exception set otherwise.
bool read_count(PyObject* object, const char* name, std::size_t& value);

}  // namespace tanvo::tensors
