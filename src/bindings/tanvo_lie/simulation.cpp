// The adjoint simulation function of the private extension: reads the generators the Python
// front packed (flat int64 and float64 arrays), runs the sweeps without the GIL, and hands back
// the values and derivatives.
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "simulation/adjoint_sweeps.hpp"
#include "bindings/tanvo_lie/binding.hpp"

namespace tanvo::tensors {
namespace {

// A read-only one-dimensional C-contiguous array of T (int64 or float64) borrowed from a Python
// object for as long as the view lives.
template <typename T>
class FlatArray {
public:
    FlatArray() = default;
    FlatArray(const FlatArray&) = delete;
    FlatArray& operator=(const FlatArray&) = delete;
    ~FlatArray() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool read(PyObject* object, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
        held_ = true;
        const std::string format = view_.format ? view_.format : "B";
        const bool integer = std::is_same_v<T, std::int64_t>;
        const bool format_ok = integer ? (format == "q" || format == "l" || format == "<q" || format == "<l" ||
                                          format == "=q" || format == "=l")
                                       : (format == "d" || format == "<d" || format == "=d");
        if (view_.ndim != 1 || view_.itemsize != Py_ssize_t(sizeof(T)) || !format_ok ||
            reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(T) != 0) {
            PyErr_Format(PyExc_TypeError, "adjoint_sweeps: %s must be an aligned C-contiguous 1-dimensional %s array",
                         name, integer ? "int64" : "float64");
            return false;
        }
        return true;
    }
    std::span<const T> span() const noexcept {
        return {static_cast<const T*>(view_.buf), std::size_t(view_.len) / sizeof(T)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// adjoint_sweeps(packed, gate_generators, angles, state, observable, gradient, threads) ->
// (values, derivatives or None); packed is the front's tuple (n, forms, pair offsets, u, v, a, b,
// term offsets, rows, cols, vals, transposed rows, cols, vals, node offsets, nodes, norms) and
// angles a (B, L) float64 array.
PyObject* adjoint_sweeps(PyObject*, PyObject* args) {
    PyObject *packed = nullptr, *gate_object = nullptr, *angle_object = nullptr, *state_object = nullptr,
             *observable_object = nullptr;
    int gradient = 0;
    unsigned int threads = 1;
    if (!PyArg_ParseTuple(args, "O!OOOOpI", &PyTuple_Type, &packed, &gate_object, &angle_object, &state_object,
                          &observable_object, &gradient, &threads))
        return nullptr;
    if (PyTuple_GET_SIZE(packed) != 17) {
        PyErr_SetString(PyExc_ValueError, "adjoint_sweeps: packed must hold 17 items");
        return nullptr;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(packed, 0));
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "adjoint_sweeps: negative size");
        return nullptr;
    }
    constexpr int kIntegerItems[] = {1, 2, 3, 4, 7, 8, 9, 11, 12, 14};
    constexpr int kRealItems[] = {5, 6, 10, 13, 15, 16};
    FlatArray<std::int64_t> integers[10];
    FlatArray<double> reals[6];
    for (int i = 0; i < 10; ++i)
        if (!integers[i].read(PyTuple_GET_ITEM(packed, kIntegerItems[i]), "packed generators")) return nullptr;
    for (int i = 0; i < 6; ++i)
        if (!reals[i].read(PyTuple_GET_ITEM(packed, kRealItems[i]), "packed generators")) return nullptr;
    FlatArray<std::int64_t> gates;
    FlatArray<double> state, observable;
    if (!gates.read(gate_object, "gate_generators") || !state.read(state_object, "state") ||
        !observable.read(observable_object, "observable"))
        return nullptr;
    Py_buffer angle_view{};
    if (PyObject_GetBuffer(angle_object, &angle_view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&angle_view};
    const std::string angle_format = angle_view.format ? angle_view.format : "B";
    if (angle_view.ndim != 2 || angle_view.itemsize != 8 || (angle_format != "d" && angle_format != "<d" &&
                                                              angle_format != "=d")) {
        PyErr_SetString(PyExc_TypeError, "adjoint_sweeps: angles must be a C-contiguous (B, L) float64 array");
        return nullptr;
    }

    simulation::GeneratorSet set;
    set.n = std::size_t(n);
    set.forms = integers[0].span();
    set.pair_offsets = integers[1].span();
    set.pair_u = integers[2].span();
    set.pair_v = integers[3].span();
    set.pair_a = reals[0].span();
    set.pair_b = reals[1].span();
    set.term_offsets = integers[4].span();
    set.rows = integers[5].span();
    set.cols = integers[6].span();
    set.vals = reals[2].span();
    set.transposed_rows = integers[7].span();
    set.transposed_cols = integers[8].span();
    set.transposed_vals = reals[3].span();
    set.node_offsets = integers[9].span();
    set.nodes = reals[4].span();
    set.norms = reals[5].span();

    simulation::SweepRequest request;
    request.gate_generators = gates.span();
    request.batch = std::size_t(angle_view.shape[0]);
    if (std::size_t(angle_view.shape[1]) != request.gate_generators.size()) {
        PyErr_SetString(PyExc_ValueError, "adjoint_sweeps: angles must have one column per gate");
        return nullptr;
    }
    request.angles = {static_cast<const double*>(angle_view.buf), request.batch * request.gate_generators.size()};
    request.state = state.span();
    request.observable = observable.span();
    request.gradient = gradient != 0;
    request.threads = threads == 0 ? 1 : threads;

    const std::size_t gate_count = request.gate_generators.size();
    std::vector<double> values(request.batch);
    std::vector<double> derivatives(request.gradient ? request.batch * gate_count : 0);
    const bool done = run_released([&](std::stop_token stop) {
        simulation::adjoint_sweeps(set, request, stop, values.data(), derivatives.data());
    });
    if (!done) return nullptr;
    py::Ref value_buffer(to_buffer(std::move(values), {Py_ssize_t(request.batch)}), py::steal);
    if (!value_buffer) return nullptr;
    if (!request.gradient) return PyTuple_Pack(2, value_buffer.get(), Py_None);
    py::Ref derivative_buffer(
        to_buffer(std::move(derivatives), {Py_ssize_t(request.batch), Py_ssize_t(gate_count)}), py::steal);
    if (!derivative_buffer) return nullptr;
    return PyTuple_Pack(2, value_buffer.get(), derivative_buffer.get());
}

Registration adjoint_sweeps_row{{"adjoint_sweeps", adjoint_sweeps, METH_VARARGS,
                                 "Values and adjoint gradients of circuits in an adjoint representation."}};

}  // namespace
}  // namespace tanvo::tensors
