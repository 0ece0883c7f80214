// Ref: the one owner of a Python reference. Constructed by stealing a new reference or by
// borrowing (adding one); released in the destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tanvo::py {

struct steal_t {};
struct borrow_t {};
inline constexpr steal_t steal{};
inline constexpr borrow_t borrow{};

class Ref {
public:
    Ref() noexcept = default;
    Ref(PyObject* object, steal_t) noexcept : object_(object) {}
    Ref(PyObject* object, borrow_t) noexcept : object_(object) { Py_XINCREF(object_); }
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller; this handle is empty afterwards.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace tanvo::py
