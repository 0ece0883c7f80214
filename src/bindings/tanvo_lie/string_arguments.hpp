// How the string functions of the private extension read their arguments: C-contiguous arrays
// of a given item size (packed strings, phases, flags, coefficients), read-only or writable,
// borrowed from the NumPy arrays the Python front prepared; and the shape of a string batch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bases/pauli_strings.hpp"
#include "bases/pauli_sums.hpp"
#include "closure/closure.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {

// A C-contiguous array of `ndim` axes and items of `itemsize` bytes, borrowed for as long as
// this lives. `read` fails with a Python exception set (returns false) for anything else.
class RawArray {
public:
    RawArray() = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool read(PyObject* object, int ndim, std::size_t itemsize, bool writable, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) != 0)
            return false;
        held_ = true;
        if (view_.ndim != ndim || std::size_t(view_.itemsize) != itemsize) {
            PyErr_Format(PyExc_TypeError, "%s: expected a C-contiguous %d-dimensional array of %zu-byte items", name,
                         ndim, itemsize);
            return false;
        }
        return true;
    }
    template <class T>
    T* data() const noexcept {
        return static_cast<T*>(view_.buf);
    }
    std::size_t extent(int axis) const noexcept { return std::size_t(view_.shape[axis]); }
    std::size_t size() const noexcept { return std::size_t(view_.len / view_.itemsize); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A batch of packed strings: an (m, 2W) uint64 array for strings of the given shape.
struct StringArgument {
    RawArray words;
    StringShape shape;

    bool read(PyObject* object, std::size_t sites, unsigned q, const char* name) {
        try {
            shape = string_shape(sites, q);
        } catch (...) {
            set_error_from_current_exception();
            return false;
        }
        if (!words.read(object, 2, sizeof(std::uint64_t), false, name)) return false;
        if (words.extent(1) != shape.words()) {
            PyErr_Format(PyExc_ValueError, "%s: strings of %zu sites take %zu words, not %zu", name, sites,
                         shape.words(), words.extent(1));
            return false;
        }
        return true;
    }
    std::size_t count() const noexcept { return words.extent(0); }
    const std::uint64_t* data() const noexcept { return words.data<const std::uint64_t>(); }
};

// Sums of strings: the terms' strings, their complex128 coefficients and int64 offsets.
struct SumsArgument {
    StringArgument strings;
    RawArray coefficients, offsets;

    bool read(PyObject* words, PyObject* values, PyObject* bounds, std::size_t sites, unsigned q, const char* name) {
        if (!strings.read(words, sites, q, name) || !coefficients.read(values, 1, sizeof(Complex), false, name) ||
            !offsets.read(bounds, 1, sizeof(std::int64_t), false, name))
            return false;
        const auto* offset = offsets.data<const std::int64_t>();
        if (offsets.size() == 0 || coefficients.size() != strings.count() || offset[0] != 0 ||
            std::size_t(offset[offsets.size() - 1]) != strings.count()) {
            PyErr_Format(PyExc_ValueError, "%s: strings, coefficients and offsets do not match", name);
            return false;
        }
        return true;
    }
    StringSumsView view() const noexcept {
        return {strings.data(), coefficients.data<const Complex>(), offsets.data<const std::int64_t>(),
                offsets.size() - 1};
    }
    const StringShape& shape() const noexcept { return strings.shape; }
};

// Calls report(dimension, tried, seconds) from a thread without the GIL (the closures' progress
// line). A failing report is shown as unraisable and does not stop the closure.
inline void report_progress(PyObject* report, const ClosureProgress& progress) {
    const PyGILState_STATE state = PyGILState_Ensure();
    py::Ref result(PyObject_CallFunction(report, "nnd", Py_ssize_t(progress.dimension), Py_ssize_t(progress.tried),
                                         progress.seconds),
                   py::steal);
    if (!result) PyErr_WriteUnraisable(report);
    PyGILState_Release(state);
}

// (words, coefficients, offsets) buffers of sums, or null with an exception set.
inline PyObject* sums_to_python(StringSums&& sums, std::size_t words) {
    const auto terms = Py_ssize_t(sums.coefficients.size()), bounds = Py_ssize_t(sums.offsets.size());
    py::Ref strings(to_buffer(std::move(sums.strings), {terms, Py_ssize_t(words)}), py::steal);
    if (!strings) return nullptr;
    py::Ref coefficients(to_buffer(std::move(sums.coefficients), {terms}), py::steal);
    if (!coefficients) return nullptr;
    py::Ref offsets(to_buffer(std::move(sums.offsets), {bounds}), py::steal);
    if (!offsets) return nullptr;
    return PyTuple_Pack(3, strings.get(), coefficients.get(), offsets.get());
}

}  // namespace tanvo::tensors
